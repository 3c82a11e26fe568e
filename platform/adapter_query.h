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
#include <cstddef>
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

// One RTM_GETLINK dump as it is taken in, datagram by datagram. Its records
// are gathered unchained in storage of its own, which grows as links come.
struct LinkDump {
  IP_ADAPTER_INFO* records;
  ULONG count;
  ULONG room;         // records the storage holds
  std::uint32_t sequence;
  bool done;
  bool interrupted;   // the kernel saw the list change during the dump
  const char* fault;  // what was wrong with a reply the dump refused
  int error;          // errno the kernel reported, if that was the fault
};

LinkDump StartLinkDump(std::uint32_t sequence);
void EndLinkDump(LinkDump& dump);

// Takes one datagram of the dump; false when it is refused (dump.fault says
// why). A truncated datagram or one from anyone but the kernel is refused
// unread.
bool TakeLinkReply(LinkDump& dump, const void* datagram, std::size_t length,
                   std::uint32_t senderPort, bool truncated);

// Copies the dump's records to `chain`, which holds them all, linked in dump
// order.
void ChainLinkRecords(const LinkDump& dump, IP_ADAPTER_INFO* chain);
#endif

// Why the last query that returned `status` failed, as one short phrase.
const char* DescribeAdapterQueryFailure(DWORD status);

#endif  // LSMAC_PLATFORM_ADAPTER_QUERY_H_
