#!/usr/bin/env bash
# Fuzzes the link dump parser for a bounded time, from seeds that are real
# dumps of a few namespaces and the inputs that once found a fault
# (fuzz-regressions/). A crash, a sanitizer report or an input that takes
# more than ten seconds (a loop) fails it, with the input saved beside the
# fuzzer.
#
#   fuzz.sh FUZZER SECONDS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fuzzer=$1 seconds=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp "$here"/fuzz-regressions/* "$work/corpus/"

capture() { unshare -rn sh -c "$1 python3 '$here/capture_link_dump.py' '$work/corpus/$2'"; }
capture "" loopback
capture "ip link add name v0 type veth peer name v1 && ip link add name br0 type bridge &&
  ip link set v0 master br0 && ip link set br0 up && ip tuntap add dev tun0 mode tun &&
  ip link add name ifb0 type ifb &&" mixed
capture "for i in \$(seq 60); do echo link add name m\$i type veth peer name n\$i; done | ip -batch - &&" many

"$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$(dirname "$fuzzer")/" "$work/corpus" 2>"$work/log" ||
  { tail -40 "$work/log"; exit 1; }
grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" "$work/log"
echo "fuzzing: 1 passed, 0 failed"
