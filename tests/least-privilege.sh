#!/usr/bin/env bash
# lsmac needs no privilege: an ordinary user gets the same listing as root, in
# a namespace root made and in an unprivileged one of the user's own.
set -u
. "$(dirname "$0")/lib/harness.sh" "least privilege"
[ "$(id -u)" = 0 ] || skip "needs root to act as another user"
ns=lsmac-least-privilege-$$
# A copy that nobody can reach, wherever the build lives.
install -m 755 "$1" "$work/lsmac"
lsmac=$work/lsmac
chown nobody "$work"
on_exit 'ip netns del "$ns" 2>/dev/null'
nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

ip netns add "$ns"
ip -n "$ns" link add name pa address 02:00:00:00:0a:01 type veth peer name pb address 02:00:00:00:0a:02
ip -n "$ns" link add name br address 02:00:00:00:0a:03 type bridge
lists_as_root() {
  ip netns exec "$ns" "$lsmac" >"$work/root" 2>&1 &&
    ip netns exec "$ns" "${nobody[@]}" "$lsmac" >"$work/nobody" 2>&1
  [ "$(wc -l <"$work/root")" = 3 ] && cmp "$work/root" "$work/nobody"
}
check "nobody lists root's namespace as root does" lists_as_root
lists_its_own() {
  "${nobody[@]}" unshare -rn sh -c "ip link add name pa address 02:00:00:00:0b:01 type veth \
    peer name pb address 02:00:00:00:0b:02 && '$lsmac' >'$work/own'" &&
    [ "$(wc -l <"$work/own")" = 2 ] && [ "$(grep -c '02-00-00-00-0B-0[12]' "$work/own")" = 2 ]
}
check "nobody lists an unprivileged namespace of its own" lists_its_own
finish
