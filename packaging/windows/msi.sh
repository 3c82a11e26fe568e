#!/bin/sh
# Builds lsmac's Windows installer from the files CPack staged for the .zip
# (lsmac.exe, signed if it was, README.md, LICENSE, NOTICES), and signs it
# when LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY name a certificate and its
# key (codesign.sh). The same files, version and SOURCE_DATE_EPOCH give the
# same bytes.
#
#   msi.sh STAGED VERSION x86|x64 MSI
set -eu
staged=$1 version=$2 arch=$3 msi=$4
here=$(cd "$(dirname "$0")" && pwd)
# One UpgradeCode per bitness, never changed: it is how a newer lsmac finds
# and replaces an older one.
x86_upgrade_code=0D721AC8-B17E-49AD-9872-B2610B84B55F
case $arch in
  x86) upgrade_code=$x86_upgrade_code program_files=ProgramFilesFolder win64=no ;;
  x64) upgrade_code=AB64BE58-B667-4367-B422-739BF3BDA750 program_files=ProgramFiles64Folder win64=yes ;;
  *) echo "msi.sh: the architecture is x86 or x64, not $arch" >&2; exit 2 ;;
esac
# wixl makes random codes and stamps the build's time; these are derived from
# what the package holds instead.
uuid() { uuidgen --sha1 --namespace "$upgrade_code" --name "$1" | tr a-f A-F; }
product_code=$(uuid "product:$version")
package_code=$(uuid "package:$version:$(cd "$staged" && sha256sum lsmac.exe README.md LICENSE NOTICES | sha256sum)")
stamp=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y/%m/%d %H:%M:%S')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch -d "@$SOURCE_DATE_EPOCH" "$staged"/*
(cd "$staged" && wixl -a "$arch" -o "$work/lsmac.msi" -D Version="$version" -D ProductCode="$product_code" \
  -D UpgradeCode="$upgrade_code" -D ProgramFiles="$program_files" -D Win64="$win64" \
  "$here/lsmac.wxs")

# import TABLE: replaces TABLE with $work/TABLE.idt (tab-separated, CR LF).
import() { (cd "$work" && msibuild lsmac.msi -i "$1.idt"); }
# edit TABLE PROGRAM [AWK-OPTION...]: TABLE's rows, as awk's PROGRAM changes
# them (fields split at tabs; the first three lines name the columns).
edit() {
  table=$1 program=$2
  shift 2
  msiinfo export "$work/lsmac.msi" "$table" | tr -d '\r' | awk -F '\t' -v OFS='\t' "$@" "$program" |
    sed 's/$/\r/' >"$work/$table.idt"
  import "$table"
}
# The install folder appended to the system PATH, and taken out again on
# uninstall, by the installer's own standard actions.
printf '%s\r\n' 'Environment	Name	Value	Component_' 's72	l255	L255	s72' 'Environment	Environment' \
  'PATH	=-*PATH	[~];[INSTALLDIR]	lsmac.exe' >"$work/Environment.idt"
import Environment
edit InstallExecuteSequence '{ print } END { print "RemoveEnvironmentStrings", "", 3300; print "WriteEnvironmentStrings", "", 5200 }'
edit _SummaryInformation '$1 == 9 { $2 = code } $1 == 12 || $1 == 13 { $2 = stamp } { print }' \
  -v code="{$package_code}" -v stamp="$stamp"
# lsmac.exe's file version, from its version resource, which wixl does not
# read: without it Windows Installer would decide by dates whether an upgrade
# replaces the installed executable.
file_version=$(python3 -c '
import struct, sys
data = open(sys.argv[1], "rb").read()
fixed = data.index(struct.pack("<I", 0xFEEF04BD))
high, low = struct.unpack_from("<II", data, fixed + 8)
print(f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}")' "$staged/lsmac.exe")
edit File 'NR > 3 && $1 == "lsmac.exe" { $5 = version } { print }' -v version="$file_version"
# The x64 MSI takes the place of an installed x86 one, so that a machine
# keeps one lsmac and one PATH entry.
if [ "$arch" = x64 ]; then
  edit Upgrade '{ print } END { print code, "0.0.0", "", "", 257, "", "LSMAC_X86_DETECTED" }' -v code="{$x86_upgrade_code}"
  edit Property '$1 == "SecureCustomProperties" { $2 = $2 ";LSMAC_X86_DETECTED" } { print }'
fi

if [ -n "${LSMAC_CODESIGN_CERT:-}${LSMAC_CODESIGN_KEY:-}" ]; then
  "$here/codesign.sh" "$work/lsmac.msi" "$work/signed.msi" >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log" >&2; exit 1; }
  mv "$work/signed.msi" "$work/lsmac.msi"
fi
mv "$work/lsmac.msi" "$msi"
