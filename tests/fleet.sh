#!/usr/bin/env bash
# The Ansible playbook (contrib/ansible/lsmac.yml) across a fleet made here: a
# controller namespace and three host namespaces on its bridge, each host with
# an sshd and links of its own (one address repeated across hosts), and one
# inventory host that does not answer. The playbook runs twice, with lsmac
# copied and with lsmac installed from RELEASE's APT repository served over
# HTTP from the controller; each time every host's rows must be what
# `ip -o link` reports in that host, and the silent host must have its row.
#
#   fleet.sh LSMAC RELEASE
#
# The hosts share this machine's files: the test removes what the playbook
# installed on them.
set -uo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "fleet: skipped, needs root for the hosts' namespaces and their sshd"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/implied-lines.sh"
lsmac=$(realpath "$1") release=$(realpath "$2")
prefix=lsmac-fleet-$$ hosts=(h1 h2 h3)
controller=$prefix-controller
installed=(/usr/local/bin/lsmac /etc/apt/sources.list.d/lsmac.list /usr/share/keyrings/lsmac-archive-keyring.gpg)
for file in "${installed[@]}"; do
  [ ! -e "$file" ] || { echo "fleet: $file exists already; the test would overwrite it"; exit 1; }
done
cleanup() {
  local ns
  for ns in "$controller" "${hosts[@]/#/$prefix-}"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null
  done
  wait
  for ns in "$controller" "${hosts[@]/#/$prefix-}"; do ip netns del "$ns" 2>/dev/null; done
  dpkg -r lsmac >/dev/null 2>&1
  rm -f "${installed[@]}" /var/lib/apt/lists/10.77.0.1* /var/cache/apt/archives/lsmac_*
  rm -rf "${work:-}"
}
trap cleanup EXIT
cleanup
work=$(mktemp -d)

# The fleet: the controller at 10.77.0.1, host N at 10.77.0.1N.
ssh-keygen -q -t ed25519 -N '' -f "$work/id"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
cp "$work/id.pub" "$work/authorized_keys"
mkdir -p /run/sshd
ip netns add "$controller"
ip -n "$controller" link add name br0 type bridge
ip -n "$controller" addr add 10.77.0.1/24 dev br0
ip -n "$controller" link set br0 up
echo "[fleet]" >"$work/inventory"
for n in 1 2 3; do
  ns=$prefix-h$n
  ip netns add "$ns"
  ip -n "$controller" link add name port$n type veth peer name eth0 netns "$ns"
  ip -n "$controller" link set port$n master br0 up
  ip -n "$ns" addr add "10.77.0.1$n/24" dev eth0
  ip -n "$ns" link set eth0 up
  ip -n "$ns" link add name a0 address 02:77:00:00:00:01 type veth peer name b0 address "02:77:00:00:0$n:02"
  [ "$n" != 3 ] || ip -n "$ns" link add name br7 address 02:77:00:00:03:03 type bridge
  printf 'ListenAddress 10.77.0.1%s\nHostKey %s\nAuthorizedKeysFile %s\nUsePAM no\nStrictModes no\nPidFile none\nSubsystem sftp internal-sftp\n' \
    "$n" "$work/host_key" "$work/authorized_keys" >"$work/sshd-$n.conf"
  ip netns exec "$ns" /usr/sbin/sshd -D -e -f "$work/sshd-$n.conf" 2>"$work/sshd-$n.log" &
  echo "h$n ansible_host=10.77.0.1$n" >>"$work/inventory"
done
cat >>"$work/inventory" <<EOF
silent ansible_host=10.77.0.99
[fleet:vars]
ansible_user=root
ansible_ssh_private_key_file=$work/id
ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5'
ansible_python_interpreter=/usr/bin/python3
ansible_pipelining=true
EOF
for n in 1 2 3; do
  for _ in $(seq 100); do
    ip netns exec "$controller" bash -c "echo >/dev/tcp/10.77.0.1$n/22" 2>/dev/null && break
    sleep 0.1
  done
done
ip netns exec "$controller" /usr/bin/python3 -m http.server 8080 --bind 10.77.0.1 --directory "$release" \
  2>"$work/http.log" >/dev/null &

passed=0 failed=0
check() {
  if [ "$2" = 0 ]; then passed=$((passed + 1)); else echo "not ok - $1"; failed=$((failed + 1)); return 1; fi
}
# The report the fleet should give: each host's lines as iproute2 implies
# them, and the silent host with a reason.
expected_report() {
  echo "host,address,error"
  local n
  for n in 1 2 3; do
    ip netns exec "$prefix-h$n" bash -c ". '$here/implied-lines.sh' && implied_lines" |
      sed "s/^MAC Address: /h$n,/; s/\$/,/"
  done
}
# playbook NAME ARGUMENT...: runs the playbook from the controller as the
# README does, with these arguments, and checks its report.
playbook() {
  local name=$1 report=$work/$1.csv started=$SECONDS
  shift
  (cd "$work" && ip netns exec "$controller" env ANSIBLE_SSH_ARGS='-o ControlMaster=no' ANSIBLE_NOCOLOR=1 \
     ansible-playbook -i inventory "$here/../contrib/ansible/lsmac.yml" -e lsmac_report="$report" "$@") \
    >"$work/$name.log" 2>&1
  check "$name: ansible-playbook fails for the silent host" $(($? == 0))
  echo "fleet: $name: the playbook took $((SECONDS - started)) s"
  expected_report >"$work/expected.csv"
  head -n -1 "$report" 2>/dev/null | cmp -s - "$work/expected.csv"
  check "$name: every host's rows are what ip -o link reports there" $?
  tail -1 "$report" 2>/dev/null | grep -qE '^silent,,.*(ssh|connect|route|timed out)'
  check "$name: the silent host has its row and reason" $?
  if [ "$failed" != 0 ]; then
    echo "  report:"; sed 's/^/    /' "$report" 2>/dev/null
    echo "  expected, but the silent host:"; sed 's/^/    /' "$work/expected.csv"
    echo "  ansible-playbook:"; tail -20 "$work/$name.log" | sed 's/^/    /'
  fi
}

playbook copy -e lsmac_install=copy -e lsmac_executable="$lsmac"
rm -f /usr/local/bin/lsmac
playbook repository -e lsmac_repository_url=http://10.77.0.1:8080 --forks 1
grep -q '"GET /lsmac-archive-keyring.gpg HTTP/1.1" 200' "$work/http.log" &&
  grep -q '"GET /apt/pool/main/l/lsmac/lsmac_[^ ]*_amd64.deb HTTP/1.1" 200' "$work/http.log" &&
  grep -qx "deb \[signed-by=/usr/share/keyrings/lsmac-archive-keyring.gpg\] http://10.77.0.1:8080/apt stable main" \
    /etc/apt/sources.list.d/lsmac.list && cmp -s "$release/lsmac-archive-keyring.gpg" /usr/share/keyrings/lsmac-archive-keyring.gpg &&
  [ "$(dpkg-query -W -f='${Status}' lsmac 2>/dev/null)" = "install ok installed" ]
check "repository: apt installed lsmac from the served repository with its key" $? ||
  { echo "  served:"; sed 's/^/    /' "$work/http.log"; echo "  sources:"; cat /etc/apt/sources.list.d/lsmac.list; }

echo "fleet: $passed passed, $failed failed"
[ "$failed" = 0 ]
