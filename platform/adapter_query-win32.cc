// On Windows the IP Helper library answers the query itself; this adds the
// words for a failed one.
#include "platform/adapter_query.h"

#include <cstdio>

static_assert(sizeof(void*) != 4 || sizeof(IP_ADAPTER_INFO) == 640,
              "the listing's 10,240-byte buffer holds sixteen 32-bit adapter records");

const char* DescribeAdapterQueryFailure(DWORD status) {
  static char description[320];
  char message[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, status, 0, message, sizeof message, nullptr);
  while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r' ||
                        message[length - 1] == ' ' || message[length - 1] == '.'))
    --length;
  std::snprintf(description, sizeof description, length > 0 ? "%.*s (error %lu)" : "%.*serror %lu",
                static_cast<int>(length), message, static_cast<unsigned long>(status));
  return description;
}
