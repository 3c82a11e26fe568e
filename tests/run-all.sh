#!/usr/bin/env bash
# Installs what the tests need on Debian 12 (as root), then builds every
# configuration and target and runs its tests with ctest, and prints how long
# each took.
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
          ansible-core ansible-lint openssh-server wixl msitools uuid-runtime cpio dnf zypper nodejs python3-yaml mmdebstrap
          softhsm2 libengine-pkcs11-openssl faketime locales)
while read -r _ triplet _; do packages+=("g++-$triplet"); done <<<"$linux_targets"
[ -n "$skip_i386" ] || packages+=(wine32:i386)
packaging/install-packages.sh "${packages[@]}"
# Every tool the tests call, where they call it.
tools=(cmake ninja g++ clang++ as ld readelf objdump strings ip unshare prlimit setpriv strace python3 git
       lintian mandoc man unzip dpkg-deb rpm rpmbuild rpmlint sha256sum x86_64-w64-mingw32-objdump
       apt-ftparchive createrepo_c gpg gpgv osslsigncode openssl rpmsign rpmkeys ansible-playbook ansible-galaxy ansible-lint ssh ssh-keygen
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

# One prefix serves both Windows builds; made after the emulator is in place,
# it holds the 32-bit system too.
export WINEDEBUG=-all WINEPREFIX=$root/build/wine
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1

# configuration BUILD DESCRIPTION [CMAKE-OPTION...]: configures and builds
# BUILD and runs its tests. A test that skips, here where every one can run,
# is a failure. The run goes on past a failed configuration, and fails at
# the end.
failed=()
configuration() {
  local build=$1
  stage "$2"
  shift 2
  cmake -S . -B "$build" "$@" >/dev/null && cmake --build "$build" &&
    ctest --test-dir "$build" --output-on-failure | tee "$build/ctest.log" &&
    ! grep -q '(Skipped)' "$build/ctest.log" || failed+=("$build")
}

wine32=/usr/lib/wine/wine
[ -z "$skip_i386" ] || wine32=""
configuration build "native build: unit, namespace, hardening, package, release, fleet and MSI tests" \
  -DLSMAC_WINE32="$wine32"
grep -qE 'Test +#[0-9]+: link_dump ' build/ctest.log || failed+=("build (no unit tests: GoogleTest was not found)")

# As an ordinary user runs them: a clone of their own, the README's build,
# then ctest with a fresh machine's environment. Tests that need root, or the
# release only root makes, skip and say why; none may fail.
stage "the native tests as an ordinary user"
user=lsmac-newcomer
id -u "$user" >/dev/null 2>&1 || useradd -m "$user"
home=$(getent passwd "$user" | cut -d: -f6)
rm -rf "$home/lsmac" && git clone -q "$root" "$home/lsmac" && chown -R "$user:" "$home/lsmac"
if runuser -u "$user" -- env -i HOME="$home" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
     sh -c 'cd ~/lsmac && cmake -S . -B build >/dev/null && cmake --build build >/dev/null && ctest --test-dir build' |
     tee "$home/ctest.log"; then
  grep -h ': skipped, ' "$home/lsmac/build/Testing/Temporary/LastTest.log" || true
  grep -qE 'Test +#[0-9]+: link_dump .* Passed' "$home/ctest.log" || failed+=("ordinary user (no unit test passed)")
else
  failed+=("ordinary user")
fi
configuration build-sanitize "the same under AddressSanitizer and UndefinedBehaviorSanitizer" \
  -DLSMAC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
CXX=clang++ configuration build-fuzz "fuzzing the link dump parser" -DLSMAC_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Every other target, under its emulator. The rows come on a descriptor of
# their own: a test may read standard input.
while read -r target _ _ rpm_arch emulator <&3; do
  if [ "$rpm_arch" = - ]; then
    family=windows runner=/usr/lib/wine/$emulator
  else
    family=linux runner=$emulators/usr/bin/qemu-$emulator-static
  fi
  [ "$target" != win32 ] || [ -z "$skip_i386" ] || runner=""
  configuration "build-$target" "$target, cross-built, its tests emulated" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$family.cmake -DLSMAC_TARGET="$target" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$runner"
done 3< <(tail -n +2 <<<"$targets")
[ -z "$skip_i386" ] || echo "skipped: $skip_i386"

stage ""
echo "== time"
printf '%s\n' "${stages[@]}"
printf '%5d s  in all\n' "$SECONDS"
[ ${#failed[@]} = 0 ] || { echo "tests/run-all.sh: failed: ${failed[*]}" >&2; exit 1; }
