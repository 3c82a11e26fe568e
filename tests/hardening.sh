#!/usr/bin/env bash
# Reads from the built executable, and from the listing's object code, that
# lsmac is hardened as far as its architecture's C library allows.
#
#   hardening.sh LSMAC LISTING-LIBRARY [CROSS-PREFIX]
#
# CROSS-PREFIX names the matching binutils and compiler (aarch64-linux-gnu-).
set -u
. "$(dirname "$0")/lib/harness.sh" hardening
bin=$1 listing=$2 cross=${3:-}
# Relocations name the callee even where calls go through a table (MIPS); a
# body runs to the next symbol that is no local label (RISC-V has those).
calls() {
  "${cross}objdump" -dr "$listing" | awk -v f="<$1>:" '/^[0-9a-f]+ <[^.]/ { inside = $2 == f } inside' |
    grep -q "$2"
}
pie() { "${cross}readelf" -h "$bin" | grep -q 'DYN (Position-Independent'; }
dynamic() { "${cross}readelf" -d "$bin" | grep -q 'Dynamic section'; }
# A static PIE needs the C library's rcrt1.o; where that exists, PIE is due.
can_be_pie() { [ "$("${cross}g++" -print-file-name=rcrt1.o)" != rcrt1.o ]; }
pie_where_possible() { pie || ! can_be_pie; }
relro() { "${cross}readelf" -lW "$bin" | grep -q GNU_RELRO; }
bound_now() { ! dynamic || "${cross}readelf" -d "$bin" | grep -qE 'BIND_NOW|FLAGS.* NOW'; }

check "position independent where the C library allows" pie_where_possible
check "read-only relocations (RELRO)" relro
check "bound at start (BIND_NOW), if bound at all" bound_now
check "stack protector in ListAdapters" calls _Z12ListAdaptersv __stack_chk_fail
check "checked printf in PrintAddressLine" calls _Z16PrintAddressLinePKh __printf_chk
finish
