#!/usr/bin/env bash
# Installs what the tests need on Debian 12 (as root), builds every
# configuration and runs every test, then prints how long each stage took.
#
# The 32-bit Windows tests need a machine that runs 32-bit programs. Where
# this one cannot, they run in CI (CI=true) or with LSMAC_EMULATE_I386=1, which
# registers a user-mode emulator through binfmt_misc; otherwise they are
# skipped, and the run says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if [ "$(id -u)" != 0 ]; then
  echo "tests/run-all.sh installs packages and needs root; without it: cmake --build build && ctest --test-dir build" >&2
  exit 1
fi
# Folders made here use Ninja; one made before keeps its own generator.
export CMAKE_GENERATOR=Ninja
mkdir -p build

# The first target is this machine's own build; the Windows ones have no RPM
# architecture; the others are Linux architectures, each with its emulator.
targets=$(grep -v '^#' packaging/targets)
linux_targets=$(awk 'NR > 1 && $4 != "-"' <<<"$targets")

stages=()
stage_started=$SECONDS
stage() {
  [ -z "${stage_name:-}" ] || stages+=("$(printf '%5d s  %s' $((SECONDS - stage_started)) "$stage_name")")
  stage_name=$1 stage_started=$SECONDS
  [ -z "$1" ] || echo "== $1"
}

runs_i386() {
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' |
    as --32 -o build/probe-i386.o - && ld -m elf_i386 -o build/probe-i386 build/probe-i386.o &&
    build/probe-i386 2>/dev/null
}

stage "installing what the tests need"
skip_i386=""
if ! runs_i386 2>/dev/null; then
  [ "${CI:-}" = true ] || [ "${LSMAC_EMULATE_I386:-}" = 1 ] ||
    skip_i386="this machine cannot run 32-bit programs; LSMAC_EMULATE_I386=1 registers an emulator for them (binfmt_misc)"
fi
packages=(cmake ninja-build g++ binutils libgtest-dev iproute2 util-linux strace python3 git clang
          libclang-rt-14-dev binutils-mingw-w64-x86-64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
          lintian mandoc man-db unzip rpm rpmlint apt-utils createrepo-c gpg gpgv osslsigncode openssl
          ansible-core openssh-server wixl msitools uuid-runtime cpio dnf zypper nodejs python3-yaml mmdebstrap
          softhsm2 libengine-pkcs11-openssl faketime locales)
while read -r _ triplet _; do packages+=("g++-$triplet"); done <<<"$linux_targets"
[ -n "$skip_i386" ] || packages+=(wine32:i386)
packaging/install-packages.sh "${packages[@]}"
# Every tool the tests call, where they call it.
tools=(cmake ninja g++ clang++ as ld readelf objdump strings ip unshare prlimit setpriv strace python3 git
       lintian mandoc man unzip dpkg-deb rpm rpmbuild rpmlint sha256sum x86_64-w64-mingw32-objdump
       apt-ftparchive createrepo_c gpg gpgv osslsigncode openssl rpmsign rpmkeys ansible-playbook ssh ssh-keygen
       /usr/sbin/sshd wixl msibuild msiinfo msiextract uuidgen rpm2cpio cpio dnf zypper node npm mmdebstrap cc
       softhsm2-util faketime localedef iconv
       /usr/lib/wine/wine64 /usr/lib/wine/wineserver)
while read -r _ triplet _; do tools+=("$triplet-g++" "$triplet-objdump" "$triplet-readelf"); done <<<"$linux_targets"
[ -n "$skip_i386" ] || tools+=(/usr/lib/wine/wine)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "tests/run-all.sh: $tool is missing after the installation" >&2; exit 1; }
done
# The languages the Windows contract speaks.
for locale in de_DE ru_RU; do
  locale -a | grep -qx "$locale.utf8" || localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
done
# Each architecture's emulator, unpacked rather than installed: the package
# would register itself with binfmt_misc for the whole machine.
emulators=$root/build/qemu-user-static
if [ ! -d "$emulators/usr/bin" ]; then
  mkdir -p "$emulators"
  download() { (cd "$emulators" && apt-get download -qq -o APT::Sandbox::User=root qemu-user-static); }
  download || { apt-get update -qq && download; }
  dpkg-deb -x "$emulators"/qemu-user-static_*.deb "$emulators"
fi

if [ -z "$skip_i386" ] && ! runs_i386; then
  stage "registering an emulator for 32-bit programs"
  tests/emulate-i386.sh "$root/build/emulator"
  runs_i386 || { echo "tests/run-all.sh: 32-bit programs still do not run" >&2; exit 1; }
fi

summaries() { grep -hE '^(scenarios|faults|least privilege|churn|hardening):' "$1/Testing/Temporary/LastTest.log"; }
# ctest in BUILD; a test that skipped, here where it can all run, is a failure.
run_ctest() {
  ctest --test-dir "$1" --output-on-failure | tee "$1/ctest.log"
  ! grep -q '(Skipped)' "$1/ctest.log" || { echo "tests/run-all.sh: a test skipped in $1" >&2; exit 1; }
  grep -qE 'Test +#[0-9]+: link_dump ' "$1/ctest.log" ||
    { echo "tests/run-all.sh: no unit tests in $1: GoogleTest was not found" >&2; exit 1; }
  summaries "$1"
}

