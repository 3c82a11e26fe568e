#!/usr/bin/env bash
# The release as its users and its rebuilders check it. Makes one release
# signed with throwaway keys made here, and one without keys from a clone at
# another path; then runs every check a user makes on the signed one, each
# also against a copy broken on purpose, which it must refuse, and compares the
# two releases as a rebuilder would: what carries no signature is the same
# file, and the signatures taken from the signed one fit the unsigned one.
#
#   release.sh [SIGNED]
#
# SIGNED keeps the signed release (it is made anew there), for later tests.
set -uo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'dpkg -r lsmac >/dev/null 2>&1; rm -rf "$work"' EXIT
version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key 'lsmac release test <release-test@lsmac.invalid>' rsa3072 sign never 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/codesign.key" -out "$work/codesign.crt" -days 7 \
  -subj "/CN=lsmac release test" -addext extendedKeyUsage=codeSigning 2>/dev/null
fingerprint=$(gpg --list-secret-keys --with-colons 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }')
signed=$(realpath -m "${1:-$work/signed}") unsigned=$work/unsigned
rm -rf "$signed"
LSMAC_GPG_KEY=$fingerprint LSMAC_CODESIGN_CERT=$work/codesign.crt LSMAC_CODESIGN_KEY=$work/codesign.key \
  packaging/release.sh "$signed" >"$work/signed.log" 2>&1 || { cat "$work/signed.log"; exit 1; }
git clone -q . "$work/elsewhere/lsmac"
env -u LSMAC_GPG_KEY -u LSMAC_CODESIGN_CERT -u LSMAC_CODESIGN_KEY \
  "$work/elsewhere/lsmac/packaging/release.sh" "$unsigned" >"$work/unsigned.log" 2>&1 || { cat "$work/unsigned.log"; exit 1; }

