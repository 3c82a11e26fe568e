/* Runs COMMAND with the kernel's routing socket refused, as a hardened
 * sandbox's seccomp filter refuses it: socket(AF_NETLINK, ..., NETLINK_ROUTE)
 * fails with EACCES, in COMMAND and everything it starts. Every other socket
 * is left alone (sshd writes its audit records through NETLINK_AUDIT).
 *
 *   refuse_route_socket COMMAND [ARGS...]
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#define LOAD(field) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, field))
#define UNLESS(value) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (value), 1, 0), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: refuse_route_socket COMMAND [ARGS...]\n");
    return 2;
  }
  struct sock_filter filter[] = {
    LOAD(arch), UNLESS(AUDIT_ARCH_X86_64),
    LOAD(nr), UNLESS(__NR_socket),
    LOAD(args[0]), UNLESS(AF_NETLINK),
    LOAD(args[2]), UNLESS(NETLINK_ROUTE),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
  };
  struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    perror("refuse_route_socket: seccomp");
    return 1;
  }
  execvp(argv[1], argv + 1);
  perror(argv[1]);
  return 127;
}
