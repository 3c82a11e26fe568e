#!/usr/bin/env bash
# Times lsmac against the usual tools at 1 to 8,000 adapters, each size in a
# network namespace of its own, and writes results/: hyperfine's JSON and peak
# resident sizes per size, table.md and time.png. Needs root (it installs its
# tools with apt-get when they are missing) or a user who may `unshare -rnm`.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${BENCH_OUT:-$here/results}
sizes=${BENCH_SIZES:-"1 16 17 400 4000 8000"}

if [ "${1:-}" = --inside ]; then
  size=$2 bin=$3
  mount -t sysfs sysfs /sys  # /sys/class/net of this namespace
  { for i in $(seq $((size / 2))); do echo "link add name m$i type veth peer name n$i"; done
    [ $((size % 2)) = 0 ] || echo "link add name odd type ifb"; } | ip -batch -
  [ "$(ip -o link | grep -vc link/loopback)" = "$size" ] || { echo "not $size adapters" >&2; exit 1; }
  sleep 3  # the kernel's own work on new links settles first

  declare -A peers=(
    [lsmac]="$bin/lsmac" [reference]="$bin/reference_lister" [no-op]="$bin/noop"
    [ip -o link]="ip -o link" [ifconfig -a]="ifconfig -a"
    [cat /sys/class/net/*/address]="cat $(echo /sys/class/net/*/address)"
    [getifaddrs]="$bin/getifaddrs_lister")
  # Millisecond runs are timed many to a sample, so that timer noise does not
  # decide; rounds taken in turn keep drift from favouring whichever ran first.
  repeat=$((size <= 400 ? 20 : 1))
  rounds=$((size <= 400 ? 5 : 3))
  # Thousands of paths outgrow one argument: the shell expands them there.
  [ "$size" -le 400 ] || peers[cat /sys/class/net/*/address]="sh -c 'cat /sys/class/net/*/address'"
  args=()
  for name in "${!peers[@]}"; do
    args+=(-n "$name" "$([ "$repeat" = 1 ] || echo "$bin/repeat $repeat") ${peers[$name]}")
  done
  for round in $(seq "$rounds"); do
    hyperfine -N --warmup 3 --min-runs 10 --style none --export-json "$out/$size.$round.json" \
      "${args[@]}" >/dev/null
  done
  echo "$repeat" >"$out/$size.repeat"

  for name in "${!peers[@]}"; do
    printf '%s\t%s\n' "$name" "$(eval "/usr/bin/time -f %M ${peers[$name]}" 2>&1 >/dev/null | tail -1)"
  done >"$out/$size.rss"
  if [ "$size" = 16 ]; then
    for name in lsmac "ip -o link"; do
      printf '%s\t%s\n' "$name" "$(valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        ${peers[$name]} 2>&1 >/dev/null | awk '/Collected/ {print $NF}')"
    done >"$out/instructions"
  fi
  exit 0
fi

if [ "$(id -u)" = 0 ]; then
  tools=(cmake g++ hyperfine net-tools gnuplot-nox valgrind time python3 iproute2)
  missing=$(for t in "${tools[@]}"; do dpkg-query -W -f='${Status}' "$t" 2>/dev/null | grep -q "ok installed" || echo "$t"; done)
  [ -z "$missing" ] || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null; }
fi

bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
cmake -S "$here/.." -B "$here/../build" >/dev/null
cmake --build "$here/../build" --target lsmac >/dev/null
cp "$here/../build/lsmac" "$bin/"
cc -O2 -static -o "$bin/reference_lister" "$here/reference_lister.c"
cc -O2 -static -o "$bin/noop" "$here/noop.c"
cc -O2 -static -o "$bin/repeat" "$here/repeat.c"
cc -O2 -o "$bin/getifaddrs_lister" "$here/getifaddrs_lister.c"

mkdir -p "$out"
for size in $sizes; do
  echo "== $size adapters"
  unshare -rnm "$0" --inside "$size" "$bin"
done
python3 "$here/report.py" "$out" "$sizes" | tee "$out/table.md"
gnuplot -e "out='$out'" "$here/plot.gp"
echo "wrote $out/table.md and $out/time.png"
