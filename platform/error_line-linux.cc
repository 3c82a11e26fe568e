#include "platform/error_line.h"

#include <cstdio>

void WriteErrorLine(const char* line) {
  std::fprintf(stderr, "%s\n", line);
}
