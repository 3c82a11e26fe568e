#!/usr/bin/env bash
# Signs a published release's APT repository again, dated now and valid for
# LSMAC_APT_VALID_DAYS more days (default 30), with the key LSMAC_GPG_KEY
# (its full fingerprint, in GNUPGHOME) that signed the release. Only
# apt/dists/stable's Release, Release.gpg and InRelease change: no package,
# archive, installer or index, nor SHA256SUMS, which does not cover them.
# Run it well inside the window, from cron, on the published tree or on a
# copy that is then published.
#
#   packaging/refresh.sh OUTDIR
set -euo pipefail
cd "$(dirname "$0")/.."
die() { echo "packaging/refresh.sh: $*" >&2; exit 1; }
[ $# = 1 ] || { echo "usage: packaging/refresh.sh OUTDIR" >&2; exit 2; }
dist=$(realpath -m "$1")/apt/dists/stable
gpg_key=${LSMAC_GPG_KEY:-}
[ -n "$gpg_key" ] || die "LSMAC_GPG_KEY names the release key, by its full fingerprint"
[ -s "$dist/InRelease" ] || die "$dist holds no signed release"
export LC_ALL=C TZ=UTC
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. packaging/apt-release.sh
check_release_key
# The key that signed the release, and no other, signs it again.
gpg --batch --export --export-options export-minimal "$gpg_key" >"$work/key.gpg"
gpgv --keyring "$work/key.gpg" "$dist/InRelease" 2>"$work/gpgv.log" ||
  die "LSMAC_GPG_KEY=$gpg_key did not sign $dist/InRelease: $(tail -1 "$work/gpgv.log")"
write_apt_release "$dist" "$(sed -n 's/^Version: //p' "$dist/Release")"
echo "packaging/refresh.sh: $dist/Release valid until $(sed -n 's/^Valid-Until: //p' "$dist/Release")"
