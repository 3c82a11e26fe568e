// GetAdaptersInfo from one rtnetlink RTM_GETLINK dump.
#include "platform/adapter_query.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// Takes one whole, uninterrupted dump into `dump`.
DWORD DumpLinks(int fd, LinkDump& dump) {
  alignas(nlmsghdr) static char reply[kLinkReplySize];
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
