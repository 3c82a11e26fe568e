#!/usr/bin/env bash
# A Windows build as it ships. Standing alone, lsmac.exe imports nothing but
# the system functions every Windows it is for has (windows-imports.txt); it
# carries its version resource and its manifest; cpack packs it into a .zip
# of lsmac.exe, README.md, LICENSE and NOTICES, and into an .msi.
#
#   windows-build.sh BUILD
set -u
. "$(dirname "$0")/lib/harness.sh" "windows build"
build=$1 exe=$1/lsmac.exe

x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { dll = tolower($3); next }
  /^$/ { dll = "" } dll && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll, $3 }' >"$work/imports"
echo "imports: $(cut -d' ' -f1 "$work/imports" | uniq | tr '\n' ' ')"
# grep finds no line (1) only when every import is listed.
imports_listed() {
  [ -s "$work/imports" ] || return 1
  grep -vxFf "$project/tests/windows-imports.txt" "$work/imports"
  [ $? = 1 ]
}
product_version() { strings -el "$exe" | grep -A1 -x ProductVersion | tail -1 | grep -qx "$version"; }
zip_holds() {
  local files
  files=$(unzip -Z1 "$zip" | sed 's|^[^/]*/||' | LC_ALL=C sort | tr '\n' ' ')
  [ "$files" = "LICENSE NOTICES README.md lsmac.exe " ] || { echo "$files"; false; }
}
check "lsmac.exe imports only what windows-imports.txt names" imports_listed
check "lsmac.exe's version resource names $version" product_version
check "lsmac.exe's manifest asks to run as the invoker" \
  grep -q 'requestedExecutionLevel level="asInvoker"' <(strings "$exe")
check "cpack packs the build" cpack --config "$build/CPackConfig.cmake" -B "$build"
zip=$(ls "$build"/lsmac-"$version"-win*.zip 2>/dev/null | head -1)
check "the .zip holds lsmac.exe, README.md, LICENSE and NOTICES" zip_holds
check "cpack made ${zip%.zip}.msi" test -s "${zip%.zip}.msi"
finish
