// GetAdaptersInfo from one rtnetlink RTM_GETLINK dump.
#include "platform/adapter_query.h"

#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A dump the link list changed under is taken again, this often at most.
const int kDumpAttempts = 4;

// The kernel fills a dump datagram up to 32 KiB; twice that leaves room.
const std::size_t kReplySize = 64 * 1024;

const ULONG kFirstRoom = 64;

char last_failure[128];

// A snapshot too large for the caller's buffer answers the caller's next
// query, which the listing makes at once with the length it was told: that
// query gets the very list whose length it was given, without a second dump
// of thousands of links.
LinkDump kept;

DWORD Fail(const char* call, const char* reason) {
  std::snprintf(last_failure, sizeof last_failure, "%s: %s", call, reason);
  return ERROR_GEN_FAILURE;
}

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
  if (remaining > 0)
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

// Takes one whole, uninterrupted dump into `dump`.
DWORD DumpLinks(int fd, LinkDump& dump) {
  alignas(nlmsghdr) static char reply[kReplySize];
  for (int attempt = 1; attempt <= kDumpAttempts; ++attempt) {
    EndLinkDump(dump);
    dump = StartLinkDump(static_cast<std::uint32_t>(attempt));

    struct {
      nlmsghdr header;
      ifinfomsg link;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = dump.sequence;
    request.link.ifi_family = AF_UNSPEC;
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0)
      return Fail("sendto", std::strerror(errno));

    while (!dump.done) {
      sockaddr_nl sender = {};
      iovec vector = {reply, sizeof reply};
      msghdr message = {};
      message.msg_name = &sender;
      message.msg_namelen = sizeof sender;
      message.msg_iov = &vector;
      message.msg_iovlen = 1;
      ssize_t received = recvmsg(fd, &message, 0);
      if (received < 0) {
        if (errno == EINTR)
          continue;
        return Fail("recvmsg", std::strerror(errno));
      }
      if (!TakeLinkReply(dump, reply, static_cast<std::size_t>(received), sender.nl_pid,
                         (message.msg_flags & MSG_TRUNC) != 0))
        return dump.error != 0 ? Fail("RTM_GETLINK", std::strerror(dump.error))
                               : Fail("RTM_GETLINK reply", dump.fault);
    }
    if (!dump.interrupted)
      return ERROR_SUCCESS;
  }
  return Fail("RTM_GETLINK", "the link list kept changing during the dump");
}

DWORD QueryLinks(LinkDump& dump) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0)
    return Fail("socket", std::strerror(errno));
  DWORD status = DumpLinks(fd, dump);
  close(fd);
  return status;
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
  if (length == 0 || length > kReplySize)
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

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* adapterInfo, ULONG* sizePointer) {
  LinkDump dump = kept;
  kept = LinkDump();
  const bool fresh = !dump.done;
  if (fresh) {
    const DWORD queried = QueryLinks(dump);
    if (queried != ERROR_SUCCESS) {
      EndLinkDump(dump);
      return queried;
    }
  }

  DWORD status = ERROR_SUCCESS;
  const ULONG needed = dump.count * sizeof(IP_ADAPTER_INFO);
  if (dump.count == 0) {
    status = ERROR_NO_DATA;
  } else if (adapterInfo == nullptr || *sizePointer < needed) {
    *sizePointer = needed;
    status = ERROR_BUFFER_OVERFLOW;
  } else {
    ChainLinkRecords(dump, adapterInfo);
  }
  if (status == ERROR_BUFFER_OVERFLOW && fresh)
    kept = dump;
  else
    EndLinkDump(dump);
  return status;
}

const char* DescribeAdapterQueryFailure(DWORD) {
  return last_failure;
}
