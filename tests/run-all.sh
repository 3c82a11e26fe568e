#!/usr/bin/env bash
# Installs what the tests need on Debian 12 (as root), builds every
# configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(cmake ninja-build g++ libgtest-dev iproute2 binutils-mingw-w64-x86-64
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== native build, unit and scenario tests"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure

for arch in i686 x86_64; do
  echo "== $arch Windows build"
  cmake -S . -B "build-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch-w64-mingw32.cmake" >/dev/null
  cmake --build "build-$arch"
  # Standing alone, the executable imports nothing but system DLLs.
  imports=$(x86_64-w64-mingw32-objdump -p "build-$arch/lsmac.exe" | awk '/DLL Name:/ {print tolower($3)}')
  echo "imports: $(echo $imports)"
  if echo "$imports" | grep -vqxE 'kernel32\.dll|msvcrt\.dll|iphlpapi\.dll'; then
    echo "lsmac.exe imports a DLL that is not the system's" >&2
    exit 1
  fi
done

echo "== 64-bit Windows build under Wine"
export WINEDEBUG=-all WINEPREFIX=$root/build-x86_64/wine
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
tests/scenarios.sh --crlf --wine /usr/lib/wine/wine64 build-x86_64/lsmac.exe
