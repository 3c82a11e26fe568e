#!/usr/bin/env bash
# lsmac when the system fails it: no file descriptor left, the netlink socket
# refused, a send or a receive that fails. Each must give one "lsmac: cannot"
# line on standard error, nothing on standard output, and exit status 1. A
# receive interrupted by a signal is taken again and changes nothing. Each
# datagram takes two receives: its length, then the datagram.
set -u
. "$(dirname "$0")/lib/harness.sh" faults
lsmac=$1
# A dynamically linked build (the sanitizers') needs descriptors to load, so
# there the kernel's refusal is injected instead.
no_descriptor_left() {
  if readelf -l "$lsmac" | grep -q INTERP; then inject socket error=EMFILE; else prlimit --nofile=3:3 "$lsmac"; fi
}
inject() { ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e trace="$1" -e inject="$1:$2" "$lsmac"; }
# answers EXPECTED COMMAND: COMMAND lists as lsmac alone does, or with
# EXPECTED, fails with that one error line.
answers() {
  eval "$2" >"$work/out" 2>"$work/err"
  local status=$?
  echo "status $status, standard error: $(head -c 200 "$work/err")"
  if [ -z "$1" ]; then
    [ "$status" = 0 ] && [ ! -s "$work/err" ] && cmp -s "$work/out" "$work/plain"
  else
    [ "$status" = 1 ] && [ ! -s "$work/out" ] && [ "$(cat "$work/err")" = "lsmac: cannot $1" ]
  fi
}

"$lsmac" >"$work/plain"
while IFS='|' read -r name expected command; do
  check "$name" answers "$expected" "$command"
done <<'CASES'
no file descriptor left|list network adapters: socket: Too many open files|no_descriptor_left
netlink socket refused|list network adapters: socket: Permission denied|inject socket error=EACCES
request not sent|list network adapters: sendto: No buffer space available|inject sendto error=ENOBUFS
reply lost|list network adapters: recvmsg: Cannot allocate memory|inject recvmsg error=ENOMEM:when=1
reply lost once its length is known|list network adapters: recvmsg: Bad address|inject recvmsg error=EFAULT:when=2
later reply lost|list network adapters: recvmsg: No buffer space available|inject recvmsg error=ENOBUFS:when=3
receive interrupted||inject recvmsg error=EINTR:when=1
receive interrupted once its length is known||inject recvmsg error=EINTR:when=2
CASES
finish
