#include <cerrno>
#include <cstdio>
#include <cstring>

#include "listing/listing.h"

int main() {
  if (const char* failure = ListAdapters()) {
    std::fprintf(stderr, "lsmac: cannot list network adapters: %s\n", failure);
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "lsmac: cannot write standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
