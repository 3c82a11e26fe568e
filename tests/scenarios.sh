#!/usr/bin/env bash
# Runs lsmac in fresh network namespaces holding chosen adapters and compares
# its output byte for byte with what the scenario assigned and with what
# `ip -o link` reports, in its order.
#
#   scenarios.sh [--crlf] [--wine] COMMAND [ARGS...]
#
# --crlf expects CR LF line ends; --wine restarts the wineserver in each
# namespace, since Wine answers from the namespace its server started in.
# SCENARIOS (names, space-separated) picks scenarios; MANY_PAIRS sets the size
# of the large one.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/harness.sh" scenarios
eol=$'\n'
wine=false
while [ $# -gt 0 ]; do
  case "$1" in
    --crlf) eol=$'\r\n'; shift ;;
    --wine) wine=true; shift ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--crlf] [--wine] COMMAND [ARGS...]" >&2; exit 2; }
if [ "${1:-}" != --inside ]; then
  unshare -rn true 2>/dev/null || skip "this user may not make network namespaces (unshare -rn)"
  [ -w /dev/net/tun ] || skip "this user may not open /dev/net/tun, and the scenarios need a tun link"
fi
# Under Wine the listing is Wine's, so the scenarios of lsmac's own link dump
# (altnames, large) run on Linux builds only.
default_scenarios="mixed loopback arguments output many"
$wine || default_scenarios+=" altnames large"
: "${SCENARIOS:=$default_scenarios}"
: "${MANY_PAIRS:=300}"

. "$here/implied-lines.sh"

line_for() { printf 'MAC Address: %s%s' "$(echo "$1" | tr 'a-f:' 'A-F-')" "$eol"; }

run() {
  "$@" >"$work/out" 2>"$work/err"
  echo $? >"$work/status"
}

failures=0
fail() { echo "  $*"; failures=$((failures + 1)); }
expect_status() { [ "$(cat "$work/status")" = "$1" ] || fail "exit status $(cat "$work/status"), expected $1"; }
expect_quiet() { [ ! -s "$work/err" ] || fail "standard error: $(head -c 300 "$work/err")"; }
expect_out() {
  cmp -s "$work/out" "$1" || fail "output differs from ${2}: $(diff <(cat -A "$1") <(cat -A "$work/out") | head -6)"
}
expect_listing() {
  implied_lines "$eol" >"$work/implied"
  expect_status 0
  expect_quiet
  expect_out "$work/implied" "ip -o link"
}
expect_error_line() {
  expect_status 1
  [ ! -s "$work/out" ] || fail "standard output not empty"
  printf '%s%s' "$1" "$eol" | cmp -s - "$work/err" ||
    fail "standard error is not the one line '$1': $(head -c 300 "$work/err" | cat -A)"
}

add_veth() { ip link add name "$1" address "$2" type veth peer name "$3" address "$4"; }

mixed_links() {
  add_veth va0 02:00:00:00:00:01 vb0 00:1b:9c:a0:ff:0a
  add_veth vc0 02:00:00:00:00:01 vd0 fe:dc:ba:98:76:54
  ip link add name br0 address 02:aa:bb:cc:dd:ee type bridge
  ip link set va0 master br0
  ip link set br0 up
  ip link set va0 up
  ip tuntap add dev tun0 mode tun
  local address
  for address in 02:00:00:00:00:01 00:1b:9c:a0:ff:0a 02:00:00:00:00:01 fe:dc:ba:98:76:54 \
    02:aa:bb:cc:dd:ee 00:00:00:00:00:00; do
    line_for "$address"
  done | sort >"$work/assigned"
}

scenario_mixed() {
  mixed_links
  run "$@"
  expect_listing
  sort "$work/out" | cmp -s - "$work/assigned" ||
    fail "the addresses listed are not those assigned: $(sort "$work/out" | diff "$work/assigned" - | cat -A)"
}

scenario_loopback() {
  ip link set lo up
  run "$@"
  expect_status 0
  expect_quiet
  [ ! -s "$work/out" ] || fail "output for loopback only: $(head -c 100 "$work/out")"
}

