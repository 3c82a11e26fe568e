// The pure half of the Linux query: an rtnetlink RTM_GETLINK dump, taken in
// from datagrams the caller received, becomes the platform's adapter records.
// No sockets here, so tests and the fuzzer feed it hand-made replies.
#ifndef LSMAC_PLATFORM_LINK_DUMP_H_
#define LSMAC_PLATFORM_LINK_DUMP_H_

#include <cstddef>
#include <cstdint>

#include "platform/adapter_query.h"

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

#endif  // LSMAC_PLATFORM_LINK_DUMP_H_
