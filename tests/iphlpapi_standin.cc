// Stands in for the IP Helper library under Wine (WINEDLLOVERRIDES=iphlpapi=n,
// this DLL beside lsmac.exe), so that the Windows executables meet every
// answer GetAdaptersInfo can give, in the platform's own record layout.
//
// STANDIN_ANSWERS holds one answer per query, space-separated; the last one
// answers every later query:
//   N     N adapters (0: ERROR_NO_DATA); ERROR_BUFFER_OVERFLOW and the length
//         needed when they do not fit
//   eN    fail with status N
// and after N, `r` links the records out of buffer order (the first, then
// the last, back to the second) and `s` gives every address a length of 3.
// Each query's buffer length is appended to the file STANDIN_LOG names.
#include <winsock2.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int queries = 0;

unsigned char AddressByte(int adapter, int position) {
  return static_cast<unsigned char>(adapter * 7 + position * 0x31);
}

// The answer to the current query, copied into `word`.
void ThisAnswer(char* word, std::size_t room) {
  const char* answers = std::getenv("STANDIN_ANSWERS");
  word[0] = '\0';
  for (int index = 0; answers != nullptr && *answers != '\0'; ++index) {
    const std::size_t length = std::strcspn(answers, " ");
    if (length > 0 && length < room) {
      std::memcpy(word, answers, length);
      word[length] = '\0';
    }
    if (index == queries)
      break;
    answers += length + (answers[length] == ' ');
  }
}

}  // namespace

extern "C" __declspec(dllexport) ULONG WINAPI GetAdaptersInfo(PIP_ADAPTER_INFO records,
                                                              PULONG length) {
  if (const char* log_path = std::getenv("STANDIN_LOG")) {
    if (std::FILE* log = std::fopen(log_path, "ab")) {
      std::fprintf(log, "%lu\n", static_cast<unsigned long>(*length));
      std::fclose(log);
    }
  }
  char answer[32];
  ThisAnswer(answer, sizeof answer);
  ++queries;
  if (answer[0] == 'e')
    return std::strtoul(answer + 1, nullptr, 10);

  char* flags;
  const int count = static_cast<int>(std::strtol(answer, &flags, 10));
  if (count <= 0)
    return ERROR_NO_DATA;
  const ULONG needed = count * sizeof(IP_ADAPTER_INFO);
  if (records == nullptr || *length < needed) {
    *length = needed;
    return ERROR_BUFFER_OVERFLOW;
  }
  const bool out_of_order = std::strchr(flags, 'r') != nullptr;
  std::memset(records, 0xEE, needed);
  for (int i = 0; i < count; ++i) {
    const int next = out_of_order ? (i == 0 ? count - 1 : i - 1) : i + 1;
    records[i].Next = next > 0 && next < count ? &records[next] : nullptr;
    records[i].AddressLength = std::strchr(flags, 's') != nullptr ? 3 : 6;
    for (int position = 0; position < MAX_ADAPTER_ADDRESS_LENGTH; ++position)
      records[i].Address[position] = AddressByte(i, position);
  }
  return ERROR_SUCCESS;
}
