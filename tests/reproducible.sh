#!/usr/bin/env bash
# Builds the release artifacts again from a copy of this tree at another path
# and compares them byte for byte with those of build/, build-i686/ and
# build-x86_64/ (packaged already); each package must also carry its SHA-256.
set -euo pipefail
cd "$(dirname "$0")/.."
copy=$PWD/build/rebuild/lsmac
rm -rf "$copy" && mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$copy"
cp -a .git "$copy/"

version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
artifacts=(build/lsmac build-i686/lsmac.exe build-x86_64/lsmac.exe build/lsmac_${version}-1_amd64.deb
           build-i686/lsmac-$version-win32.zip build-x86_64/lsmac-$version-win64.zip)
for build in build build-i686 build-x86_64; do
  toolchain=() generator=(-G DEB)  # of the native packages, only the .deb is compared
  [ "$build" = build ] ||
    toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/${build#build-}-w64-mingw32.cmake) generator=()
  (cd "$copy" && cmake -S . -B "$build" "${toolchain[@]}" >/dev/null && cmake --build "$build" >/dev/null &&
     cd "$build" && cpack "${generator[@]}" >/dev/null)
done

passed=0 failed=0
for artifact in "${artifacts[@]}"; do
  if cmp -s "$artifact" "$copy/$artifact"; then
    echo "ok - $artifact rebuilds bit for bit"; passed=$((passed + 1))
  else
    echo "not ok - $artifact differs: $(cmp "$artifact" "$copy/$artifact" 2>&1 | head -1)"; failed=$((failed + 1))
  fi
done
for package in build/*.deb build/*.rpm build-*/*.zip; do
  if (cd "$(dirname "$package")" && sha256sum --quiet -c "$(basename "$package").sha256"); then
    passed=$((passed + 1))
  else
    echo "not ok - $package has no matching SHA-256 file"; failed=$((failed + 1))
  fi
done
echo "reproducible: $passed passed, $failed failed"
[ "$failed" = 0 ]
