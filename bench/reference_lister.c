/* The least work that lists the adapters: one RTM_GETLINK dump, asked for as
   lsmac asks for it, one line per link but loopback, nothing checked. The
   yardstick for lsmac's own cost. */
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

int main(void) {
  static char reply[65536];
  struct {
    struct nlmsghdr header;
    struct ifinfomsg link;
    struct rtattr mask_header;
    unsigned int mask;
  } request = {.header = {.nlmsg_len = sizeof request, .nlmsg_type = RTM_GETLINK,
                          .nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP, .nlmsg_seq = 1},
               .link = {.ifi_family = AF_UNSPEC},
               .mask_header = {.rta_len = RTA_LENGTH(sizeof(unsigned int)), .rta_type = IFLA_EXT_MASK},
               .mask = RTEXT_FILTER_SKIP_STATS};
  struct sockaddr_nl kernel = {.nl_family = AF_NETLINK};
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (sendto(fd, &request, sizeof request, 0, (struct sockaddr *)&kernel, sizeof kernel) < 0)
    return 1;
  for (;;) {
    int length = (int)recv(fd, reply, sizeof reply, 0);
    if (length <= 0)
      return 1;
    for (struct nlmsghdr *message = (struct nlmsghdr *)reply; NLMSG_OK(message, length);
         message = NLMSG_NEXT(message, length)) {
      if (message->nlmsg_type != RTM_NEWLINK)
        return message->nlmsg_type != NLMSG_DONE;
      struct ifinfomsg *link = NLMSG_DATA(message);
      if (link->ifi_type == ARPHRD_LOOPBACK)
        continue;
      unsigned char a[6] = {0};
      int remaining = IFLA_PAYLOAD(message);
      for (struct rtattr *attribute = IFLA_RTA(link); RTA_OK(attribute, remaining);
           attribute = RTA_NEXT(attribute, remaining))
        if (attribute->rta_type == IFLA_ADDRESS)
          memcpy(a, RTA_DATA(attribute), RTA_PAYLOAD(attribute) < 6 ? RTA_PAYLOAD(attribute) : 6);
      printf("MAC Address: %02X-%02X-%02X-%02X-%02X-%02X\n", a[0], a[1], a[2], a[3], a[4], a[5]);
    }
  }
}
