#!/usr/bin/env bash
# Builds the packages from the three builds, checks them with lintian and the
# manual page with mandoc, lists their contents, and installs the .deb to run
# lsmac and man lsmac from it.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for build in build build-i686 build-x86_64; do (cd "$build" && cpack >/dev/null); done
deb=build/lsmac_${version}-1_amd64.deb

echo "== $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/&/p'
dpkg-deb --contents "$deb"
lintian --fail-on error "$deb"
mandoc -T lint -W warning build/lsmac.1
mandoc -T ascii build/lsmac.1 | tail -1 | grep -q "lsmac $version"
for zip in build-i686/lsmac-$version-win32.zip build-x86_64/lsmac-$version-win64.zip; do
  echo "== $zip"
  unzip -l "$zip"
  [ "$(unzip -Z1 "$zip" | sed "s|^[^/]*/||" | LC_ALL=C sort | tr '\n' ' ')" = "LICENSE README.md lsmac.exe " ]
done

if [ "$(id -u)" = 0 ]; then
  echo "== installing $deb"
  dpkg -i "$deb" >/dev/null
  trap 'dpkg -r lsmac >/dev/null' EXIT
  lsmac >/dev/null
  MANPAGER=cat man lsmac 2>/dev/null | grep -q 'MAC Address: 00-1B-9C-A0-FF-0A'
  echo "installed lsmac and its manual page work"
fi
echo "packages: 1 passed, 0 failed"
