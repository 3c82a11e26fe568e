#!/usr/bin/env bash
# Installs what the tests need on Debian 12 (as root), builds every
# configuration and runs every test.
#
# The 32-bit Windows scenarios need a machine that runs 32-bit programs. Where
# this one cannot, they run in CI (CI=true) or with LSMAC_EMULATE_I386=1, which
# registers a user-mode emulator through binfmt_misc; otherwise they are
# skipped, and the run says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkdir -p build

runs_i386() {
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' |
    as --32 -o build/probe-i386.o - && ld -m elf_i386 -o build/probe-i386 build/probe-i386.o &&
    build/probe-i386 2>/dev/null
}

skip_i386=""
if ! runs_i386; then
  if [ "${CI:-}" = true ] || [ "${LSMAC_EMULATE_I386:-}" = 1 ]; then
    echo "== registering an emulator for 32-bit programs"
    tests/emulate-i386.sh "$root/build/emulator"
    runs_i386 || { echo "32-bit programs still do not run" >&2; exit 1; }
  else
    skip_i386="this machine cannot run 32-bit programs; LSMAC_EMULATE_I386=1 registers an emulator for them (binfmt_misc)"
  fi
fi

packages=(cmake ninja-build g++ libgtest-dev iproute2 strace python3 clang libclang-rt-14-dev
          binutils-mingw-w64-x86-64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
          lintian mandoc man-db unzip)
[ -n "$skip_i386" ] || packages+=(wine32:i386)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  [ -n "$skip_i386" ] || dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== native build: unit, scenario, fault, churn and hardening tests"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure
summaries() { grep -hE '^(scenarios|faults|least privilege|churn|hardening):' "$1/Testing/Temporary/LastTest.log"; }
summaries build

echo "== the same under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -G Ninja -DLSMAC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-sanitize
ctest --test-dir build-sanitize --output-on-failure
summaries build-sanitize

echo "== fuzzing the link dump parser"
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DLSMAC_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz_link_dump
tests/fuzz.sh build-fuzz/tests/fuzz_link_dump 60

for arch in i686 x86_64; do
  echo "== $arch Windows build"
  cmake -S . -B "build-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch-w64-mingw32.cmake" >/dev/null
  cmake --build "build-$arch"
  # Standing alone, the executable imports nothing but system DLLs.
  imports=$(x86_64-w64-mingw32-objdump -p "build-$arch/lsmac.exe" | awk '/DLL Name:/ {print tolower($3)}')
  echo "imports: $(echo $imports)"
  if echo "$imports" | grep -vqxE 'kernel32\.dll|msvcrt\.dll|iphlpapi\.dll|advapi32\.dll'; then
    echo "lsmac.exe imports a DLL that is not the system's" >&2
    exit 1
  fi
done

echo "== packages"
tests/packages.sh

# One prefix serves both builds; made after the emulator is in place, it holds
# the 32-bit system too.
export WINEDEBUG=-all WINEPREFIX=$root/build/wine
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1

echo "== 64-bit Windows build under Wine"
tests/scenarios.sh --crlf --wine /usr/lib/wine/wine64 build-x86_64/lsmac.exe

echo "== 32-bit Windows build under Wine"
if [ -n "$skip_i386" ]; then
  echo "skipped: $skip_i386"
else
  # Twenty-four adapters overflow the listing's sixteen-record buffer.
  SCENARIOS="mixed loopback many" MANY_PAIRS=12 \
    tests/scenarios.sh --crlf --wine /usr/lib/wine/wine build-i686/lsmac.exe
fi
