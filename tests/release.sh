#!/usr/bin/env bash
# The release as its users and its rebuilders check it. Makes one release
# signed with throwaway keys made here (the code-signing key in a SoftHSM2
# token, its signatures timestamped by an authority run here, its
# certificate valid for a day, the provenance's key there too), and two
# without those keys, their provenance signed with one Ed25519 key file, from
# clones at other paths, the second as a rebuilder's machine differs (host
# name, time zone, locale, umask); then runs every check a user makes on the
# signed one, each also against a copy broken on purpose, which it must
# refuse, and compares the releases as a rebuilder would: the two unsigned
# ones are the same files, and the signatures taken from the signed one fit
# them.
#
#   release.sh [SIGNED KEYS [ROOT]]
#
# SIGNED keeps the signed release (it is made anew there), and KEYS the
# GNUPGHOME with its throwaway key, for later tests; ROOT the newcomer's
# Debian root, as a tarball made when missing. LSMAC_RELEASE_URL names
# where the release is to be served (an address of its own if unset).
set -uo pipefail
. "$(dirname "$0")/lib/harness.sh" release
[ "$(id -u)" = 0 ] || skip "the release command installs what it needs, and needs root"
cd "$project"
# gpg, and dnf for the keys it imports, leave agents behind.
on_exit 'dpkg -r lsmac >/dev/null 2>&1; gpgconf --kill gpg-agent; pkill -f "gpg-agent --homedir $work/"
  [ -z "${authority:-}" ] || kill "$authority"'

export GNUPGHOME=$work/gnupg
[ -z "${2:-}" ] || { rm -rf "$2" && GNUPGHOME=$(realpath -m "$2"); }
mkdir -m 700 "$GNUPGHOME"
# The release key, and a second key under the same user ID.
for _ in release twin; do
  gpg --batch --yes --passphrase '' --quick-gen-key 'lsmac release test <release-test@lsmac.invalid>' rsa3072 sign never 2>/dev/null
