#!/usr/bin/env bash
# Installs with apt-get those of the Debian packages named that are missing
# (as root). Packages of another architecture (wine32:i386) add it to dpkg.
# Wine comes without the wrapper package it recommends: lsmac's scripts call
# its loaders and its server in /usr/lib/wine, where Debian puts them.
#
#   install-packages.sh PACKAGE...
set -euo pipefail
missing=() wine=() others=()
for package; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing ${missing[*]}"
for package in "${missing[@]}"; do
  case "$package" in *:*) dpkg --print-foreign-architectures | grep -qx "${package#*:}" ||
                            dpkg --add-architecture "${package#*:}" ;; esac
  case "$package" in wine*) wine+=("$package") ;; *) others+=("$package") ;; esac
done
# A mirror in the middle of a sync serves indexes that do not match their
# Release for a while (a sync takes minutes): try again before giving up.
# apt never trades the Release it holds for an older one, so once a mirror goes
# back to an older (still signed) state, the indexes the held Release names are
# gone for good; the second try starts from what the mirror serves, its
# signature checked as on a fresh machine.
tries=10
for ((try = 1; ; try++)); do
  apt-get update -qq && break
  [ "$try" -lt "$tries" ] || { echo "install-packages.sh: apt-get update failed $tries times" >&2; exit 1; }
  if [ "$try" = 1 ]; then
    lists="" && eval "$(apt-config shell lists Dir::State::lists/d)"
    rm -f "${lists:?}"*_*
  else
    sleep 60
  fi
done
install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null; }
[ ${#others[@]} = 0 ] || install "${others[@]}"
[ ${#wine[@]} = 0 ] || install --no-install-recommends "${wine[@]}"