stage "native build: unit, scenario, fault, churn, least-privilege and hardening tests"
cmake -S . -B build >/dev/null
cmake --build build
run_ctest build

stage "the same under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DLSMAC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-sanitize
run_ctest build-sanitize

stage "fuzzing the link dump parser"
CXX=clang++ cmake -S . -B build-fuzz -DLSMAC_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz_link_dump
tests/fuzz.sh build-fuzz/tests/fuzz_link_dump 60

stage "Windows builds: imports, resources, .zip and .msi packages"
version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
while read -r target triplet _; do
  arch=${triplet%%-*}
  cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/windows.cmake -DLSMAC_TARGET="$target" >/dev/null
  cmake --build "build-$arch"
  exe=build-$arch/lsmac.exe
  # Standing alone, the executable imports nothing but the system's functions
  # that every Windows it is for has.
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { dll = tolower($3); next }
    /^$/ { dll = "" } dll && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll, $3 }')
  echo "$exe imports: $(echo "$imports" | cut -d' ' -f1 | uniq | tr '\n' ' ')"
  new_imports=$(grep -vxFf tests/windows-imports.txt <<<"$imports") || true
  [ -z "$new_imports" ] ||
    { echo "tests/run-all.sh: $exe imports what tests/windows-imports.txt does not name: $(echo $new_imports)" >&2; exit 1; }
  wide=$(strings -el "$exe") narrow=$(strings "$exe")
  grep -A1 -x ProductVersion <<<"$wide" | tail -1 | grep -qx "$version" &&
    grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$narrow" ||
    { echo "tests/run-all.sh: $exe lacks its version resource or its manifest" >&2; exit 1; }
  (cd "build-$arch" && cpack >/dev/null)
  zip=$(ls "build-$arch"/lsmac-"$version"-win*.zip)
  [ -s "${zip%.zip}.msi" ] || { echo "tests/run-all.sh: cpack made no ${zip%.zip}.msi" >&2; exit 1; }
  [ "$(unzip -Z1 "$zip" | sed 's|^[^/]*/||' | LC_ALL=C sort | tr '\n' ' ')" = "LICENSE NOTICES README.md lsmac.exe " ] ||
    { echo "tests/run-all.sh: $zip holds $(unzip -Z1 "$zip")" >&2; exit 1; }
  echo "$exe: version $version, asInvoker manifest; $zip holds lsmac.exe, README.md, LICENSE, NOTICES; ${zip%.zip}.msi made"
done < <(grep '^win' <<<"$targets")

stage "native packages"
tests/packages.sh build "$(dpkg --print-architecture)" "$(uname -m)"

stage "a release, signed and unsigned, checked as its users and rebuilders check it"
LSMAC_RELEASE_URL=http://10.77.0.1:8080 tests/release.sh build/release build/release-keys

stage "the Ansible playbook across hosts with roots of their own, over SSH"
tests/fleet.sh build/lsmac build/release build/release-keys build/fleet-root.tar

stage "64-bit Windows build under Wine"
# One prefix serves both Windows builds; made after the emulator is in place,
# it holds the 32-bit system too.
export WINEDEBUG=-all WINEPREFIX=$root/build/wine
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
tests/scenarios.sh --crlf --wine /usr/lib/wine/wine64 build-x86_64/lsmac.exe
tests/windows-contract.sh /usr/lib/wine/wine64 build-x86_64/lsmac.exe build-x86_64/tests/iphlpapi.dll
tests/windows-installer.sh /usr/lib/wine/wine64 build/release win64 /usr/lib/wine/wine64

stage "32-bit Windows build under Wine"
if [ -n "$skip_i386" ]; then
  echo "skipped: $skip_i386"
else
  # Twenty-four adapters overflow the listing's sixteen-record buffer.
  SCENARIOS="mixed loopback many" MANY_PAIRS=12 \
    tests/scenarios.sh --crlf --wine /usr/lib/wine/wine build-i686/lsmac.exe
  tests/windows-contract.sh /usr/lib/wine/wine build-i686/lsmac.exe build-i686/tests/iphlpapi.dll
fi
# wine64's msiexec installs the 32-bit MSI; only running it needs 32-bit Wine.
run_i386=/usr/lib/wine/wine
[ -z "$skip_i386" ] || run_i386=""
tests/windows-installer.sh /usr/lib/wine/wine64 build/release win32 $run_i386

stage "other Linux architectures, emulated: build, hardening, scenarios, packages"
failed_architectures=0
while read -r target _ _ _ qemu; do
  tests/architecture.sh "$target" "$emulators/usr/bin/qemu-$qemu-static" ||
    failed_architectures=$((failed_architectures + 1))
done <<<"$linux_targets"

stage ""
echo "== time"
printf '%s\n' "${stages[@]}"
printf '%5d s  in all\n' "$SECONDS"
[ "$failed_architectures" = 0 ]
