# Sourced by release.sh and refresh.sh, which set gpg_key (LSMAC_GPG_KEY),
# work (a scratch folder) and die: the release key's check, and the APT
# repository's signed Release.

# check_release_key: the key is named by its full fingerprint, so that it is
# one key and only that key is exported and trusted, and it signs.
check_release_key() {
  [[ $gpg_key =~ ^([0-9A-Fa-f]{40}|[0-9A-Fa-f]{64})$ ]] ||
    die "LSMAC_GPG_KEY must be the release key's full fingerprint, not '$gpg_key'"
  echo | gpg --batch --local-user "$gpg_key" --detach-sign >/dev/null 2>"$work/gpg.log" ||
    die "cannot sign with LSMAC_GPG_KEY=$gpg_key: $(grep -v '^gpg: using' "$work/gpg.log" | tail -1)"
}

# write_apt_release DIST VERSION: DIST/Release over DIST's indexes, naming
# lsmac's VERSION (which the fleet playbook reads). Signed (Release.gpg,
# InRelease) when there is a key, dated now and valid for
# LSMAC_APT_VALID_DAYS days, so that a mirror cannot serve it for ever;
# otherwise dated SOURCE_DATE_EPOCH, so that it rebuilds bit for bit.
write_apt_release() {
  local dist=$1 scratch=$work/apt-release now valid options=()
  field() { options+=("-oAPT::FTPArchive::Release::$1=$2"); }
  field Origin lsmac; field Label lsmac; field Suite stable; field Codename stable; field Version "$2"
  field Architectures "$(cd "$dist/main" && ls -d binary-* | sed 's/^binary-//' | tr '\n' ' ' | sed 's/ $//')"
  field Components main
  field Description "lsmac: list the hardware addresses of the network adapters"
  if [ -n "$gpg_key" ]; then
    local days=${LSMAC_APT_VALID_DAYS:-30}
    [[ $days =~ ^[1-9][0-9]*$ ]] || die "LSMAC_APT_VALID_DAYS must be a number of days, not '$days'"
    # Valid-Until is given too: apt-ftparchive would count it from its own
    # clock, which may be a second or more past Date.
    now=$(date +%s) valid=$((days * 86400))
    field Date "$(date -u -d "@$now" -R)"
    field ValidTime "$valid"
    field Valid-Until "$(date -u -d "@$((now + valid))" -R)"
  else
    field Date "$(date -u -d "@$SOURCE_DATE_EPOCH" -R)"
  fi
  # Made apart and then moved in, file by file: the indexes alone are hashed,
  # and a repository being served never lacks its Release.
  rm -rf "$scratch" && mkdir -p "$scratch" && cp -a "$dist/main" "$scratch/"
  apt-ftparchive "${options[@]}" release "$scratch" >"$work/Release"
  mv "$work/Release" "$scratch/Release"
  if [ -n "$gpg_key" ]; then
    gpg --batch --yes --local-user "$gpg_key" --armor --detach-sign -o "$scratch/Release.gpg" "$scratch/Release"
    gpg --batch --yes --local-user "$gpg_key" --clearsign -o "$scratch/InRelease" "$scratch/Release"
    mv "$scratch/Release.gpg" "$scratch/InRelease" "$dist/"
  fi
  mv "$scratch/Release" "$dist/"
}
