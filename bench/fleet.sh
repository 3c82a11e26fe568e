#!/usr/bin/env bash
# What a fleet run costs the controller as hosts are added: at 10, 50 and 100
# hosts (or BENCH_HOSTS) with BENCH_FORKS forks (25), the controller's CPU
# time per host and its peak memory, counting every controller process
# (ansible-playbook, its workers, ssh and ssh's ControlPersist masters, in a
# control group of their own: controller_cost.py), the median of
# BENCH_ROUNDS runs (1). Side by side in one run:
#
#   floor       Ansible's own: one play, no facts, one command task running lsmac
#   none        lsmac.yml -e lsmac_install=none
#   repository  lsmac.yml from a signed APT repository served by the
#               controller, every host up to date already: a rerun
#   copy        lsmac.yml -e lsmac_install=copy to hosts without lsmac: the
#               first installation, once, at the first size
#
# Each host is a network namespace with an sshd of its own on the
# controller's bridge, sharing this machine's files but for /usr/local/bin,
# a folder of its own. The repository's package is installed on this
# machine for the run, and removed after it. Writes results/fleet.md, with
# the time 10,000 hosts would take on a controller of 2 cores. As root, on
# a machine without an lsmac package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/.." && pwd)
out=${BENCH_OUT:-$here/results}
sizes=${BENCH_HOSTS:-"10 50 100"} rounds=${BENCH_ROUNDS:-1} forks=${BENCH_FORKS:-25}
die() { echo "bench/fleet.sh: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root for the hosts' namespaces, sshd and control groups"
[ -d /sys/fs/cgroup/cpuacct ] && [ -d /sys/fs/cgroup/memory ] || die "needs cgroup v1's cpuacct and memory hierarchies"
! dpkg-query -W lsmac >/dev/null 2>&1 || die "this machine has an lsmac package, which the run would replace"
"$project/packaging/install-packages.sh" cmake g++ dpkg-dev ansible-core openssh-server python3 iproute2 gpg apt-utils
build=$project/build
cmake -S "$project" -B "$build" >/dev/null
cmake --build "$build" --target lsmac >/dev/null
version=$(sed -n 's/^project(lsmac VERSION \([0-9.]*\).*/\1/p' "$project/CMakeLists.txt")

. "$project/tests/lib/hosts.sh"
work=$(mktemp -d) largest=0
for size in $sizes; do [ "$size" -le "$largest" ] || largest=$size; done
trap 'hosts_end; dpkg -r lsmac >/dev/null 2>&1; gpgconf --kill gpg-agent; rm -rf "$work"' EXIT

# The release's APT repository, signed with a key made for the run.
export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key 'lsmac bench <bench@lsmac.invalid>' ed25519 sign never 2>/dev/null
gpg_key=$(gpg --list-keys --with-colons | awk -F: '/^fpr/ { print $10; exit }')
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/lsmac_"$version"-1_*.deb)
repository=$work/release pool=$work/release/apt/pool/main/l/lsmac
mkdir -p "$pool" && cp "$deb" "$pool/"
arch=$(dpkg-deb -f "$deb" Architecture)
mkdir -p "$repository/apt/dists/stable/main/binary-$arch"
(cd "$repository/apt" && apt-ftparchive packages pool) >"$repository/apt/dists/stable/main/binary-$arch/Packages"
gpg --batch --export "$gpg_key" >"$repository/lsmac-archive-keyring.gpg"
(. "$project/packaging/apt-release.sh" && write_apt_release "$repository/apt/dists/stable" "$version")
dpkg -i "$deb" >/dev/null

mkdir -p /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$work/id"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
cp "$work/id.pub" "$work/authorized_keys"
hosts_start "lsmac-bench-$$" 10.78.0.1/16
url=http://10.78.0.1:8080
ip netns exec "$controller" python3 -m http.server 8080 --bind 10.78.0.1 --directory "$repository" >/dev/null 2>&1 &
for n in $(seq "$largest"); do
  address=10.78.$((n / 250)).$((n % 250 + 2))
  host_add "$n" "$address/16"
  mkdir "$work/bin-$n"
  printf 'ListenAddress %s\nHostKey %s\nAuthorizedKeysFile %s\nUsePAM no\nStrictModes no\nPidFile none\nSubsystem sftp internal-sftp\n' \
    "$address" "$work/host_key" "$work/authorized_keys" >"$work/sshd-$n.conf"
  ip netns exec "lsmac-bench-$$-$n" unshare -m sh -c 'mount --bind "$0" /usr/local/bin && exec /usr/sbin/sshd -D -e -f "$1"' \
    "$work/bin-$n" "$work/sshd-$n.conf" 2>/dev/null &
  echo "$address" >>"$work/addresses"
