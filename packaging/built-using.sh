#!/bin/sh
# Prints the Built-Using field of a Debian package linked statically by
# COMPILER: the source versions of the C library (glibc, or on Windows
# mingw-w64) and of the GCC runtime it links in. A cross toolchain's libraries
# name theirs in their own Built-Using.
#
#   built-using.sh COMPILER
set -eu
for library in libc.a libmsvcrt.a libstdc++.a; do
  file=$(readlink -f "$("$1" -print-file-name="$library")")
  [ -e "$file" ] || continue
  package=$(dpkg -S "$file" | sed -n '1s/:.*//p')
  case $library in libc.a) source='glibc' ;; libmsvcrt.a) source='mingw-w64' ;; *) source='gcc-[0-9]+' ;; esac
  own=$(dpkg-query -W -f='${Built-Using}' "$package" | tr ',' '\n' | sed 's/^ *//' | grep -E "^$source " || true)
  [ -n "$own" ] || own=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' "$package")
  echo "$own"
done | paste -sd, | sed 's/,/, /g'