done
{ read -r fingerprint && read -r twin; } < <(gpg --list-keys --with-colons 2>/dev/null | awk -F: '/^fpr/ { print $10 }')
[ -n "$twin" ] || { echo "release: gpg made one key, not two"; exit 1; }
# A certificate authority, a code-signing certificate of a day from it, its
# key in a token, and a time-stamp authority.
certificate() {
  local name=$1 days=$2
  shift 2
  openssl req -newkey rsa:2048 -nodes -keyout "$work/$name.key" -out "$work/$name.csr" -subj "/CN=lsmac $name" 2>/dev/null &&
    openssl x509 -req -in "$work/$name.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -days "$days" \
      -out "$work/$name.crt" -extfile <(printf '%s\n' "$@") 2>/dev/null
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.crt" -days 3650 -subj "/CN=lsmac test CA" \
  -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign 2>/dev/null
certificate codesign 1 extendedKeyUsage=codeSigning
certificate timestamp 3650 extendedKeyUsage=critical,timeStamping
expired=$(($(date -d "$(openssl x509 -noout -enddate -in "$work/codesign.crt" | cut -d= -f2)" +%s) + 86400))
export SOFTHSM2_CONF=$work/softhsm2.conf LSMAC_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so LSMAC_PKCS11_PIN=2718
mkdir "$work/tokens" && printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label lsmac --pin "$LSMAC_PKCS11_PIN" --so-pin 31415 >/dev/null
openssl genrsa -out "$work/other.key" 2048 2>/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/provenance.key"
openssl genpkey -algorithm ed25519 -out "$work/provenance-ed25519.key"
for key in codesign:01 other:02 provenance:03; do
  openssl pkcs8 -topk8 -nocrypt -in "$work/${key%:*}.key" -out "$work/key.p8" &&
    softhsm2-util --import "$work/key.p8" --token lsmac --label "${key%:*}" --id "${key#*:}" \
      --pin "$LSMAC_PKCS11_PIN" >/dev/null && rm "$work/key.p8"
done
token_key='pkcs11:token=lsmac;object=codesign'
echo 01 >"$work/timestamp.serial"
cat >"$work/timestamp.cnf" <<EOF
[tsa]
default_tsa = authority
[authority]
serial = $work/timestamp.serial
signer_cert = $work/timestamp.crt
certs = $work/ca.crt
signer_key = $work/timestamp.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
EOF
coproc timestamp_authority { exec python3 tests/timestamp_authority.py "$work/timestamp.cnf"; }
authority=$timestamp_authority_PID
read -r port <&"${timestamp_authority[0]}"
signed=$(realpath -m "${1:-$work/signed}") unsigned=$work/unsigned rebuilt=$work/rebuilt
rm -rf "$signed"
# winget takes only http and https addresses.
export LSMAC_RELEASE_URL=${LSMAC_RELEASE_URL:-https://releases.lsmac.invalid/$version}
# The same publisher for every release, so that they rebuild alike.
export LSMAC_CONTACT='lsmac release test <release-test@lsmac.invalid>'
# The first time-stamp authority does not answer; the second does.
LSMAC_GPG_KEY=$fingerprint LSMAC_APT_VALID_DAYS=7 LSMAC_CODESIGN_CERT=$work/codesign.crt LSMAC_CODESIGN_KEY=$token_key \
  LSMAC_TIMESTAMP_URL="http://127.0.0.1:1 http://127.0.0.1:$port" LSMAC_PROVENANCE_KEY='pkcs11:token=lsmac;object=provenance' \
  packaging/release.sh "$signed" >"$work/signed.log" 2>&1 || { cat "$work/signed.log"; exit 1; }
unset LSMAC_GPG_KEY LSMAC_APT_VALID_DAYS LSMAC_CODESIGN_CERT LSMAC_CODESIGN_KEY LSMAC_TIMESTAMP_URL
export LSMAC_PROVENANCE_KEY=$work/provenance-ed25519.key
git clone -q . "$work/elsewhere/lsmac"
"$work/elsewhere/lsmac/packaging/release.sh" "$unsigned" >"$work/unsigned.log" 2>&1 || { cat "$work/unsigned.log"; exit 1; }
git clone -q . "$work/rebuilder/src/lsmac"
unshare -u sh -c 'hostname rebuilder.invalid && umask 0002 && exec "$@"' - \
  env TZ=Etc/GMT-14 LANG=fr_CH.UTF-8 LC_ALL=fr_CH.UTF-8 "$work/rebuilder/src/lsmac/packaging/release.sh" "$rebuilt" \
  >"$work/rebuilt.log" 2>&1 || { cat "$work/rebuilt.log"; exit 1; }

# broken FILE: a copy of FILE with one byte in its middle changed.
broken() {
  local copy=$work/broken/${1#"$work"/}
  mkdir -p "$(dirname "$copy")" && cp "$1" "$copy"
  local offset=$(($(stat -c %s "$copy") / 2))
  printf "\\x$(printf %02x $((($(od -An -tu1 -j "$offset" -N 1 "$copy") + 1) % 256)))" |
    dd of="$copy" bs=1 seek="$offset" conv=notrunc status=none
  echo "$copy"
}

# A key that is not one key, cannot sign or is not the certificate's stops
# the release before it builds anything.
# stops_with MESSAGE COMMAND...: the command fails and says MESSAGE.
stops_with() { fails "${@:2}" >"$work/stop.log" 2>&1 && grep -q "$1" "$work/stop.log"; }
check "a release with an OpenPGP key not in GNUPGHOME stops" stops_with "cannot sign with LSMAC_GPG_KEY=${fingerprint//?/0}" \
  env LSMAC_GPG_KEY="${fingerprint//?/0}" packaging/release.sh "$work/bad"
# The PEM key and certificate are right here: only the shared user ID stops it.
check "a release with a user ID that two keys share stops" \
  stops_with "LSMAC_GPG_KEY must be the release key's full fingerprint, not 'lsmac release test'" \
  env LSMAC_GPG_KEY="lsmac release test" LSMAC_CODESIGN_CERT="$work/codesign.crt" LSMAC_CODESIGN_KEY="$work/codesign.key" \
  packaging/release.sh "$work/bad"
check "a release signed without a time-stamp authority says its signatures expire with the certificate" \
  grep -q "no LSMAC_TIMESTAMP_URL: the Authenticode signatures carry no timestamp, and stop verifying" "$work/stop.log"
check "a signed release that names no publisher stops" stops_with "a signed release is published: LSMAC_CONTACT names" \
  env -u LSMAC_CONTACT LSMAC_GPG_KEY="$fingerprint" packaging/release.sh "$work/bad"
names_publisher() {
  [ "$(dpkg-deb -f "$signed/lsmac_${version}-1_amd64.deb" Maintainer)" = "$LSMAC_CONTACT" ] &&
    [ "$(rpm -qp --qf '%{PACKAGER}' "$signed/lsmac-${version}-1.x86_64.rpm" 2>/dev/null)" = "$LSMAC_CONTACT" ]
}
check "its packages name the publisher as maintainer and packager" names_publisher
check "a release with a provenance key of another type (RSA) stops" stops_with "LSMAC_PROVENANCE_KEY=$work/other.key is not a key it signs with" \
  env LSMAC_PROVENANCE_KEY="$work/other.key" packaging/release.sh "$work/bad"
for key in "$work/other.key" "pkcs11:token=lsmac;object=other"; do
  check "a release with a certificate and another key ($key) stops" stops_with "cannot sign lsmac.exe: LSMAC_CODESIGN_KEY" \
    env LSMAC_CODESIGN_CERT="$work/codesign.crt" LSMAC_CODESIGN_KEY="$key" packaging/release.sh "$work/bad"
done

# What the release holds, signed and not: the artifacts, each with its bill
# of materials, and the repositories.
artifacts() {
  echo "lsmac-$version.tar.gz lsmac-fleet-$version.tar.gz"
  while read -r target _ _ rpm_arch _; do
    if [ "$rpm_arch" = - ]; then
      echo "lsmac-$version-$target.zip lsmac-$version-$target.msi"
    else
      echo "lsmac_$version-1_$target.deb lsmac-$version-1.$rpm_arch.rpm"
    fi
  done < <(grep -v '^#' packaging/targets)
}
manifests="winget/lsmac.lsmac.yaml winget/lsmac.lsmac.installer.yaml winget/lsmac.lsmac.locale.en-US.yaml scoop/lsmac.json"
holds() {
  local file
  for file in $(artifacts) $(artifacts | sed 's/[^ ]*/&.cdx.json/g') $manifests SHA256SUMS apt/dists/stable/Release \
      rpm/repodata/repomd.xml rpm/lsmac.repo "${@:2}"; do
    [ -s "$1/$file" ] || { echo "$1 lacks $file"; return 1; }
  done
  for file in $(artifacts | tr ' ' '\n' | grep -E '\.(deb|rpm)$'); do
    case $file in *.deb) file=apt/pool/main/l/lsmac/$file ;; *) file=rpm/$file ;; esac
    [ -s "$1/$file" ] || { echo "$1 lacks $file"; return 1; }
  done
}
# Every file a user downloads beside SHA256SUMS is named in it.
all_summed() {
  cmp <({ cd "$1" && ls -p | grep -v / | grep -vE '^(SHA256SUMS|lsmac-archive-keyring|.*\.intoto\.jsonl$)'; echo "$manifests" | tr ' ' '\n'; } |
         LC_ALL=C sort) <(sed 's/^[0-9a-f]*  //' "$1/SHA256SUMS" | LC_ALL=C sort)
}
signatures=(SHA256SUMS.asc apt/dists/stable/InRelease apt/dists/stable/Release.gpg rpm/repodata/repomd.xml.asc
            lsmac-archive-keyring.gpg lsmac-archive-keyring.asc)
provenance=lsmac-$version.intoto.jsonl
check "the signed release holds every artifact and signature" holds "$signed" "${signatures[@]}" $provenance lsmac-provenance.pem
check "the unsigned release holds every artifact" holds "$unsigned" $provenance lsmac-provenance.pem
check "SHA256SUMS names every artifact, bill of materials and manifest" all_summed "$signed"
check "the unsigned release says what it left unsigned" grep -qxF \
  "packaging/release.sh: unsigned: SHA256SUMS, the .rpm packages and the APT and RPM repositories (no LSMAC_GPG_KEY); lsmac.exe and the MSIs (no LSMAC_CODESIGN_CERT and LSMAC_CODESIGN_KEY)" \
  "$work/unsigned.log"
source_only() { tar -tzf "$1" >"$work/tarball" && grep -qx "lsmac-$version/CMakeLists.txt" "$work/tarball" &&
  ! grep -q '/\.git/' "$work/tarball"; }
check "the tarball holds the source and no .git" source_only "$signed/lsmac-$version.tar.gz"
builds_and_runs() {
  tar -xzf "$1" -C "$work" && cd "$work/lsmac-$version" &&
    (unset SOURCE_DATE_EPOCH; cmake -S . -B build && cmake --build build && build/lsmac)
}
check "the tarball builds and runs with the README's command" eval "(builds_and_runs '$signed/lsmac-$version.tar.gz')"
# The same on a newcomer's machine: a minimal Debian root with only the
# packages the README names, installed as apt does (recommends too), made
# once and kept as ROOT.
readme_build=$(sed -n '/^## Build and run/,/^## /p' README.md)
newcomer_packages=$(sed -n 's/^- Debian.*`apt-get install \([^`]*\)`.*/\1/p' <<<"$readme_build")
build_command=$(awk '/^```/ { n++; next } n == 1' <<<"$readme_build")
newcomer=$work/newcomer newcomer_root=$(realpath -m "${3:-$work/newcomer-root.tar}")
newcomer_root() {
  [ -n "$newcomer_packages" ] && [ -n "$build_command" ] || { echo "the README names no packages or no command"; return 1; }
  if [ "$(cat "$newcomer_root.packages" 2>/dev/null)" != "$newcomer_packages" ]; then
    mmdebstrap --quiet --variant=minbase --aptopt='APT::Install-Recommends "true"' \
      --include="${newcomer_packages// /,}" bookworm "$work/newcomer-root.tar" &&
      mv "$work/newcomer-root.tar" "$newcomer_root" && echo "$newcomer_packages" >"$newcomer_root.packages" || return 1
  fi
  mkdir "$newcomer" && tar -xf "$newcomer_root" -C "$newcomer" && tar -xzf "$signed/lsmac-$version.tar.gz" -C "$newcomer/root"
}
# newcomer COMMAND: runs COMMAND in the source there, with a fresh machine's
# environment, in a network namespace of two veth links. What it prints goes
# to $newcomer.out, the lines `ip -o link` implies there to $newcomer.implied.
newcomer() {
  unshare -n -m bash -c '. tests/implied-lines.sh && mount -t proc proc "$1/proc" &&
    ip link add name newcomer0 type veth peer name newcomer1 && implied_lines >"$1.implied" &&
    chroot "$1" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      sh -c "cd /root/lsmac-$2 && $3"' - "$newcomer" "$version" "$1" >"$newcomer.out" 2>&1 ||
    { tail -n 20 "$newcomer.out"; return 1; }
}
lists_implied() { newcomer "$1" && cmp "$newcomer.out" "$newcomer.implied"; }
check "a minimal Debian root with only the README's packages: $newcomer_packages" newcomer_root
check "the README's build command there" newcomer "$build_command"
check "it says which packages it leaves out, and why" eval "grep -q 'No .deb: dpkg-shlibdeps is missing' '$newcomer.out' &&
  grep -q 'No .rpm: rpmbuild is missing' '$newcomer.out'"
check "the lsmac it built lists what iproute2 implies" lists_implied build/lsmac
rm -f "$newcomer/usr/lib/x86_64-linux-gnu/libc.a"
check "without the static C library, configuring stops and says so" eval "! newcomer 'cmake -S . -B build-dynamic' &&
  grep -q 'A static lsmac needs the C and C++ static libraries' '$newcomer.out'"
check "with -DLSMAC_STATIC=OFF it builds" newcomer 'cmake -S . -B build-dynamic -DLSMAC_STATIC=OFF && cmake --build build-dynamic'
check "and that lsmac lists what iproute2 implies" lists_implied build-dynamic/lsmac

# The fleet report's collection installs as Ansible users install one, at
# the release's version, and its playbook is there by its name.
collection_installs() {
  ansible-galaxy collection install -p "$work/collections" "$signed/lsmac-fleet-$version.tar.gz" >/dev/null &&
    grep -q "\"version\": \"$version\"" "$work/collections/ansible_collections/lsmac/fleet/MANIFEST.json" &&
    ANSIBLE_COLLECTIONS_PATH=$work/collections ansible-playbook --syntax-check -i localhost, lsmac.fleet.report
}
check "ansible-galaxy installs the collection, and ansible-playbook finds lsmac.fleet.report" collection_installs

# A download: its checksum, signed.
keyring=$signed/lsmac-archive-keyring.gpg
check "sha256sum -c SHA256SUMS" eval "(cd '$signed' && sha256sum --quiet -c SHA256SUMS)"
cp "$(broken "$signed/lsmac_${version}-1_amd64.deb")" "$work/broken/SHA256SUMS-check.deb"
refused "a changed package against SHA256SUMS" eval \
  "(cd '$work/broken' && sed -n 's/ lsmac_${version}-1_amd64.deb\$/ SHA256SUMS-check.deb/p' '$signed/SHA256SUMS' | sha256sum --quiet -c)"
check "gpg --verify SHA256SUMS.asc" gpgv --keyring "$keyring" "$signed/SHA256SUMS.asc" "$signed/SHA256SUMS"
refused "a changed SHA256SUMS against its signature" gpgv --keyring "$keyring" "$signed/SHA256SUMS.asc" \
  "$(broken "$signed/SHA256SUMS")"

# The keyrings hold the release key alone, though GNUPGHOME has its twin.
primary_keys() { gpg --show-keys --with-colons "$1" | awk -F: '/^pub/ { getline; print $10 }'; }
for file in "$keyring" "$signed/lsmac-archive-keyring.asc"; do
  check "${file##*/} holds the release key alone" eval "[ \"\$(primary_keys '$file')\" = $fingerprint ]"
done
# The playbook's check of a key a host fetched (contrib/ansible/playbooks/files/release_key.py):
# the release's keyring is trusted, as it is; nothing else.
# trusted FINGERPRINT KEY: the check puts KEY in place for FINGERPRINT.
trusted() {
  cp "$2" "$work/fetched" && python3 contrib/ansible/playbooks/files/release_key.py "$1" "$work/fetched" "$work/trusted" &&
    cmp "$2" "$work/trusted"
}
check "the playbook trusts the release's keyring" trusted "$fingerprint" "$keyring"
# For rpm, the same key armored by the check itself, never the served text.
trusted_armored() {
  cp "$keyring" "$work/fetched" &&
    python3 contrib/ansible/playbooks/files/release_key.py --armor "$fingerprint" "$work/fetched" "$work/trusted.asc" &&
    gpg --dearmor <"$work/trusted.asc" | cmp - "$keyring" &&
    rpm --dbpath "$work/armored-rpmdb" --import "$work/trusted.asc"
}
check "the playbook trusts the release's keyring, armored as rpm imports it" trusted_armored
gpg --batch --export >"$work/two-keys.gpg"
head -c 200 "$keyring" >"$work/cut-short.gpg"
: >"$work/empty.gpg"
for key in "$twin:$keyring" "$fingerprint:$work/two-keys.gpg" "$fingerprint:$work/cut-short.gpg" \
    "$fingerprint:$work/empty.gpg" "$fingerprint:$signed/lsmac-archive-keyring.asc"; do
  refused "the playbook given ${key#*:} for ${key%%:*}" trusted "${key%%:*}" "${key#*:}"
done
# The release's version, which the playbook reads on the controller from the
# signed InRelease: that key's signature, not expired, or nothing.
# released FINGERPRINT RELEASE: the version it reads there is this one.
released() {
  [ "$(python3 contrib/ansible/playbooks/files/release_key.py --version "$1" "file://$2")" = "$version" ]
}
check "the playbook reads the release's version from its signed InRelease" released "$fingerprint" "$signed"
refused "the playbook reading the version with another key's fingerprint" released "$twin" "$signed"
mkdir -p "$work/forged/apt/dists/stable" && cp "$keyring" "$work/forged/" &&
  sed 's/^Version: .*/Version: 0.1/' "$signed/apt/dists/stable/InRelease" >"$work/forged/apt/dists/stable/InRelease"
refused "the playbook reading the version from a changed InRelease" released "$fingerprint" "$work/forged"
check "the playbook reading the version nine days on stops: InRelease expired" stops_with "InRelease expired on" \
  faketime '+9 days' python3 contrib/ansible/playbooks/files/release_key.py --version "$fingerprint" "file://$signed"

# The APT repository through apt, on a new state of its own, with the date
# checks users have (this machine turns them off): installs lsmac, and
# refuses a package that is not the one the signed index names. With
# `days_on` set, apt runs that many days from now.
apt_on() {
  local state=$work/apt-state/$1 clock=()
  [ -z "${days_on:-}" ] || clock=(faketime "+$days_on days")
  rm -rf "$state" && mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  echo "deb [signed-by=$keyring] file:$1 stable main" >"$state/sources.list"
  local options=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
                 -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache" -o APT::Sandbox::User=root
                 -o Acquire::Check-Date=true -o Acquire::Check-Valid-Until=true)
  "${clock[@]}" apt-get "${options[@]}" update -qq &&
    DEBIAN_FRONTEND=noninteractive "${clock[@]}" apt-get "${options[@]}" install -y -qq lsmac
}
installs_from_apt() { dpkg -r lsmac >/dev/null 2>&1; apt_on "$1" && lsmac >/dev/null && dpkg -r lsmac; }
check "apt installs lsmac from the signed APT repository" installs_from_apt "$signed/apt"
valid_for() {
  local date valid
  date=$(date -d "$(sed -n 's/^Date: //p' "$1")" +%s) valid=$(date -d "$(sed -n 's/^Valid-Until: //p' "$1")" +%s)
  [ $((valid - date)) = $(($2 * 86400)) ]
}
check "the signed Release is valid for LSMAC_APT_VALID_DAYS, 7 days" valid_for "$signed/apt/dists/stable/InRelease" 7
# Past Valid-Until apt refuses the repository, until refresh.sh signs it again.
cp -a "$signed" "$work/refreshed"
days_on=9 refused "apt, nine days on, given the repository" apt_on "$work/refreshed/apt"
check "packaging/refresh.sh, nine days on, signs the repository again" \
  faketime '+9 days' env LSMAC_GPG_KEY="$fingerprint" LSMAC_APT_VALID_DAYS=7 packaging/refresh.sh "$work/refreshed"
days_on=9 check "apt, nine days on, installs lsmac from the refreshed repository" installs_from_apt "$work/refreshed/apt"
check "refresh.sh changed the signed Release alone" eval "[ \"\$(diff -rq '$signed' '$work/refreshed' | sed 's|.*/apt/dists/stable/||; s/ differ\$//' | sort | tr '\n' ' ')\" = 'InRelease Release Release.gpg ' ]"
check "the refreshed release's SHA256SUMS still checks and verifies" eval \
  "(cd '$work/refreshed' && sha256sum --quiet -c SHA256SUMS && gpgv --keyring '$keyring' SHA256SUMS.asc SHA256SUMS)"
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

# The RPM repository through dnf and zypper, each into an empty root: lsmac
# installs and lists; a changed package, metadata without its signature and a
# package nobody signed are refused. The .repo file is the one the README has
# users write, its addresses those of a copy of the repository here.
. tests/implied-lines.sh
readme_repo=$(sed -n "/^cat >\/etc\/yum.repos.d\/lsmac.repo <<'END'\$/,/^END\$/p" README.md | sed '1d;$d')
repository_copy() {
  local copy=$work/rpm-copies/$1
  mkdir -p "$copy" && cp -a "$signed/rpm" "$signed/lsmac-archive-keyring.asc" "$copy/"
  sed "s|URL/|file://$copy/|; s|=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-lsmac\$|=file://$copy/lsmac-archive-keyring.asc|" \
    <<<"$readme_repo" >"$copy/lsmac.repo"
  echo "$copy"
}
# dnf_from COPY / zypper_from COPY: installs lsmac into an empty root from
# COPY's RPM repository, and lists.
dnf_from() {
  local root=$work/roots/dnf-${1##*/}
  mkdir -p "$root/repos" && cp "$1/lsmac.repo" "$root/repos/" &&
    dnf -q -y --installroot="$root" --setopt=reposdir="$root/repos" --releasever=1 install lsmac &&
    "$root/usr/bin/lsmac" | cmp - <(implied_lines)
}
zypper_from() {
  local root=$work/roots/zypper-${1##*/}
  zypper -q -n --root "$root" addrepo "$1/lsmac.repo" &&
    zypper -q -n --root "$root" --gpg-auto-import-keys install lsmac && "$root/usr/bin/lsmac" | cmp - <(implied_lines)
}
asks_for_signatures() {
  grep -qx gpgcheck=1 "$1" && grep -qx repo_gpgcheck=1 "$1" && grep -qx pkg_gpgcheck=1 "$1" && grep -qx "gpgkey=$2" "$1"
}
echo "$readme_repo" >"$work/readme.repo"
check "the README's .repo file asks for the signatures of the packages and the metadata" \
  asks_for_signatures "$work/readme.repo" file:///etc/pki/rpm-gpg/RPM-GPG-KEY-lsmac
check "the release's lsmac.repo asks for them too" \
  asks_for_signatures "$signed/rpm/lsmac.repo" "$LSMAC_RELEASE_URL/lsmac-archive-keyring.asc"
good=$(repository_copy good) changed=$(repository_copy changed) bare=$(repository_copy bare) nobodys=$(repository_copy nobodys)
mv "$(broken "$changed/rpm/lsmac-$version-1.x86_64.rpm")" "$changed/rpm/"
rm "$bare/rpm/repodata/repomd.xml.asc"
cp "$unsigned/rpm/lsmac-$version-1.x86_64.rpm" "$nobodys/rpm/"
createrepo_c --quiet --update "$nobodys/rpm" &&
  gpg --batch --yes --armor --detach-sign -o "$nobodys/rpm/repodata/repomd.xml.asc" "$nobodys/rpm/repodata/repomd.xml"
for client in dnf zypper; do
  check "$client installs lsmac from the signed RPM repository, and it lists" "${client}_from" "$good"
  refused "$client given a changed package" "${client}_from" "$changed"
  refused "$client given the metadata without its signature" "${client}_from" "$bare"
  refused "$client given a package nobody signed" "${client}_from" "$nobodys"
done

# The Windows executables: signed, and the signature fits the unsigned build.
# unpacked RELEASE ZIP: the folder the .zip of RELEASE unpacks into.
unpacked() {
  local folder=$work/unzipped/$(basename "$1")/$2
  [ -d "$folder" ] || { mkdir -p "$folder" && unzip -q "$1/lsmac-$version-$2.zip" -d "$folder"; }
  echo "$folder/lsmac-$version-$2"
}
# signature_fits SIGNED UNSIGNED: the signature taken from SIGNED and attached
# to UNSIGNED gives SIGNED.
signature_fits() {
  local p7=$2.p7 reattached=$2.signed
  rm -f "$p7" "$reattached"
  osslsigncode extract-signature -in "$1" -out "$p7" >/dev/null &&
    osslsigncode attach-signature -sigin "$p7" -CAfile "$work/ca.crt" -in "$2" -out "$reattached" >/dev/null &&
    cmp "$reattached" "$1"
}
# msi_rebuilt BITS ARCH: the MSI a rebuilder makes from the unsigned release's
# files, with lsmac.exe signed by the signature taken from the released one,
# as msi.sh made the signed one.
msi_rebuilt() {
  local staged=$work/msi-rebuild/$1
  local files=$(unpacked "$unsigned" "$1")
  mkdir -p "$staged" && cp "$files"/{README.md,LICENSE,NOTICES} "$staged/" && cp "$files/lsmac.exe.signed" "$staged/lsmac.exe" &&
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) packaging/windows/msi.sh "$staged" "$version" "$2" "$staged.msi" &&
    echo "$staged.msi"
}
verify() { osslsigncode verify -CAfile "$work/ca.crt" -TSA-CAfile "$work/ca.crt" -in "$@"; }
# A key in a PEM file signs as one in a token does.
pem_signed() {
  env LSMAC_CODESIGN_CERT="$work/codesign.crt" LSMAC_CODESIGN_KEY="$work/codesign.key" LSMAC_TIMESTAMP_URL="http://127.0.0.1:$port" \
    packaging/windows/codesign.sh "$(unpacked "$unsigned" win64)/lsmac.exe" "$work/pem-signed.exe" &&
    verify "$work/pem-signed.exe" -time "$expired"
}
check "a PEM key signs lsmac.exe with a timestamp" pem_signed
for bits in win32:x86 win64:x64; do
  arch=${bits#*:} bits=${bits%:*}
  exe=$(unpacked "$signed" "$bits")/lsmac.exe msi=lsmac-$version-$bits.msi
  for file in "$exe" "$signed/$msi"; do
    check "osslsigncode verify ${file##*/} ($bits)" verify "$file"
    check "osslsigncode verify ${file##*/} ($bits) a day after the certificate expired" verify "$file" -time "$expired"
    refused "osslsigncode verify on a changed ${file##*/} ($bits)" verify "$(broken "$file")"
  done
  check "the $bits signature attached to the rebuilt lsmac.exe gives the released one" \
    signature_fits "$exe" "$(unpacked "$unsigned" "$bits")/lsmac.exe"
  check "the signature attached to the rebuilt $msi gives the released one" \
    eval "signature_fits '$signed/$msi' \"\$(msi_rebuilt $bits $arch)\""
  for file in NOTICES LICENSE README.md; do
    check "$bits $file rebuilt" cmp "$(dirname "$exe")/$file" "$(unpacked "$unsigned" "$bits")/$file"
  done
done

# The winget and Scoop manifests name each Windows package at its address
# under the release's, with its hash.
check "the winget and Scoop manifests name every Windows package with its hash" \
  python3 tests/manifests.py "$signed" "$LSMAC_RELEASE_URL" "$version"

# Each bill of materials: valid by the CycloneDX project's own validator, its
# hashes those of its file and of the executable inside, its libraries those
# the package names (the .deb in Built-Using, the others in NOTICES).
# Not --prefix: npm would then read its global configuration, and the
# certificate authorities it names, from under that folder.
# Sigstore's verifier too, for the provenance, every package of it pinned.
mkdir "$work/npm" && echo '{"private": true}' >"$work/npm/package.json"
(cd "$work/npm" && npm install --silent --no-audit --no-fund --omit=optional --ignore-scripts \
  @cyclonedx/cyclonedx-library@6.13.1 ajv@8.17.1 ajv-formats@3.0.1 ajv-formats-draft2019@1.6.1 \
  @sigstore/verify@3.1.1 @sigstore/bundle@4.0.0 @sigstore/core@3.2.1 @sigstore/protobuf-specs@0.5.2) >"$work/npm.log" 2>&1 ||
  { cat "$work/npm.log"; exit 1; }
# sbom_fits ARTIFACT: unpacks it and checks its bill of materials, and that
# the provenance names the same commit and Debian sources for it, and the
# toolchain its NOTICES names.
sbom_fits() {
  local unpacked=$work/sbom/${1##*/} carried="" built_with="" exe notices
  mkdir -p "$unpacked" && cd "$unpacked" || return 1
  case $1 in
    *.deb) dpkg-deb -x "$1" . && carried=$(dpkg-deb -f "$1" Built-Using) ;;
    *.rpm) rpm2cpio "$1" | cpio --quiet -idm ;;
    *.zip) unzip -q "$1" ;;
    *.msi) msiextract "$1" >/dev/null ;;
  esac
  exe=$(find . -path '*/bin/lsmac' -o -name lsmac.exe) notices=$(find . -name NOTICES)
  [ -n "$carried" ] || [ -z "$notices" ] ||
    carried=$(sed -n "s/^Of Debian's source packages it carries: \(.*\)\.$/\1/p" "$notices")
  [ -z "$notices" ] || built_with=$(sed -n "s/^one was built with Debian's \(.*\)\.$/\1/p" "$notices")
  LSMAC_BUILT_WITH=${built_with:-} LSMAC_PROVENANCE=$signed/$provenance NODE_PATH=$work/npm/node_modules node "$OLDPWD/tests/sbom.js" "$1.cdx.json" "$1" ${exe:+"$exe" "$carried"}
}
for artifact in $(artifacts); do
  check "$artifact.cdx.json fits $artifact and its provenance" eval "(sbom_fits '$signed/$artifact')"
