#!/usr/bin/env bash
# What a fleet run of the Ansible playbook costs as hosts are added: at 3, 12
# and 24 hosts (or BENCH_HOSTS), with Ansible's default forks (5) and with
# one fork per host, the playbook's wall time (the median of 3 runs, or
# BENCH_ROUNDS) and the controller's peak memory (the summed resident sizes
# of ansible-playbook and its children, the largest of the runs).
# Each host is a network namespace with an sshd of its own on the
# controller's bridge, sharing this machine's files, with lsmac installed
# already (build/lsmac, bound over /usr/local/bin in the sshd's own mount
# namespace): the cost measured is Ansible's, reaching the hosts and running
# lsmac. Writes results/fleet.md. As root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${BENCH_OUT:-$here/results}
sizes=${BENCH_HOSTS:-"3 12 24"} rounds=${BENCH_ROUNDS:-3}
[ "$(id -u)" = 0 ] || { echo "bench/fleet.sh: needs root for the hosts' namespaces and sshd" >&2; exit 1; }
"$here/../packaging/install-packages.sh" cmake g++ ansible-core openssh-server python3 iproute2
cmake -S "$here/.." -B "$here/../build" >/dev/null
cmake --build "$here/../build" --target lsmac >/dev/null

. "$here/../tests/lib/hosts.sh"
work=$(mktemp -d) largest=0
for size in $sizes; do [ "$size" -le "$largest" ] || largest=$size; done
trap 'hosts_end; rm -rf "$work"' EXIT
mkdir "$work/bin" && cp "$here/../build/lsmac" "$work/bin/"
ssh-keygen -q -t ed25519 -N '' -f "$work/id"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
cp "$work/id.pub" "$work/authorized_keys"
mkdir -p /run/sshd
hosts_start "lsmac-bench-$$" 10.78.0.1/16
for n in $(seq "$largest"); do
  address=10.78.$((n / 250)).$((n % 250 + 2))
  host_add "$n" "$address/16"
  printf 'ListenAddress %s\nHostKey %s\nAuthorizedKeysFile %s\nUsePAM no\nStrictModes no\nPidFile none\n' \
    "$address" "$work/host_key" "$work/authorized_keys" >"$work/sshd-$n.conf"
  ip netns exec "lsmac-bench-$$-$n" unshare -m sh -c 'mount --bind "$0" /usr/local/bin && exec /usr/sbin/sshd -D -e -f "$1"' \
    "$work/bin" "$work/sshd-$n.conf" 2>/dev/null &
  echo "$address" >>"$work/addresses"
done
for address in $(cat "$work/addresses"); do
  host_answers "$address" || { echo "bench/fleet.sh: $address does not answer" >&2; exit 1; }
done

printf '| hosts | forks | wall time, s | per host, s | controller peak memory, MiB |\n|---:|---:|---:|---:|---:|\n' \
  >"$out/fleet.md"
for size in $sizes; do
  { echo "[fleet]"; head -n "$size" "$work/addresses" | awk '{ print "host" NR " ansible_host=" $1 }'
    echo "[fleet:vars]"
    printf '%s\n' ansible_user=root "ansible_ssh_private_key_file=$work/id" ansible_python_interpreter=/usr/bin/python3 \
      ansible_pipelining=true "ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'"
  } >"$work/inventory"
  for forks in 5 "$size"; do
    : >"$work/measured"
    for _ in $(seq "$rounds"); do
      ip netns exec "$controller" python3 "$here/tree_rss.py" \
        ansible-playbook -i "$work/inventory" --forks "$forks" "$here/../contrib/ansible/lsmac.yml" \
        -e lsmac_install=none -e lsmac_report="$work/report.csv" 2>>"$work/measured"
      # Every host listed, and none failed.
      [ "$(awk -F, 'NR > 1 && $2 != "" { print $1 }' "$work/report.csv" | sort -u | wc -l)" = "$size" ] &&
        ! awk -F, 'NR > 1 && $3 != ""' "$work/report.csv" | grep -q . ||
        { echo "bench/fleet.sh: not every host was listed:" >&2; cat "$work/report.csv" >&2; exit 1; }
    done
    sort -n "$work/measured" | awk -v hosts="$size" -v forks="$forks" '
      { seconds[NR] = $1; if ($2 > kib) kib = $2 }
      END { median = seconds[int((NR + 1) / 2)]
            printf "| %d | %d | %.1f | %.2f | %d |\n", hosts, forks, median, median / hosts, kib / 1024 }' |
      tee -a "$out/fleet.md"
  done
done