passed=0 failed=0
# check NAME COMMAND...: the command must succeed.
check() {
  local name=$1
  shift
  if "$@" >"$work/check.log" 2>&1; then
    passed=$((passed + 1))
  else
    echo "not ok - $name"; sed 's/^/  /' "$work/check.log" | tail -5; failed=$((failed + 1))
  fi
}
# refused NAME COMMAND...: the command, given something broken, must fail.
fails() { ! "$@"; }
refused() { check "$1 is refused" fails "${@:2}"; }
# broken FILE: a copy of FILE with one byte in its middle changed.
broken() {
  local copy=$work/broken/${1#"$work"/}
  mkdir -p "$(dirname "$copy")" && cp "$1" "$copy"
  local offset=$(($(stat -c %s "$copy") / 2))
  printf "\\x$(printf %02x $((($(od -An -tu1 -j "$offset" -N 1 "$copy") + 1) % 256)))" |
    dd of="$copy" bs=1 seek="$offset" conv=notrunc status=none
  echo "$copy"
}

# A key that cannot sign stops the release.
openssl genrsa -out "$work/other.key" 2048 2>/dev/null
# stops_with MESSAGE COMMAND...: the command fails and says MESSAGE.
stops_with() { fails "${@:2}" >"$work/stop.log" 2>&1 && grep -q "$1" "$work/stop.log"; }
check "a release with an OpenPGP key that cannot sign stops" stops_with "cannot sign with LSMAC_GPG_KEY=nosuchkey" \
  env LSMAC_GPG_KEY=nosuchkey packaging/release.sh "$work/bad"
check "a release with a certificate and another key stops" stops_with "cannot sign lsmac.exe: LSMAC_CODESIGN_KEY" \
  env LSMAC_CODESIGN_CERT="$work/codesign.crt" LSMAC_CODESIGN_KEY="$work/other.key" packaging/release.sh "$work/bad"

# What the release holds, signed and not.
expected_files() {
  echo "lsmac-$version.tar.gz SHA256SUMS apt/dists/stable/Release rpm/repodata/repomd.xml rpm/lsmac.repo"
  echo lsmac-"$version"-win{32,64}.zip
  while read -r _ _ deb_arch rpm_arch; do
    echo "lsmac_$version-1_$deb_arch.deb lsmac-$version-1.$rpm_arch.rpm rpm/lsmac-$version-1.$rpm_arch.rpm"
    echo "apt/pool/main/l/lsmac/lsmac_$version-1_$deb_arch.deb apt/dists/stable/main/binary-$deb_arch/Packages.gz"
  done < <(echo "- - amd64 x86_64"; grep -v '^#' packaging/architectures)
}
holds() {
  local file
  for file in $(expected_files) "${@:2}"; do [ -s "$1/$file" ] || { echo "$1 lacks $file"; return 1; }; done
}
signatures=(SHA256SUMS.asc apt/dists/stable/InRelease apt/dists/stable/Release.gpg rpm/repodata/repomd.xml.asc
            lsmac-archive-keyring.gpg lsmac-archive-keyring.asc)
check "the signed release holds every artifact and signature" holds "$signed" "${signatures[@]}"
check "the unsigned release holds every artifact" holds "$unsigned"
check "the unsigned release says what it left unsigned" grep -qxF \
  "packaging/release.sh: unsigned: SHA256SUMS, the .rpm packages and the APT and RPM repositories (no LSMAC_GPG_KEY); lsmac.exe (no LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY)" \
  "$work/unsigned.log"
source_only() { tar -tzf "$1" >"$work/tarball" && grep -qx "lsmac-$version/CMakeLists.txt" "$work/tarball" &&
  ! grep -q '/\.git/' "$work/tarball"; }
check "the tarball holds the source and no .git" source_only "$signed/lsmac-$version.tar.gz"
builds_and_runs() {
  tar -xzf "$1" -C "$work" && cd "$work/lsmac-$version" &&
    (unset SOURCE_DATE_EPOCH; cmake -S . -B build && cmake --build build && build/lsmac)
}
check "the tarball builds and runs with the README's command" eval "(builds_and_runs '$signed/lsmac-$version.tar.gz')"

# A download: its checksum, signed.
keyring=$signed/lsmac-archive-keyring.gpg
check "sha256sum -c SHA256SUMS" eval "(cd '$signed' && sha256sum --quiet -c SHA256SUMS)"
cp "$(broken "$signed/lsmac_${version}-1_amd64.deb")" "$work/broken/SHA256SUMS-check.deb"
refused "a changed package against SHA256SUMS" eval \
  "(cd '$work/broken' && sed -n 's/ lsmac_${version}-1_amd64.deb\$/ SHA256SUMS-check.deb/p' '$signed/SHA256SUMS' | sha256sum --quiet -c)"
check "gpg --verify SHA256SUMS.asc" gpgv --keyring "$keyring" "$signed/SHA256SUMS.asc" "$signed/SHA256SUMS"
refused "a changed SHA256SUMS against its signature" gpgv --keyring "$keyring" "$signed/SHA256SUMS.asc" \
  "$(broken "$signed/SHA256SUMS")"

# The APT repository through apt, on a state of its own: installs lsmac, and
# refuses a package that is not the one the signed index names.
apt_on() {
  local state=$work/apt-state/$1
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  echo "deb [signed-by=$keyring] file:$1 stable main" >"$state/sources.list"
  local options=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
                 -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache" -o APT::Sandbox::User=root)
  apt-get "${options[@]}" update -qq && DEBIAN_FRONTEND=noninteractive apt-get "${options[@]}" install -y -qq lsmac
}
installs_from_apt() { dpkg -r lsmac >/dev/null 2>&1; apt_on "$signed/apt" && lsmac >/dev/null && dpkg -r lsmac; }
check "apt installs lsmac from the signed APT repository" installs_from_apt
tampered=$work/tampered-apt
cp -a "$signed/apt" "$tampered"
mv "$(broken "$tampered/pool/main/l/lsmac/lsmac_${version}-1_amd64.deb")" "$tampered/pool/main/l/lsmac/"
refused "apt given a changed package in the pool" apt_on "$tampered"
cp -a "$signed/apt" "$work/unsigned-apt"
rm "$work/unsigned-apt/dists/stable/InRelease" "$work/unsigned-apt/dists/stable/Release.gpg"
refused "apt given the repository without its signatures" apt_on "$work/unsigned-apt"

# The RPM repository and its packages.
rpmdb=$work/rpmdb
mkdir -p "$rpmdb"
rpms=("$signed"/rpm/*.rpm)
refused "rpmkeys --checksig without the release key" rpmkeys --dbpath "$rpmdb" --checksig "${rpms[@]}"
check "rpmkeys --import the release key" rpmkeys --dbpath "$rpmdb" --import "$signed/lsmac-archive-keyring.asc"
# Each package's signatures checked, not only its digests.
checksig() {
  rpmkeys --dbpath "$rpmdb" --checksig "$@" >"$work/checksig" && ! grep -v ': digests signatures OK$' "$work/checksig"
}
check "rpmkeys --checksig with the release key" checksig "${rpms[@]}"
refused "rpmkeys --checksig on a changed package" rpmkeys --dbpath "$rpmdb" --checksig "$(broken "${rpms[0]}")"
repomd=$signed/rpm/repodata/repomd.xml
check "the RPM repository's metadata signature" gpgv --keyring "$keyring" "$repomd.asc" "$repomd"
refused "changed RPM repository metadata" gpgv --keyring "$keyring" "$repomd.asc" "$(broken "$repomd")"
check "lsmac.repo names the repository and its key" grep -qx 'gpgkey=file:///srv/lsmac/lsmac-archive-keyring.asc' \
  "$signed/rpm/lsmac.repo"

# The Windows executables: signed, and the signature fits the unsigned build.
# unpacked RELEASE ZIP: the folder the .zip of RELEASE unpacks into.
unpacked() {
  local folder=$work/unzipped/$(basename "$1")/$2
  [ -d "$folder" ] || { mkdir -p "$folder" && unzip -q "$1/lsmac-$version-$2.zip" -d "$folder"; }
  echo "$folder/lsmac-$version-$2"
}
for bits in win32 win64; do
  exe=$(unpacked "$signed" "$bits")/lsmac.exe rebuilt=$(unpacked "$unsigned" "$bits")/lsmac.exe
  check "osslsigncode verify $bits lsmac.exe" osslsigncode verify -CAfile "$work/codesign.crt" -in "$exe"
  refused "osslsigncode verify on a changed $bits lsmac.exe" \
    osslsigncode verify -CAfile "$work/codesign.crt" -in "$(broken "$exe")"
  osslsigncode extract-signature -in "$exe" -out "$work/$bits.p7" >/dev/null
  reattached=$work/$bits-reattached.exe
  check "the $bits signature attached to the rebuilt lsmac.exe gives the released one" eval \
    "osslsigncode attach-signature -sigin '$work/$bits.p7' -CAfile '$work/codesign.crt' -in '$rebuilt' -out '$reattached' &&
     cmp '$reattached' '$exe'"
  for file in NOTICES LICENSE README.md; do
    check "$bits $file rebuilt" cmp "$(dirname "$exe")/$file" "$(dirname "$rebuilt")/$file"
  done
done

# Bit for bit: every file that carries no signature is the same in both.
same_files() {
  local file
  for file in lsmac-"$version".tar.gz *.deb apt/pool/main/l/lsmac/*.deb apt/dists/stable/Release \
      apt/dists/stable/main/*/Packages*; do
    cmp "$signed/$file" "$unsigned/$file" || return 1
  done
}
check "the tarball, every .deb and the APT index rebuild bit for bit" eval "(cd '$signed' && same_files)"
# An .rpm's signature lies before its header and payload, which rpmsign leaves
# as they were.
signed_part() {
  local count size
  read -r count size < <(od -An -tu4 --endian=big -j 104 -N 8 "$1")
  tail -c +$(((96 + 16 + 16 * count + size + 7) / 8 * 8 + 1)) "$1"
}
for rpm in "$unsigned"/*.rpm; do
  check "$(basename "$rpm") rebuilds bit for bit but its signature" \
    cmp <(signed_part "$signed/$(basename "$rpm")") <(signed_part "$rpm")
done

echo "release: $passed passed, $failed failed"
[ "$failed" = 0 ]
