#!/usr/bin/env bash
# Makes the release of the checked-out commit in OUTDIR: the source tarball,
# the packages of every target built from that tarball, the fleet report's
# Ansible collection, a bill of materials beside each, SHA256SUMS, the
# provenance of every file it names, APT and RPM repositories, and winget
# and Scoop manifests; signed with the keys the environment names. Every
# file rebuilds bit for bit from the commit (its time is SOURCE_DATE_EPOCH's
# unless that is set; the provenance only with an Ed25519 key). As root on
# Debian 12 (amd64): it installs what it needs.
#
#   packaging/release.sh OUTDIR
#
# LSMAC_GPG_KEY         the full fingerprint of the OpenPGP key in GNUPGHOME
#                       that signs SHA256SUMS, the .rpm packages and both
#                       repositories
# LSMAC_APT_VALID_DAYS  how long the signed APT repository is valid unless
#                       packaging/refresh.sh signs it again (default 30)
# LSMAC_CODESIGN_CERT   a PEM certificate and its key, a PEM file or a pkcs11:
# LSMAC_CODESIGN_KEY    URI, that Authenticode-sign both lsmac.exe and both
#                       MSIs (packaging/windows/codesign.sh)
# LSMAC_PKCS11_MODULE   the PKCS#11 module and the PIN of a key in a token
# LSMAC_PKCS11_PIN
# LSMAC_PROVENANCE_KEY  the key that signs lsmac-VERSION.intoto.jsonl: an
#                       Ed25519 or ECDSA P-256 PEM file, or an ECDSA P-256
#                       pkcs11: URI; its public half is lsmac-provenance.pem
# LSMAC_TIMESTAMP_URL   RFC 3161 time-stamp authorities for those signatures
# LSMAC_RELEASE_URL     where the release will be served, for rpm/lsmac.repo
#                       and the manifests (default file:///srv/lsmac; winget
#                       takes only http and https)
# LSMAC_CONTACT         the publisher, as "Name <address>", at an address
#                       that receives reports (SECURITY.md): the packages'
#                       maintainer; a signed release needs it
set -euo pipefail
shopt -s nullglob
# What the packages record of the machine that builds them: modes and times.
umask 022
export LC_ALL=C TZ=UTC
cd "$(dirname "$0")/.."
die() { echo "packaging/release.sh: $*" >&2; exit 1; }
[ $# = 1 ] || { echo "usage: packaging/release.sh OUTDIR" >&2; exit 2; }
[ "$(id -u)" = 0 ] || die "it installs what it needs with apt-get, and needs root"
out=$(realpath -m "$1")
[ ! -e "$out" ] || [ -z "$(ls -A "$out")" ] || die "$out is not empty"
gpg_key=${LSMAC_GPG_KEY:-} cert=${LSMAC_CODESIGN_CERT:-} key=${LSMAC_CODESIGN_KEY:-}
provenance_key=${LSMAC_PROVENANCE_KEY:-}
contact=${LSMAC_CONTACT:-}
[ -z "$gpg_key" ] || [ -n "$contact" ] ||
  die "a signed release is published: LSMAC_CONTACT names its publisher, as \"Name <address>\", where reports reach them"
if [ -n "$cert$key" ] && { [ -z "$cert" ] || [ -z "$key" ]; }; then
  die "LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY go together"
fi
for variable in LSMAC_CODESIGN_KEY LSMAC_PROVENANCE_KEY; do
  case ${!variable:-} in
    pkcs11:*) [ -n "${LSMAC_PKCS11_MODULE:-}" ] || die "$variable=${!variable} is in a token: LSMAC_PKCS11_MODULE names its module" ;;
  esac
