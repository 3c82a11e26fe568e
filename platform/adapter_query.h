// The platform's adapter query, GetAdaptersInfo, as the listing calls it.
// Windows has it in the IP Helper library; elsewhere we answer the same query
// from the kernel's link list, with the same contract: a chain of records at
// the start of the caller's buffer, the last link null; ERROR_BUFFER_OVERFLOW
// and the length needed when they don't fit; ERROR_NO_DATA when there is no
// adapter.
#ifndef LSMAC_PLATFORM_ADAPTER_QUERY_H_
#define LSMAC_PLATFORM_ADAPTER_QUERY_H_

#ifdef _WIN32
#include <winsock2.h>
#include <iphlpapi.h>
#else
#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef unsigned int UINT;
typedef unsigned char BYTE;

enum : DWORD {
  ERROR_SUCCESS = 0,
  ERROR_GEN_FAILURE = 31,
  ERROR_BUFFER_OVERFLOW = 111,
  ERROR_NO_DATA = 232,
};

enum : UINT { MAX_ADAPTER_ADDRESS_LENGTH = 8 };

// Only what the listing reads: a record is 24 bytes on 64-bit Linux, so the
// listing's 10,240-byte buffer holds 426 of them.
struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
};

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* adapterInfo, ULONG* sizePointer);
#endif

// Why the last query that returned `status` failed, as one short phrase.
const char* DescribeAdapterQueryFailure(DWORD status);

#endif  // LSMAC_PLATFORM_ADAPTER_QUERY_H_
