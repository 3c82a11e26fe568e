#!/usr/bin/env bash
# Fuzzes the link dump parser for a bounded time, from seeds that are real
# dumps of a few namespaces and the inputs that once found a fault
# (fuzz-regressions/). A crash, a sanitizer report or an input that takes
# more than ten seconds (a loop) fails it, with the input saved beside the
# fuzzer.
#
#   fuzz.sh FUZZER SECONDS
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/harness.sh" fuzzing
fuzzer=$1 seconds=$2
mkdir "$work/corpus"
cp "$here"/fuzz-regressions/* "$work/corpus/"

capture() { unshare -rn sh -c "$1 python3 '$here/capture_link_dump.py' '$work/corpus/$2'"; }
check "a dump of loopback alone, as a seed" capture "" loopback
check "a dump of mixed links, as a seed" capture "ip link add name v0 type veth peer name v1 && ip link add name br0 type bridge &&
  ip link set v0 master br0 && ip link set br0 up && ip tuntap add dev tun0 mode tun &&
  ip link add name ifb0 type ifb &&" mixed
check "a dump of 120 links, as a seed" capture \
  "for i in \$(seq 60); do echo link add name m\$i type veth peer name n\$i; done | ip -batch - &&" many

fuzz() {
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$(dirname "$fuzzer")/" \
    "$work/corpus" 2>"$work/log"
  local status=$?
  tail -40 "$work/log"
  return $status
}
check "$seconds s of fuzzing: no crash, no sanitizer report, no input slower than 10 s" fuzz
grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" "$work/log"
check "the fuzzer ran inputs" eval '[ "$(sed -n "s/^stat::number_of_executed_units: *//p" "$work/log")" -gt 0 ]'
finish
