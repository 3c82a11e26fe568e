#include "listing/listing.h"

#include <cstdio>
#include <cstdlib>

#include "platform/adapter_query.h"

namespace {

// Sixteen records in the 32-bit Windows layout.
const ULONG kRecordBufferSize = 10240;

// Adapters can appear between a query that overflowed and the next one, so
// the list may outgrow the length it asked for; after this many queries it is
// given up on.
const int kMaxQueries = 4;

void PrintChain(const IP_ADAPTER_INFO* record) {
  for (; record != nullptr; record = record->Next)
    PrintAddressLine(record->Address);
}

}  // namespace

const char* ListAdapters() {
  alignas(IP_ADAPTER_INFO) unsigned char buffer[kRecordBufferSize];
  IP_ADAPTER_INFO* records = reinterpret_cast<IP_ADAPTER_INFO*>(buffer);
  ULONG length = sizeof buffer;
  DWORD status = GetAdaptersInfo(records, &length);

  void* heap = nullptr;
  for (int query = 2; status == ERROR_BUFFER_OVERFLOW && query <= kMaxQueries; ++query) {
    std::free(heap);
    heap = std::malloc(length);
    if (heap == nullptr)
      return "out of memory";
    records = static_cast<IP_ADAPTER_INFO*>(heap);
    status = GetAdaptersInfo(records, &length);
  }

  const char* failure = nullptr;
  if (status == ERROR_SUCCESS)
    PrintChain(records);
  else if (status == ERROR_BUFFER_OVERFLOW)
    failure = "the adapter list kept growing";
  else if (status != ERROR_NO_DATA)
    failure = DescribeAdapterQueryFailure(status);
  std::free(heap);
  return failure;
}

void PrintAddressLine(const unsigned char* address) {
  std::printf("MAC Address: %02X-%02X-%02X-%02X-%02X-%02X\n", address[0], address[1],
              address[2], address[3], address[4], address[5]);
}
