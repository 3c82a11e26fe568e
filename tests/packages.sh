#!/usr/bin/env bash
# Packages one Linux build as a .deb and an .rpm and checks them: the names
# and architectures they must carry, lintian (no error) and rpmlint (no error
# but the missing signature, which belongs to the release and its key), the
# compressed manual page in both. The native packages are also installed: the
# .deb with dpkg, to run lsmac and man lsmac, and the .rpm into a scratch root.
#
#   packages.sh BUILD DEBIAN-ARCH RPM-ARCH
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 deb_arch=$2 rpm_arch=$3
version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$build/lsmac_${version}-1_${deb_arch}.deb
rpm=$build/lsmac-${version}-1.${rpm_arch}.rpm
rm -f "$build"/*.deb "$build"/*.rpm
cpack --config "$build/CPackConfig.cmake" -B "$build" >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log"; exit 1; }
passed=0 failed=0
check() {
  if eval "$2"; then passed=$((passed + 1)); else echo "not ok - $1"; failed=$((failed + 1)); fi
}

check "$deb built for $deb_arch" "[ \"\$(dpkg-deb -f '$deb' Architecture)\" = '$deb_arch' ]"
check "$deb has no lintian error" "lintian --fail-on error '$deb' >'$build/lintian.log' || { cat '$build/lintian.log'; false; }"
check "$deb holds the manual page compressed" "dpkg-deb -c '$deb' | grep ' ./usr/share/man/man1/lsmac.1.gz$' >/dev/null"
rpmq() { rpm -qp --qf "$1" "$rpm" 2>/dev/null; }
check "$rpm built for $rpm_arch" "[ \"\$(rpmq '%{ARCH}')\" = '$rpm_arch' ]"
has_metadata() {
  [ "$(rpmq '%{LICENSE}')" = MIT ] || return 1
  local tag
  for tag in PACKAGER SUMMARY DESCRIPTION; do
    case "$(rpmq "%{$tag}")" in "" | "(none)") return 1 ;; esac
  done
}
check "$rpm names its license, packager, summary and description" has_metadata
check "$rpm holds the manual page compressed" "rpm -qlp '$rpm' 2>/dev/null | grep -x /usr/share/man/man1/lsmac.1.gz >/dev/null"
check "$rpm has no rpmlint error but no-signature" \
  "rpmlint -r packaging/rpmlintrc '$rpm' >'$build/rpmlint.log' 2>&1; ! grep ': E: ' '$build/rpmlint.log' | grep -v ': E: no-signature$' || { cat '$build/rpmlint.log'; false; }"

if [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
  check "manual page passes mandoc's lint" "mandoc -T lint -W warning '$build/lsmac.1'"
  if [ "$(id -u)" = 0 ]; then
    check ".deb installs, and its lsmac and man lsmac work" \
      "dpkg -i '$deb' >/dev/null && lsmac >/dev/null && MANPAGER=cat man lsmac | grep 'MAC Address: 00-1B-9C-A0-FF-0A' >/dev/null; status=\$?; dpkg -r lsmac >/dev/null; [ \$status = 0 ]"
  fi
  root=$(mktemp -d)
  check ".rpm installs into a scratch root, and its lsmac runs" \
    "rpm --root '$root' --initdb && rpm --root '$root' -i --nodeps '$rpm' 2>/dev/null && '$root/usr/bin/lsmac' >/dev/null"
  rm -rf "$root"
fi
echo "packages $deb_arch: $passed passed, $failed failed"
[ "$failed" = 0 ]
