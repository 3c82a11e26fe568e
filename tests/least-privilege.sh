#!/usr/bin/env bash
# lsmac needs no privilege: an ordinary user gets the same listing as root, in
# a namespace root made and in an unprivileged one of the user's own.
set -u
if [ "$(id -u)" != 0 ]; then
  echo "least privilege: skipped, needs root to act as another user"
  exit 77
fi
ns=lsmac-least-privilege-$$
work=$(mktemp -d)
# A copy that nobody can reach, wherever the build lives.
install -m 755 "$1" "$work/lsmac"
lsmac=$work/lsmac
chown nobody "$work"
trap 'ip netns del "$ns" 2>/dev/null; rm -rf "$work"' EXIT
nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
passed=0 failed=0
check() {
  if [ "$2" = 0 ]; then echo "ok - $1"; passed=$((passed + 1)); else echo "not ok - $1"; failed=$((failed + 1)); fi
}

ip netns add "$ns"
ip -n "$ns" link add name pa address 02:00:00:00:0a:01 type veth peer name pb address 02:00:00:00:0a:02
ip -n "$ns" link add name br address 02:00:00:00:0a:03 type bridge
ip netns exec "$ns" "$lsmac" >"$work/root" 2>&1
ip netns exec "$ns" "${nobody[@]}" "$lsmac" >"$work/nobody" 2>&1
[ "$(wc -l <"$work/root")" = 3 ] && cmp -s "$work/root" "$work/nobody"
check "nobody lists root's namespace as root does" $?

"${nobody[@]}" unshare -rn sh -c "ip link add name pa address 02:00:00:00:0b:01 type veth \
  peer name pb address 02:00:00:00:0b:02 && '$lsmac' >'$work/own'"
[ $? = 0 ] && [ "$(wc -l <"$work/own")" = 2 ] &&
  [ "$(grep -c '02-00-00-00-0B-0[12]' "$work/own")" = 2 ]
check "nobody lists an unprivileged namespace of its own" $?
echo "least privilege: $passed passed, $failed failed"
[ "$failed" = 0 ]