done

# The provenance, checked by Sigstore's verifier and apart by the README's
# check with openssl over DSSE's pre-authentication encoding: every envelope
# and every file SHA256SUMS names; and each thing a forger changes refused.
# sigstore_check / openssl_check RELEASE PEM PROVENANCE FILE...: checks the
# FILEs of RELEASE.
summed() { sed 's/^[0-9a-f]*  //' "$1/SHA256SUMS"; }
sigstore_check() {
  (cd "$1" && NODE_PATH=$work/npm/node_modules node "$project/packaging/verify-provenance.js" "$2" "$3" "${@:4}")
}
# The README's check, of the FILEs given rather than its example.
readme_openssl=$(sed -n '/^### How it was made/,/^### /p' README.md | awk '/^```/ { n++; next } n == 3' |
  sed 's/^for file in lsmac_VERSION-1_amd64\.deb; do$/for file in "$@"; do/' | sed "s/VERSION/$version/g")
openssl_check() {
  local folder=$work/openssl-check
  grep -q '^for file in "\$@"; do$' <<<"$readme_openssl" || { echo "the README's openssl check names no download"; return 1; }
  rm -rf "$folder" && mkdir "$folder" && (cd "$1" && cp --parents "${@:4}" "$folder") &&
    cp -f "$2" "$folder/lsmac-provenance.pem" && cp "$3" "$folder/$provenance" &&
    (cd "$folder" && bash -c "$readme_openssl" - "${@:4}")
}
subjects() {
  python3 -c 'import base64, json, sys
for line in open(sys.argv[1]):
    for subject in json.loads(base64.b64decode(json.loads(line)["payload"]))["subject"]:
        print(subject["digest"]["sha256"] + "  " + subject["name"])' "$1"
}
check "the provenance's subjects are the files SHA256SUMS names, each once, with their SHA-256" \
  eval "cmp <(subjects '$signed/$provenance' | sort) <(sort '$signed/SHA256SUMS')"
