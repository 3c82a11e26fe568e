// On Windows the IP Helper library answers the query itself; this adds the
// words for a failed one.
#include "platform/adapter_query.h"

#include <cstdio>

static_assert(sizeof(void*) != 4 || sizeof(IP_ADAPTER_INFO) == 640,
              "the listing's 10,240-byte buffer holds sixteen 32-bit adapter records");

const char* DescribeAdapterQueryFailure(DWORD status) {
  static char description[1024];
  wchar_t message[256];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, status, 0, message, 256, nullptr);
  while (length > 0 && (message[length - 1] == L'\n' || message[length - 1] == L'\r' ||
                        message[length - 1] == L' ' || message[length - 1] == L'.'))
    --length;
  // In UTF-8, as lsmac's error lines are: the system's message is in the
  // user's language.
  char text[3 * 256];
  int size = WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), text, sizeof text,
                                 nullptr, nullptr);
  std::snprintf(description, sizeof description, size > 0 ? "%.*s (error %lu)" : "%.*serror %lu",
                size, text, static_cast<unsigned long>(status));
  return description;
}
