// GetAdaptersInfo from one rtnetlink RTM_GETLINK dump.
#include "platform/adapter_query.h"

#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A dump the link list changed under is taken again, this often at most.
const int kDumpAttempts = 4;

// The kernel fills a dump datagram up to 32 KiB; twice that leaves room.
const std::size_t kReplySize = 64 * 1024;

char last_failure[128];

DWORD Fail(const char* call, const char* reason) {
  std::snprintf(last_failure, sizeof last_failure, "%s: %s", call, reason);
  return ERROR_GEN_FAILURE;
}

bool Refuse(LinkDump& dump, const char* fault, int error = 0) {
  dump.fault = fault;
  dump.error = error;
  return false;
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

  if (dump.needed + sizeof(IP_ADAPTER_INFO) <= dump.capacity) {
    IP_ADAPTER_INFO* record = dump.records + dump.needed / sizeof(IP_ADAPTER_INFO);
    *record = IP_ADAPTER_INFO();
    record->AddressLength = address_length < MAX_ADAPTER_ADDRESS_LENGTH
                                ? static_cast<UINT>(address_length)
                                : MAX_ADAPTER_ADDRESS_LENGTH;
    if (address_length > 0)
      std::memcpy(record->Address, address, record->AddressLength);
    if (record != dump.records)
      record[-1].Next = record;
  }
  dump.needed += sizeof(IP_ADAPTER_INFO);
  return true;
}

DWORD DumpLinks(int fd, IP_ADAPTER_INFO* records, ULONG* length) {
  alignas(nlmsghdr) static char reply[kReplySize];
  const ULONG capacity = records != nullptr ? *length : 0;
  for (int attempt = 1; attempt <= kDumpAttempts; ++attempt) {
    LinkDump dump = StartLinkDump(records, capacity, static_cast<std::uint32_t>(attempt));

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
    if (dump.interrupted)
      continue;
    if (dump.needed == 0)
      return ERROR_NO_DATA;
    if (dump.needed > capacity) {
      *length = dump.needed;
      return ERROR_BUFFER_OVERFLOW;
    }
    return ERROR_SUCCESS;
  }
  return Fail("RTM_GETLINK", "the link list kept changing during the dump");
}

}  // namespace

LinkDump StartLinkDump(IP_ADAPTER_INFO* records, ULONG capacity, std::uint32_t sequence) {
  LinkDump dump = {};
  dump.records = records;
  dump.capacity = capacity;
  dump.sequence = sequence;
  return dump;
}

bool TakeLinkReply(LinkDump& dump, const void* datagram, std::size_t length,
                   std::uint32_t sender_port, bool truncated) {
  if (truncated)
    return Refuse(dump, "reply truncated");
  if (sender_port != 0)
    return Refuse(dump, "reply not from the kernel");
  if (length == 0 || length > kReplySize)
    return Refuse(dump, "malformed reply");

  int remaining = static_cast<int>(length);
  for (const nlmsghdr* message = static_cast<const nlmsghdr*>(datagram);
       NLMSG_OK(message, remaining); message = NLMSG_NEXT(message, remaining)) {
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
      return Refuse(dump, "error reported", failure->error < 0 ? -failure->error : EPROTO);
    } else if (message->nlmsg_type == NLMSG_DONE) {
      int error = 0;
      if (message->nlmsg_len >= NLMSG_LENGTH(sizeof error))
        std::memcpy(&error, NLMSG_DATA(message), sizeof error);
      if (error < 0)
        return Refuse(dump, "error reported", -error);
      dump.done = true;
    }
  }
  if (remaining > 0)
    return Refuse(dump, "malformed reply");
  return true;
}

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* adapterInfo, ULONG* sizePointer) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0)
    return Fail("socket", std::strerror(errno));
  DWORD status = DumpLinks(fd, adapterInfo, sizePointer);
  close(fd);
  return status;
}

const char* DescribeAdapterQueryFailure(DWORD) {
  return last_failure;
}
