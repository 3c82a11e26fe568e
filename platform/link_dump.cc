#include "platform/link_dump.h"

#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const ULONG kFirstRoom = 64;

bool Refuse(LinkDump& dump, const char* fault, int error = 0) {
  dump.fault = fault;
  dump.error = error;
  return false;
}

// The kernel reports an errno negated; anything else (zero, or a value no
// errno has) is a protocol error.
int ReportedErrno(int error) {
  return error < 0 && error > -4096 ? -error : EPROTO;
}

IP_ADAPTER_INFO* NewRecord(LinkDump& dump) {
  if (dump.count == dump.room) {
    const ULONG room = dump.room > 0 ? 2 * dump.room : kFirstRoom;
    void* grown = std::realloc(dump.records, room * sizeof(IP_ADAPTER_INFO));
    if (grown == nullptr)
      return nullptr;
    dump.records = static_cast<IP_ADAPTER_INFO*>(grown);
    dump.room = room;
  }
  IP_ADAPTER_INFO* record = &dump.records[dump.count++];
  *record = IP_ADAPTER_INFO();
  return record;
}

bool TakeLink(LinkDump& dump, const nlmsghdr* message) {
  if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
    return Refuse(dump, "link message cut short");
  const ifinfomsg* link = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
  if (link->ifi_type == ARPHRD_LOOPBACK)
    return true;

  const void* address = nullptr;
  std::size_t address_length = 0;
  int remaining = IFLA_PAYLOAD(message);
  for (const rtattr* attribute = IFLA_RTA(link); RTA_OK(attribute, remaining);
       attribute = RTA_NEXT(attribute, remaining)) {
    if (attribute->rta_type == IFLA_ADDRESS) {
      address = RTA_DATA(attribute);
      address_length = RTA_PAYLOAD(attribute);
    }
  }
  // A tail no longer than one attribute header holds no address: it is the
  // empty attribute some kernels end a link with, which user-mode emulators
  // of big-endian machines pass on with its length unswapped. Anything longer
  // may hide the address, so the link is refused rather than listed as zeros.
  if (remaining > static_cast<int>(RTA_LENGTH(0)))
    return Refuse(dump, "malformed link attributes");

  IP_ADAPTER_INFO* record = NewRecord(dump);
  if (record == nullptr)
    return Refuse(dump, "no memory for the records", ENOMEM);
  record->AddressLength = address_length < MAX_ADAPTER_ADDRESS_LENGTH
                              ? static_cast<UINT>(address_length)
                              : MAX_ADAPTER_ADDRESS_LENGTH;
  if (address_length > 0)
    std::memcpy(record->Address, address, record->AddressLength);
  return true;
}

}  // namespace

LinkDump StartLinkDump(std::uint32_t sequence) {
  LinkDump dump = {};
  dump.sequence = sequence;
  return dump;
}

void EndLinkDump(LinkDump& dump) {
  std::free(dump.records);
  dump = LinkDump();
}

bool TakeLinkReply(LinkDump& dump, const void* datagram, std::size_t length,
                   std::uint32_t sender_port, bool truncated) {
  if (truncated)
    return Refuse(dump, "reply truncated");
  if (sender_port != 0)
    return Refuse(dump, "reply not from the kernel");
  if (length == 0)
    return Refuse(dump, "malformed reply");

  const char* bytes = static_cast<const char*>(datagram);
  for (std::size_t offset = 0, step = 0; offset < length; offset += step) {
    const nlmsghdr* message = reinterpret_cast<const nlmsghdr*>(bytes + offset);
    if (length - offset < sizeof(nlmsghdr) || message->nlmsg_len < sizeof(nlmsghdr) ||
        message->nlmsg_len > length - offset)
      return Refuse(dump, "malformed reply");
    step = NLMSG_ALIGN(message->nlmsg_len);
    if (dump.done)
      return Refuse(dump, "reply after the end of the dump");
    if (message->nlmsg_seq != dump.sequence)
      return Refuse(dump, "reply to another request");
    if (message->nlmsg_flags & NLM_F_DUMP_INTR)
      dump.interrupted = true;

    if (message->nlmsg_type == RTM_NEWLINK) {
      if (!TakeLink(dump, message))
        return false;
    } else if (message->nlmsg_type == NLMSG_ERROR) {
      if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
        return Refuse(dump, "error message cut short");
      const nlmsgerr* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
      return Refuse(dump, "error reported", ReportedErrno(failure->error));
    } else if (message->nlmsg_type == NLMSG_DONE) {
      int error = 0;
      if (message->nlmsg_len >= NLMSG_LENGTH(sizeof error))
        std::memcpy(&error, NLMSG_DATA(message), sizeof error);
      if (error < 0)
        return Refuse(dump, "error reported", ReportedErrno(error));
      dump.done = true;
    }
  }
  return true;
}

void ChainLinkRecords(const LinkDump& dump, IP_ADAPTER_INFO* chain) {
  for (ULONG i = 0; i < dump.count; ++i) {
    chain[i] = dump.records[i];
    chain[i].Next = i + 1 < dump.count ? &chain[i + 1] : nullptr;
  }
}
