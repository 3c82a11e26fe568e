#!/bin/sh
# Names the Debian packages, with their versions, that hold COMPILER and the
# libraries it links into a static lsmac: the toolchain a rebuild needs.
#
#   toolchain-packages.sh COMPILER
set -eu
for file in "$(command -v "$1")" $(for library in libc.a libmsvcrt.a libstdc++.a; do
                                     "$1" -print-file-name="$library"; done); do
  [ -e "$file" ] || continue
  dpkg -S "$(readlink -f "$file")" | sed -n '1s/:.*//p'
done | sort -u | xargs -r dpkg-query -W -f='${Package} ${Version}\n' | paste -sd, | sed 's/,/, /g'