done
for address in $(cat "$work/addresses"); do
  host_answers "$address" || die "$address does not answer"
done
host_answers 10.78.0.1 8080 || die "the repository's server does not answer"

cat >"$work/floor.yml" <<'EOF'
- name: Run lsmac
  hosts: all
  gather_facts: false
  tasks:
    - name: Run lsmac
      ansible.builtin.command: lsmac
      changed_when: false
EOF
# measure MODE SIZE: one run of MODE at SIZE hosts; its wall time, CPU
# seconds and peak KiB are appended to $work/MODE-SIZE.
measure() {
  local mode=$1 size=$2 playbook=$project/contrib/ansible/lsmac.yml options=() n
  case $mode in
    floor) playbook=$work/floor.yml ;;
    none) options=(-e lsmac_install=none) ;;
    repository) options=(-e lsmac_repository_url="$url" -e lsmac_key_fingerprint="$gpg_key") ;;
    copy) options=(-e lsmac_install=copy -e lsmac_executable="$build/lsmac") ;;
  esac
  for n in $(seq "$size"); do
    rm -f "$work/bin-$n/lsmac"
    # Every mode but copy finds lsmac on PATH, which the repository mode's
    # package also puts first: /usr/bin/lsmac runs there.
    [ "$mode" = copy ] || cp "$build/lsmac" "$work/bin-$n/"
  done
  rm -f "$work/report.csv"
  python3 "$here/controller_cost.py" "$work/$mode-$size" ip netns exec "$controller" ansible-playbook -i "$work/inventory" \
    --forks "$forks" "$playbook" -e lsmac_report="$work/report.csv" "${options[@]}" >"$work/ansible.log" 2>&1 ||
    { tail -n 30 "$work/ansible.log" >&2; die "$mode at $size hosts failed"; }
  # Every host listed, and none failed.
  [ "$mode" = floor ] ||
    { [ "$(awk -F, 'NR > 1 && $2 != "" { print $1 }' "$work/report.csv" | sort -u | wc -l)" = "$size" ] &&
        ! awk -F, 'NR > 1 && $3 != ""' "$work/report.csv" | grep -q .; } ||
    { cat "$work/report.csv" >&2; die "$mode at $size hosts: not every host was listed"; }
}

modes="floor none repository copy"
for size in $sizes; do
  { echo "[fleet]"; head -n "$size" "$work/addresses" | awk '{ print "host" NR " ansible_host=" $1 }'
    echo "[fleet:vars]"
    printf '%s\n' ansible_user=root "ansible_ssh_private_key_file=$work/id" ansible_python_interpreter=/usr/bin/python3 \
      ansible_pipelining=true "ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'"
  } >"$work/inventory"
  # Rounds of every mode in turn, so that drift touches them alike; the
  # first installation, which takes longest, once and at the first size.
  for round in $(seq "$rounds"); do
    for mode in $modes; do
      [ "$mode" != copy ] || { [ "$round" = 1 ] && [ "$size" = "${sizes%% *}" ]; } && measure "$mode" "$size"
    done
  done
done

{
  printf '| hosts | run | controller CPU per host, s | to the floor | wall time, s | peak memory, MiB | 10,000 hosts on 2 cores, min |\n'
  printf '|---:|---|---:|---:|---:|---:|---:|\n'
  for size in $sizes; do
    for mode in $modes; do
      [ -s "$work/$mode-$size" ] || continue
      sort -n -k2 "$work/$mode-$size" | awk -v hosts="$size" -v mode="$mode" -v floor="$(
        sort -n -k2 "$work/floor-$size" | awk '{ cpu[NR] = $2 } END { print cpu[int((NR + 1) / 2)] }')" '
        { wall[NR] = $1; cpu[NR] = $2; if ($3 > kib) kib = $3 }
        END { m = int((NR + 1) / 2); per = cpu[m] / hosts
              printf "| %d | %s | %.3f | %.2fx | %.1f | %d | %.0f |\n",
                hosts, mode, per, cpu[m] / floor, wall[m], kib / 1024, per * 10000 / 2 / 60 }'
    done
  done
} | tee "$out/fleet.md"