done
url=${LSMAC_RELEASE_URL:-file:///srv/lsmac}
targets=$(grep -v '^#' packaging/targets)

packages=(cmake ninja-build g++ git dpkg-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 rpm apt-utils
          createrepo-c gpg osslsigncode openssl libengine-pkcs11-openssl wixl msitools uuid-runtime python3 cpio
          ansible-core)
# Each Linux target's cross compiler: the targets after the first with an
# RPM architecture.
while read -r _ triplet _; do packages+=("g++-$triplet"); done < <(awk 'NR > 1 && $4 != "-"' <<<"$targets")
[ "$(dpkg --print-architecture)" = amd64 ] || die "this machine's own build is the amd64 package: run it on amd64"
packaging/install-packages.sh "${packages[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. packaging/apt-release.sh
# public_key KEY: the public half of a PEM key, or of a key in a token, which
# stays there.
public_key() {
  case $1 in
    pkcs11:*)
      (umask 077 && printf 'openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n[pkcs11]\nMODULE_PATH = %s\nPIN = %s\n' \
        "$LSMAC_PKCS11_MODULE" "${LSMAC_PKCS11_PIN:-}" >"$work/engine.cnf")
      OPENSSL_CONF=$work/engine.cnf openssl pkey -engine pkcs11 -inform ENGINE -in "$1" -pubout ;;
    *) openssl pkey -pubout -in "$1" ;;
  esac
}
if [ -n "$cert" ]; then
  certified=$(openssl x509 -noout -pubkey -in "$cert" 2>"$work/openssl.log") ||
    die "cannot read the certificate LSMAC_CODESIGN_CERT=$cert: $(head -1 "$work/openssl.log")"
  [ "$(public_key "$key" 2>"$work/openssl.log")" = "$certified" ] ||
    die "cannot sign lsmac.exe: LSMAC_CODESIGN_KEY=$key is not the key of LSMAC_CODESIGN_CERT=$cert$(
      grep -v '^Engine ' "$work/openssl.log" | sed -n '1s/^/: /p')"
  [ -n "${LSMAC_TIMESTAMP_URL:-}" ] || echo "packaging/release.sh: no LSMAC_TIMESTAMP_URL: the Authenticode" \
    "signatures carry no timestamp, and stop verifying when LSMAC_CODESIGN_CERT expires" >&2
fi
[ -z "$gpg_key" ] || check_release_key
if [ -n "$provenance_key" ]; then
  public_key "$provenance_key" >"$work/provenance.pem" 2>"$work/openssl.log" ||
    die "cannot read LSMAC_PROVENANCE_KEY=$provenance_key: $(grep -v '^Engine ' "$work/openssl.log" | head -1)"
  # The pkcs11 engine signs with ECDSA, not Ed25519.
  kind=$(packaging/provenance.py --key-type "$work/provenance.pem" 2>/dev/null) &&
    { [ "$kind" = ecdsa-p256 ] || [[ $provenance_key != pkcs11:* ]]; } || die "LSMAC_PROVENANCE_KEY=$provenance_key is not a key it signs with: an Ed25519 or ECDSA P-256 PEM file, or an ECDSA P-256 key in a token"
fi

