/* The adapters as most libraries find them: through glibc's getifaddrs. */
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

int main(void) {
  struct ifaddrs *list;
  if (getifaddrs(&list) != 0)
    return 1;
  for (struct ifaddrs *entry = list; entry != NULL; entry = entry->ifa_next) {
    if (entry->ifa_addr == NULL || entry->ifa_addr->sa_family != AF_PACKET ||
        (entry->ifa_flags & IFF_LOOPBACK))
      continue;
    const struct sockaddr_ll *link = (const struct sockaddr_ll *)entry->ifa_addr;
    unsigned char a[6] = {0};
    memcpy(a, link->sll_addr, link->sll_halen < 6 ? link->sll_halen : 6);
    printf("MAC Address: %02X-%02X-%02X-%02X-%02X-%02X\n", a[0], a[1], a[2], a[3], a[4], a[5]);
  }
  freeifaddrs(list);
  return 0;
}