deb=lsmac_${version}-1_amd64.deb
mkdir "$work/changed-file" && cp "$(broken "$signed/$deb")" "$work/changed-file/$deb"
# The commit the first statement names, changed under its signature.
python3 -c 'import base64, json, sys
lines = open(sys.argv[1]).readlines()
envelope = json.loads(lines[0])
payload = base64.b64decode(envelope["payload"]).replace(sys.argv[2].encode(), b"0" * 40)
envelope["payload"] = base64.b64encode(payload).decode()
open(sys.argv[3], "w").write(json.dumps(envelope) + "\n" + "".join(lines[1:]))' "$signed/$provenance" "$(git rev-parse HEAD)" \
  "$work/changed-payload.jsonl"
# A provenance signed with the right key that leaves out one file.
mkdir "$work/missing" && grep -v " $deb\$" "$unsigned/SHA256SUMS" >"$work/missing/SHA256SUMS" &&
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) packaging/provenance.py "$work/missing" "$version" "$(git rev-parse HEAD)" \
    /dev/null '{}' "$work/provenance-ed25519.key" "$unsigned/lsmac-provenance.pem"
for checker in sigstore openssl; do
  check "$checker: the signed release's provenance (ECDSA P-256 in the token) holds for every file" \
    ${checker}_check "$signed" "$signed/lsmac-provenance.pem" "$signed/$provenance" $(summed "$signed")
  check "$checker: the unsigned release's (Ed25519) holds for every file" \
    ${checker}_check "$unsigned" "$unsigned/lsmac-provenance.pem" "$unsigned/$provenance" $(summed "$unsigned")
  refused "$checker: a changed file" ${checker}_check "$work/changed-file" "$signed/lsmac-provenance.pem" "$signed/$provenance" $deb
  refused "$checker: a changed payload" \
    ${checker}_check "$signed" "$signed/lsmac-provenance.pem" "$work/changed-payload.jsonl" $(summed "$signed")
  refused "$checker: another key" ${checker}_check "$signed" "$unsigned/lsmac-provenance.pem" "$signed/$provenance" $(summed "$signed")
  refused "$checker: a file the provenance leaves out" \
    ${checker}_check "$unsigned" "$unsigned/lsmac-provenance.pem" "$work/missing/$provenance" $deb
done

# Bit for bit: the two unsigned releases hold the same files, and every file
# that carries no signature is the same in the signed one.
check "two unsigned releases, on machines that differ, are the same files" diff -r "$unsigned" "$rebuilt"
same_files() {
  local file
  for file in lsmac-"$version".tar.gz lsmac-fleet-"$version".tar.gz *.deb apt/pool/main/l/lsmac/*.deb apt/dists/stable/main/*/Packages*; do
    cmp "$signed/$file" "$unsigned/$file" || return 1
  done
  # A signed Release is dated when it was signed, and expires.
  cmp <(grep -vE '^(Date|Valid-Until):' apt/dists/stable/Release) <(grep -v '^Date:' "$unsigned/apt/dists/stable/Release")
}
check "the tarballs, every .deb and the APT index rebuild bit for bit" eval "(cd '$signed' && same_files)"
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

finish
