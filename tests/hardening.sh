#!/usr/bin/env bash
# Reads from the built executable that it is hardened.
set -u
bin=$1
passed=0 failed=0
check() {
  if eval "$2"; then echo "ok - $1"; passed=$((passed + 1)); else echo "not ok - $1"; failed=$((failed + 1)); fi
}
body() { objdump -d --no-show-raw-insn "$bin" | awk -v f="<$1>:" '$2 == f, /^$/'; }
check "position independent" "readelf -h '$bin' | grep -q 'DYN (Position-Independent'"
check "read-only relocations (RELRO)" "readelf -lW '$bin' | grep -q GNU_RELRO"
check "bound at start (BIND_NOW)" "readelf -d '$bin' | grep -qE 'BIND_NOW|Flags:.* NOW'"
check "stack canary in ListAdapters" "body _Z12ListAdaptersv | grep -q '%fs:0x28'"
check "checked printf in PrintAddressLine" "body _Z16PrintAddressLinePKh | grep -q '__printf_chk'"
echo "hardening: $passed passed, $failed failed"
[ "$failed" = 0 ]
