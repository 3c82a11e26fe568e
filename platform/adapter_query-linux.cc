// GetAdaptersInfo from one rtnetlink RTM_GETLINK dump.
#include "platform/adapter_query.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/link_dump.h"

namespace {

// A dump the link list changed under is taken again, this often at most.
const int kDumpAttempts = 4;

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

// Without an extension mask the kernel sizes a dump's datagrams to about a
// page, whatever its links' size, and a link that does not fit an empty one
// ends the dump as if it were complete. With one it sizes each datagram for
// the largest link. Statistics are left out too: lsmac never reads them.
const std::uint32_t kLinkExtMask = RTEXT_FILTER_SKIP_STATS;

// The kernel fills dump datagrams up to 32 KiB when the reader's buffer is
// that large, and makes one larger for a link that needs it.
const std::size_t kFirstReplyRoom = 32 * 1024;

// One datagram of the dump, in storage that grows to the largest one.
struct Reply {
  char* bytes = nullptr;
  std::size_t room = 0;
  std::size_t length = 0;
  std::uint32_t sender = 0;
  bool truncated = false;

  ~Reply() { std::free(bytes); }
};

DWORD RequestLinks(int fd, std::uint32_t sequence) {
  struct {
    nlmsghdr header;
    ifinfomsg link;
    rtattr mask_header;
    std::uint32_t mask;
  } request = {};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  request.link.ifi_family = AF_UNSPEC;
  request.mask_header.rta_len = RTA_LENGTH(sizeof request.mask);
  request.mask_header.rta_type = IFLA_EXT_MASK;
  request.mask = kLinkExtMask;
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0)
    return Fail("sendto", std::strerror(errno));
  return ERROR_SUCCESS;
}

ssize_t ReceiveUninterrupted(int fd, msghdr& message, int flags) {
  ssize_t received;
  do
    received = recvmsg(fd, &message, flags);
  while (received < 0 && errno == EINTR);
  return received;
}

// Receives the next datagram whole: its length is read first, without taking
// it, so that the buffer grows to whatever size the kernel sent. The peek
// reads one byte: user-mode emulators answer 0 to a receive of none.
DWORD Receive(int fd, Reply& reply) {
  char first;
  iovec peek = {&first, 1};
  msghdr message = {};
  message.msg_iov = &peek;
  message.msg_iovlen = 1;
  const ssize_t waiting = ReceiveUninterrupted(fd, message, MSG_PEEK | MSG_TRUNC);
  if (waiting < 0)
    return Fail("recvmsg", std::strerror(errno));
  const std::size_t needed = std::max(static_cast<std::size_t>(waiting), kFirstReplyRoom);
  if (needed > reply.room) {
    void* grown = std::realloc(reply.bytes, needed);
    if (grown == nullptr)
      return Fail("RTM_GETLINK reply", "no memory for the reply");
    reply.bytes = static_cast<char*>(grown);
    reply.room = needed;
  }

  sockaddr_nl sender = {};
  iovec vector = {reply.bytes, reply.room};
  message = msghdr();
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  const ssize_t received = ReceiveUninterrupted(fd, message, 0);
  if (received < 0)
    return Fail("recvmsg", std::strerror(errno));
  reply.length = static_cast<std::size_t>(received);
  reply.sender = sender.nl_pid;
  reply.truncated = (message.msg_flags & MSG_TRUNC) != 0;
  return ERROR_SUCCESS;
}

// Takes one whole, uninterrupted dump into `dump`.
DWORD DumpLinks(int fd, LinkDump& dump) {
  Reply reply;
  for (int attempt = 1; attempt <= kDumpAttempts; ++attempt) {
    EndLinkDump(dump);
    dump = StartLinkDump(static_cast<std::uint32_t>(attempt));
    if (const DWORD sent = RequestLinks(fd, dump.sequence))
      return sent;

    while (!dump.done) {
      if (const DWORD received = Receive(fd, reply))
        return received;
      if (!TakeLinkReply(dump, reply.bytes, reply.length, reply.sender, reply.truncated))
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
