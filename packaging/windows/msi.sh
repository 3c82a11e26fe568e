#!/bin/sh
# Builds lsmac's Windows installer from the files CPack staged for the .zip
# (lsmac.exe, signed if it was, README.md, LICENSE, NOTICES), and signs it
# when LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY name a certificate and its
# key. The same files, version and SOURCE_DATE_EPOCH give the same bytes.
#
#   msi.sh STAGED VERSION x86|x64 MSI
set -eu
staged=$1 version=$2 arch=$3 msi=$4
here=$(cd "$(dirname "$0")" && pwd)
# One UpgradeCode per bitness, never changed: it is how a newer lsmac finds
# and replaces an older one.
case $arch in
  x86) upgrade_code=0D721AC8-B17E-49AD-9872-B2610B84B55F program_files=ProgramFilesFolder win64=no ;;
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
# The install folder appended to the system PATH, and taken out again on
# uninstall, by the installer's own standard actions.
printf '%s\r\n' 'Environment	Name	Value	Component_' 's72	l255	L255	s72' 'Environment	Environment' \
  'PATH	=-*PATH	[~];[INSTALLDIR]	lsmac.exe' >"$work/Environment.idt"
import Environment
msiinfo export "$work/lsmac.msi" InstallExecuteSequence >"$work/InstallExecuteSequence.idt"
printf '%s\r\n' 'RemoveEnvironmentStrings		3300' 'WriteEnvironmentStrings		5200' >>"$work/InstallExecuteSequence.idt"
import InstallExecuteSequence
msiinfo export "$work/lsmac.msi" _SummaryInformation | tr -d '\r' | awk -F '\t' -v OFS='\t' \
  -v code="{$package_code}" -v stamp="$stamp" '
    $1 == 9 { $2 = code } $1 == 12 || $1 == 13 { $2 = stamp } { printf "%s\r\n", $0 }' \
  >"$work/_SummaryInformation.idt"
import _SummaryInformation

if [ -n "${LSMAC_CODESIGN_CERT:-}${LSMAC_CODESIGN_KEY:-}" ]; then
  osslsigncode sign -certs "$LSMAC_CODESIGN_CERT" -key "$LSMAC_CODESIGN_KEY" -h sha256 -n lsmac \
    -in "$work/lsmac.msi" -out "$work/signed.msi" >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log" >&2; exit 1; }
  mv "$work/signed.msi" "$work/lsmac.msi"
fi
mv "$work/lsmac.msi" "$msi"
