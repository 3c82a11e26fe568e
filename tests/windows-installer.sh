#!/usr/bin/env bash
# A release's MSI as a Windows administrator checks it, under Wine in a fresh
# prefix: installed silently, its files in Program Files, the folder once on
# the system PATH, lsmac run by name in a new process and holding what
# `ip -o link` reports in a network namespace of its own; an older lsmac (an
# executable of file version 0.9.0.0) refused; uninstall leaving no file, no
# PATH element and no Apps and Features entry; then that older one installed
# and replaced, executable and all. For win64, the release's x86 MSI is then
# replaced by the x64 one.
#
#   windows-installer.sh WINE64 RELEASE win32|win64 [RUN-WINE]
#
# RUN-WINE, the loader that runs the installed lsmac.exe, is left out where
# this machine cannot run it; the MSI is installed by WINE64's msiexec.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/harness.sh" "windows installer $3"
wine=$1 release=$(realpath -m "$2") bits=$3 run_wine=${4:-}
# The release test makes it, as root; where that test skipped, so does this.
[ -f "$release/lsmac-$version-$bits.msi" ] || skip "no release in $release: the release test makes it"
export WINEDEBUG=-all WINEPREFIX=$work/prefix LC_ALL=C
on_exit '/usr/lib/wine/wineserver -k 2>/dev/null'
msi=$release/lsmac-$version-$bits.msi older=$work/lsmac-0.9.0-$bits.msi
case $bits in
  win32) arch=x86 folder='C:\Program Files (x86)\lsmac' unix="$WINEPREFIX/drive_c/Program Files (x86)/lsmac" ;;
  *) arch=x64 folder='C:\Program Files\lsmac' unix="$WINEPREFIX/drive_c/Program Files/lsmac" ;;
esac
unzip -q "$release/lsmac-$version-$bits.zip" -d "$work"
staged=$work/lsmac-$version-$bits
# The older lsmac.exe: this one with its file version lowered to 0.9.0.0.
cp -r "$staged" "$work/older"
python3 -c '
import struct, sys
with open(sys.argv[1], "r+b") as exe:
    data = exe.read()
    exe.seek(data.index(struct.pack("<I", 0xFEEF04BD)) + 8)
    exe.write(struct.pack("<II", 0 << 16 | 9, 0))' "$work/older/lsmac.exe"
env -u LSMAC_CODESIGN_CERT -u LSMAC_CODESIGN_KEY SOURCE_DATE_EPOCH=0 \
  "$here/../packaging/windows/msi.sh" "$work/older" 0.9.0 "$arch" "$older" || exit 1
"$wine" wineboot -i >/dev/null 2>&1

msiexec() { "$wine" msiexec "$@" /qn; }
# path_elements [FOLDER]: the elements of the system PATH that name FOLDER,
# lsmac's by default.
path_elements() {
  local named=${1:-$folder}
  "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH |
    tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]* *//p' | tr ';' '\n' | grep -ixF -e "$named" -e "$named\\"
}
# The Apps and Features entries of lsmac, as "VERSION PUBLISHER" lines.
entries() {
  local key
  for key in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
      'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
    "$wine" reg query "$key" /s 2>/dev/null
  done | tr -d '\r' | awk '/^HKEY/ { if (name == "lsmac") print version, publisher; name = version = publisher = "" }
    $1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { version = $3 }
    $1 == "Publisher" { $1 = $2 = ""; sub(/^ +/, ""); publisher = $0 }
    END { if (name == "lsmac") print version, publisher }'
}
one_entry() { [ "$(entries)" = "$1 The lsmac developers" ]; }
installed_files() {
  [ "$(cd "$unix" && ls | tr '\n' ' ')" = "LICENSE NOTICES README.md lsmac.exe " ] &&
    for file in lsmac.exe README.md LICENSE NOTICES; do cmp "$unix/$file" "$staged/$file" || return 1; done
}
once_on_path() { [ "$(path_elements | wc -l)" = 1 ]; }
# A new process, under a wineserver of its own namespace, finds lsmac by name.
runs_by_name() {
  "/usr/lib/wine/wineserver" -k 2>/dev/null
  SCENARIOS=mixed "$here/scenarios.sh" --crlf --wine "$run_wine" cmd /c lsmac
}
uninstalled() { [ ! -e "$unix" ] && [ -z "$(path_elements)" ] && [ -z "$(entries)" ]; }

check "the MSI's summary asks for Windows Installer 2.0, which Windows XP has" \
  eval "msiinfo suminfo '$msi' | grep -qx 'Version: 200 (c8)'"
file_version() { msiinfo export "$1" File | tr -d '\r' | awk -F '\t' '$1 == "lsmac.exe" { print $5 }'; }
check "the MSI's File table holds lsmac.exe's file version" eval "[ \"\$(file_version '$msi')\" = $version.0 ]"
check "lsmac $version installs silently" msiexec /i "$msi"
check "the files are in $folder" installed_files
check "the system PATH names $folder once" once_on_path
# First, while PATH is as a fresh system has it: Wine's cmd finds nothing on
# a PATH with an empty element, which Wine leaves where one was removed.
[ -z "$run_wine" ] || check "a new process runs lsmac by name and lists the adapters" runs_by_name
refused "an older MSI" msiexec /i "$older"
check "lsmac $version is in Apps and Features once" one_entry "$version"
check "lsmac $version uninstalls silently" msiexec /x "$msi"
check "uninstalling leaves no file, PATH element or Apps and Features entry" uninstalled
check "lsmac 0.9.0 installs silently" msiexec /i "$older"
check "lsmac 0.9.0 is in Apps and Features" one_entry 0.9.0
check "lsmac $version installs silently over it" msiexec /i "$msi"
check "lsmac $version replaced 0.9.0 in Apps and Features" one_entry "$version"
check "the upgrade's files are in $folder" installed_files
check "the upgrade's PATH names $folder once" once_on_path
if [ "$bits" = win64 ]; then
  x86_folder='C:\Program Files (x86)\lsmac'
  replaced_x86() {
    [ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/lsmac" ] && [ -z "$(path_elements "$x86_folder")" ] &&
      one_entry "$version" && once_on_path && installed_files
  }
  check "lsmac $version uninstalls silently again" msiexec /x "$msi"
  check "the x86 lsmac $version installs silently" msiexec /i "$release/lsmac-$version-win32.msi"
  check "the x64 lsmac $version installs silently over it" msiexec /i "$msi"
  check "x64 over x86 leaves one Apps and Features entry, one PATH element and the 64-bit files" replaced_x86
fi
finish
