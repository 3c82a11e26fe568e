#!/usr/bin/env bash
# Packages one Linux build as a .deb and an .rpm and checks them: the names
# and architectures they must carry, lintian (no error) and rpmlint (no error
# but the missing signature, which belongs to the release and its key), the
# compressed manual page in both. The native packages are also installed: the
# .deb with dpkg, to run lsmac and man lsmac, and the .rpm into a scratch root.
#
#   packages.sh BUILD GENERATORS DEBIAN-ARCH RPM-ARCH
#
# GENERATORS are the build's CPack generators, "DEB RPM" where configuring
# found the tools of both kinds; without one of them the test cannot run.
set -uo pipefail
. "$(dirname "$0")/lib/harness.sh" "packages ${3:-}"
cd "$project"
build=$1 deb_arch=${3:-} rpm_arch=${4:-}
[ "$2" = "DEB RPM" ] || skip "this build makes packages of '$2', not DEB and RPM: its configuration said which tool is missing"
deb=$build/lsmac_${version}-1_${deb_arch}.deb
rpm=$build/lsmac-${version}-1.${rpm_arch}.rpm
rm -f "$build"/*.deb "$build"/*.rpm
cpack --config "$build/CPackConfig.cmake" -B "$build" >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log"; exit 1; }
# Runs COMMAND with its output in LOG as well.
logged() {
  local log=$1
  shift
  "$@" 2>&1 | tee "$log"
}
rpmq() { rpm -qp --qf "$1" "$rpm" 2>/dev/null; }
has_metadata() {
  [ "$(rpmq '%{LICENSE}')" = MIT ] || return 1
  local tag
  for tag in PACKAGER SUMMARY DESCRIPTION; do
    case "$(rpmq "%{$tag}")" in "" | "(none)") return 1 ;; esac
  done
}
no_rpmlint_error_but_signature() {
  rpmlint -r packaging/rpmlintrc "$rpm" 2>&1 | tee "$build/rpmlint.log"
  ! grep ': E: ' "$build/rpmlint.log" | grep -v ': E: no-signature$'
}
deb_installs_and_runs() {
  dpkg -i "$deb" >/dev/null && lsmac >/dev/null &&
    MANPAGER=cat man lsmac | grep 'MAC Address: 00-1B-9C-A0-FF-0A' >/dev/null
  local status=$?
  dpkg -r lsmac >/dev/null
  return $status
}
rpm_installs_and_runs() {
  local root=$work/rpm-root
  mkdir "$root" && rpm --root "$root" --initdb && rpm --root "$root" -i "$rpm" 2>/dev/null &&
    "$root/usr/bin/lsmac" >/dev/null
}

check "$deb built for $deb_arch" [ "$(dpkg-deb -f "$deb" Architecture)" = "$deb_arch" ]
check "$deb has no lintian error" logged "$build/lintian.log" lintian --fail-on error "$deb"
check "$deb holds the manual page compressed" grep -q ' ./usr/share/man/man1/lsmac.1.gz$' <(dpkg-deb -c "$deb")
check "$rpm built for $rpm_arch" [ "$(rpmq '%{ARCH}')" = "$rpm_arch" ]
check "$rpm names its license, packager, summary and description" has_metadata
check "$rpm holds the manual page compressed" grep -qx /usr/share/man/man1/lsmac.1.gz <(rpm -qlp "$rpm" 2>/dev/null)
check "$rpm has no rpmlint error but no-signature" no_rpmlint_error_but_signature

if [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
  check "manual page passes mandoc's lint" mandoc -T lint -W warning "$build/lsmac.1"
  [ "$(id -u)" != 0 ] || check ".deb installs, and its lsmac and man lsmac work" deb_installs_and_runs
  check ".rpm installs into a scratch root, and its lsmac runs" rpm_installs_and_runs
fi
finish