scenario_arguments() {
  mixed_links
  run "$@"
  cp "$work/out" "$work/plain"
  local many=()
  for i in $(seq 200); do many+=("--arg$i"); done
  local argv
  for argv in "--help" "-h" "/?" "--version" "" "a b" "*" $'\xff\xfe' "--" "-" "${many[*]}"; do
    if [ "$argv" = "${many[*]}" ]; then run "$@" "${many[@]}"; else run "$@" "$argv"; fi
    expect_status 0
    expect_quiet
    expect_out "$work/plain" "the listing without arguments (argument '${argv:0:20}')"
  done
}

scenario_output() {
  mixed_links
  : >"$work/out"
  "$@" >/dev/full 2>"$work/err"; echo $? >"$work/status"
  expect_error_line "lsmac: cannot write standard output: No space left on device"
  "$@" >&- 2>"$work/err"; echo $? >"$work/status"
  expect_error_line "lsmac: cannot write standard output: Bad file descriptor"
}

scenario_many() {
  for i in $(seq "$MANY_PAIRS"); do echo "link add name m$i type veth peer name n$i"; done | ip -batch -
  run "$@"
  expect_listing
  local lines
  lines=$(wc -l <"$work/out")
  [ "$lines" = $((2 * MANY_PAIRS)) ] || fail "$lines lines for $((2 * MANY_PAIRS)) adapters"
}

# altnames LINK COUNT LENGTH: gives LINK COUNT altnames of about LENGTH
# characters, each of which makes its netlink message longer.
altnames() {
  local pad i given
  pad=$(printf 'y%.0s' $(seq "$3"))
  for i in $(seq "$2"); do echo "link property add dev $1 altname $1-$i$pad"; done | ip -batch -
  given=$(ip -o link show "$1" | grep -o ' altname ' | wc -l)
  [ "$given" = "$2" ] || fail "$1 has $given altnames, not $2"
}

# Loopback, the first link of every dump, with a message larger than the
# kernel's first datagram unless the request asks for room.
scenario_altnames() {
  mixed_links
  altnames lo 25 110
  run "$@"
  expect_listing
}

# A link in the middle of the dump whose message alone is over 64 KiB: the
# most altnames the kernel gives one link.
scenario_large() {
  for i in $(seq 20); do echo "link add name m$i type veth peer name n$i"; done | ip -batch -
  altnames m10 496 118
  run "$@"
  expect_listing
  [ "$(wc -l <"$work/out")" = 40 ] || fail "$(wc -l <"$work/out") lines for 40 adapters"
}

# Wine answers from the namespace its server started in, so any server of the
# prefix, started elsewhere, is ended and this namespace's own is started
# before the first query. Were another still running, ours would find it
# holding the prefix and exit.
wineserver=/usr/lib/wine/wineserver
start_wineserver() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w
  "$wineserver" -f -p 2>"$work/wineserver" &
  server=$!
  for _ in $(seq 100); do
    kill -0 "$server" 2>/dev/null || break
    ls -l "/proc/$server/fd" 2>/dev/null | grep -q 'socket:' && return 0
    sleep 0.05
  done
  kill "$server" 2>/dev/null
  wait "$server"
  echo "  wineserver: this namespace's own server did not start (status $?), so one started elsewhere would answer: the old one was not ended"
  exit 1
}
stop_wineserver() {
  kill -0 "$server" 2>/dev/null || fail "wineserver: this namespace's server ended during the scenario"
  "$wineserver" -k
  wait "$server"
}

if [ "${1:-}" = --inside ]; then
  scenario=$2; shift 2
  if $wine; then start_wineserver; fi
  "scenario_$scenario" "$@"
  if $wine; then stop_wineserver; fi
  exit $((failures > 0))
fi

args=(); [ "$eol" = $'\n' ] || args+=(--crlf); $wine && args+=(--wine)
for scenario in $SCENARIOS; do
  check "$scenario" unshare -rn "$here/scenarios.sh" "${args[@]}" --inside "$scenario" "$@"
done
finish
