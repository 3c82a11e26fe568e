#!/usr/bin/env bash
# Lets this machine run 32-bit x86 programs, which its kernel cannot: registers
# a user-mode emulator for i386 ELF through binfmt_misc. Root only.
#
# Debian 12's qemu-i386 (7.2) cannot start 32-bit Wine 8 (it ignores
# MAP_FIXED_NOREPLACE, and Wine then fails to map its shared user data), so the
# emulator comes from bookworm-backports' qemu-user, unpacked here, not
# installed: the system's packages and apt sources stay as they are.
set -euo pipefail
dir=$1
# The archive this machine's apt already takes its release from, with only the
# suite changed: a mirror or a proxy configured for apt serves this as well.
. /etc/os-release
archive=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' |
  awk -v suite="$VERSION_CODENAME" '$2 == suite && $3 == "deb" { print $1; exit }')
if [ -z "$archive" ]; then
  echo "emulate-i386.sh: apt has no Debian source for $VERSION_CODENAME, so $VERSION_CODENAME-backports' qemu-user cannot be fetched" >&2
  exit 1
fi
mkdir -p "$dir/sources" "$dir/lists/partial" "$dir/cache/archives/partial"
cat >"$dir/sources/backports.sources" <<SOURCES
Types: deb
URIs: $archive
Suites: $VERSION_CODENAME-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
: >"$dir/sources.list"
apt=(-o Dir::Etc::sourcelist="$dir/sources.list" -o Dir::Etc::sourceparts="$dir/sources"
     -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" -o APT::Sandbox::User=root)
apt-get "${apt[@]}" update -qq
(cd "$dir" && apt-get "${apt[@]}" download -qq "qemu-user/$VERSION_CODENAME-backports")
dpkg-deb --fsys-tarfile "$dir"/qemu-user_*.deb | tar -x -C "$dir" ./usr/bin/qemu-i386

binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ ! -e "$binfmt/qemu-i386" ] || echo -1 >"$binfmt/qemu-i386"
# i386 executables and shared objects; F opens the emulator now, so it serves
# every mount namespace.
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$dir/usr/bin/qemu-i386"':F' \
  >"$binfmt/register"
echo "registered $dir/usr/bin/qemu-i386 for i386 programs"
