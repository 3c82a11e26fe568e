#!/usr/bin/env bash
# One Linux architecture of packaging/targets end to end: cross-builds lsmac
# for it, reads its hardening with the matching binutils, runs every scenario
# with the architecture's user-mode emulator as the command, and packages it.
# Prints one summary line for the architecture.
#
#   architecture.sh TARGET EMULATOR
set -uo pipefail
cd "$(dirname "$0")/.."
target=$1 emulator=$2
read -r triplet rpm_arch < <(awk -v target="$target" '$1 == target { print $2, $4 }' packaging/targets)
build=build-$triplet
passed=0 failed=0
# step NAME COMMAND...: adds up the counts of the command's summary line; a
# command that fails without counting a failure counts as one.
step() {
  local name=$1
  shift
  "$@" >"$build/$name.log" 2>&1
  local status=$?
  set -- $(grep -oE '[0-9]+ passed, [0-9]+ failed' "$build/$name.log" | tail -1)
  passed=$((passed + ${1:-0}))
  failed=$((failed + ${3:-0}))
  if [ "$status" != 0 ]; then
    [ "${3:-0}" != 0 ] || failed=$((failed + 1))
    echo "not ok - $triplet $name:"
    grep -E '^not ok|^  ' "$build/$name.log" | head -40 || tail -20 "$build/$name.log"
  fi
}
cross_build() {
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux.cmake -DLSMAC_TARGET="$target" &&
    cmake --build "$build" && echo "build: 1 passed, 0 failed"
}
mkdir -p "$build"
step build cross_build
step hardening tests/hardening.sh "$build/lsmac" "$build/liblisting.a" "$triplet-"
step scenarios tests/scenarios.sh "$emulator" "$build/lsmac"
step packages tests/packages.sh "$build" "$target" "$rpm_arch"
echo "$triplet: $passed passed, $failed failed"
[ "$failed" = 0 ]