[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  echo "packaging/release.sh: the work tree has changes that are not committed; the release is of $(git rev-parse --short HEAD)" >&2
: "${SOURCE_DATE_EPOCH:=$(git log -1 --format=%ct)}"
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p "$out"
tarball=lsmac-$version.tar.gz
git -c tar.umask=0022 archive --format=tar --prefix="lsmac-$version/" HEAD | gzip -9n >"$out/$tarball"
tar -xzf "$out/$tarball" -C "$work"
source=$work/lsmac-$version

# build TARGET [TOOLCHAIN]: builds and packages one target from the tarball,
# cross-built with TOOLCHAIN (linux, windows) if given.
build() {
  local dir=$work/build-$1 options=()
  [ -z "${2:-}" ] || options=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchains/$2.cmake" -DLSMAC_TARGET="$1")
  [ -z "$contact" ] || options+=(-DLSMAC_CONTACT="$contact")
  if ! { cmake -S "$source" -B "$dir" -G Ninja -DBUILD_TESTING=OFF "${options[@]}" &&
         cmake --build "$dir" && (cd "$dir" && cpack); } >"$work/$1.log" 2>&1; then
    tail -20 "$work/$1.log" >&2
    die "cannot build and package $1"
  fi
  local made=("$dir"/*.deb "$dir"/*.rpm "$dir"/*.zip "$dir"/*.msi)
  [ ${#made[@]} = 2 ] || die "$1 made ${#made[@]} packages, not 2"
  mv "${made[@]}" "$out/"
  # What each package's executable carries, for its bill of materials.
  local file
  for file in "${made[@]}"; do printf '%s\t%s\n' "${file##*/}" "$(cat "$dir/built-using")"; done >>"$work/built-using"
  # And what built them, for the provenance.
  local tools="cmake ninja-build dpkg-dev rpm"
  [ "${2:-}" != windows ] || tools="cmake ninja-build wixl msitools${cert:+ osslsigncode}"
  local toolchain=$(tr ',' '\n' <"$dir/toolchain-packages" | awk '{ print $1 }' | paste -sd' ')
  [ -n "$toolchain" ] || die "$1's compiler is in no Debian package"
  printf '%s\t%s\t%s\t%s\n' "$1" "$(printf '%s ' "${made[@]##*/}")" "$(cat "$dir/built-using")" \
    "$toolchain $tools" >>"$work/builds"
}
build amd64
while read -r target _ _ rpm_arch _; do
  if [ "$rpm_arch" = - ]; then build "$target" windows; else build "$target" linux; fi
done < <(tail -n +2 <<<"$targets")

# The fleet report as an Ansible collection of this release's version, its
# source named at the release's address, repacked with the commit's time so
# that it rebuilds bit for bit: MANIFEST.json and FILES.json first, as
# ansible-galaxy writes them.
collection=lsmac-fleet-$version.tar.gz
cp -rL "$source/contrib/ansible" "$work/collection-source"
sed -i "s|^version: .*|version: $version|; s|^repository: .*|repository: $url|" "$work/collection-source/galaxy.yml"
mkdir -p "$work/collection/files"
LC_ALL=C.UTF-8 ansible-galaxy collection build "$work/collection-source" --output-path "$work/collection" >"$work/collection.log" 2>&1 ||
  { cat "$work/collection.log" >&2; die "cannot build the Ansible collection"; }
tar -xzf "$work/collection/$collection" -C "$work/collection/files"
(cd "$work/collection/files" && tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" -cf - \
  MANIFEST.json FILES.json $(ls -A | grep -vxE 'MANIFEST.json|FILES.json' | LC_ALL=C sort)) | gzip -9n >"$out/$collection"

unsigned=""
if [ -n "$gpg_key" ]; then
  rpmsign --addsign --define "_gpg_name $gpg_key" --define "__gpg /usr/bin/gpg" "$out"/*.rpm >"$work/rpmsign.log" 2>&1 ||
    { cat "$work/rpmsign.log" >&2; die "cannot sign the .rpm packages"; }
else
  unsigned="SHA256SUMS, the .rpm packages and the APT and RPM repositories (no LSMAC_GPG_KEY)"
fi
[ -n "$cert" ] || unsigned+="${unsigned:+; }lsmac.exe and the MSIs (no LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY)"
[ -n "$provenance_key" ] || unsigned+="${unsigned:+; }the provenance, not made (no LSMAC_PROVENANCE_KEY)"
# sign FILE SIGNATURE: a detached, armored signature, when there is a key.
sign() { [ -z "$gpg_key" ] || gpg --batch --yes --local-user "$gpg_key" --armor --detach-sign -o "$2" "$1"; }

packaging/windows/manifests.py "$out" "$url" "$version"
commit=$(git rev-parse HEAD)
packaging/sbom.py "$version" "$commit" "$out/$tarball"
packaging/sbom.py "$version" "$commit" "$out/$collection"
while IFS=$'\t' read -r file built_using; do
  packaging/sbom.py "$version" "$commit" "$out/$file" "$built_using"
done <"$work/built-using"
[ -z "$provenance_key" ] || cp "$work/provenance.pem" "$out/lsmac-provenance.pem"
(cd "$out" && sha256sum "$tarball" "$collection" *.deb *.rpm *.zip *.msi *.cdx.json winget/* scoop/* \
  ${provenance_key:+lsmac-provenance.pem} >SHA256SUMS)
sign "$out/SHA256SUMS" "$out/SHA256SUMS.asc"
if [ -n "$provenance_key" ]; then
  # The release variables that change what it makes.
  parameters=$(python3 -c 'import json, sys; print(json.dumps(dict(zip(sys.argv[1::2], sys.argv[2::2]))))' \
    version "$version" sourceDateEpoch "$SOURCE_DATE_EPOCH" releaseUrl "$url" contact "$contact" gpgKey "$gpg_key" \
    codesignCertificate "$([ -z "$cert" ] || openssl x509 -noout -fingerprint -sha256 -in "$cert" | sed 's/.*=//')")
  engine=()
  [[ $provenance_key != pkcs11:* ]] || engine=(env OPENSSL_CONF="$work/engine.cnf")
  "${engine[@]}" packaging/provenance.py "$out" "$version" "$commit" "$work/builds" "$parameters" \
    "$provenance_key" "$out/lsmac-provenance.pem" || die "cannot sign the provenance with LSMAC_PROVENANCE_KEY=$provenance_key"
fi

# The APT repository: deb [signed-by=KEYRING] URL/apt stable main
apt=$out/apt release=$out/apt/dists/stable
mkdir -p "$apt/pool/main/l/lsmac"
cp "$out"/*.deb "$apt/pool/main/l/lsmac/"
for arch in $(cd "$out" && ls *.deb | sed 's/.*_\(.*\)\.deb$/\1/'); do
  mkdir -p "$release/main/binary-$arch"
  (cd "$apt" && apt-ftparchive --arch "$arch" packages pool) >"$release/main/binary-$arch/Packages"
  gzip -9n <"$release/main/binary-$arch/Packages" >"$release/main/binary-$arch/Packages.gz"
done
write_apt_release "$release" "$version"

# The RPM repository, and the file that adds it to dnf, yum or zypper.
mkdir -p "$out/rpm"
cp "$out"/*.rpm "$out/rpm/"
touch -d "@$SOURCE_DATE_EPOCH" "$out"/rpm/*.rpm
createrepo_c --quiet --no-database --revision "$SOURCE_DATE_EPOCH" --set-timestamp-to-revision "$out/rpm"
sign "$out/rpm/repodata/repomd.xml" "$out/rpm/repodata/repomd.xml.asc"
{
  printf '[lsmac]\nname=lsmac\nbaseurl=%s/rpm\nenabled=1\n' "$url"
  if [ -n "$gpg_key" ]; then
    # zypper checks a package's own signature only when asked (pkg_gpgcheck).
    printf 'gpgcheck=1\nrepo_gpgcheck=1\npkg_gpgcheck=1\ngpgkey=%s/lsmac-archive-keyring.asc\n' "$url"
  else
    printf 'gpgcheck=0\n'
  fi
} >"$out/rpm/lsmac.repo"

if [ -n "$gpg_key" ]; then
  # That key alone, whatever else GNUPGHOME holds.
  gpg --batch --export --export-options export-minimal "$gpg_key" >"$out/lsmac-archive-keyring.gpg"
  gpg --batch --armor --export --export-options export-minimal "$gpg_key" >"$out/lsmac-archive-keyring.asc"
fi
[ -z "$unsigned" ] || echo "packaging/release.sh: unsigned: $unsigned"
echo "packaging/release.sh: lsmac $version in $out: $(find "$out" -type f | wc -l) files, $(du -sk "$out" | cut -f1) KiB"
