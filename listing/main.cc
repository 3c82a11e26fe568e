#include <cerrno>
#include <cstdio>
#include <cstring>

#include "listing/listing.h"
#include "platform/error_line.h"

int main() {
  char line[1024];
  if (const char* failure = ListAdapters()) {
    std::snprintf(line, sizeof line, "lsmac: cannot list network adapters: %s", failure);
    WriteErrorLine(line);
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::snprintf(line, sizeof line, "lsmac: cannot write standard output: %s", std::strerror(errno));
    WriteErrorLine(line);
    return 1;
  }
  return 0;
}
