# Hosts for what crosses a network, sourced by the fleet test and the fleet
# benchmark: a controller namespace with a bridge, and one network namespace
# per host on it, each reached over SSH at an address of its own.
#
#   hosts_start PREFIX ADDRESS/LENGTH  the controller, $controller
#                                      (PREFIX-controller), its bridge at ADDRESS
#   host_add NAME ADDRESS/LENGTH       the host's namespace, PREFIX-NAME, its
#                                      eth0 on the bridge at ADDRESS
#   host_answers ADDRESS [PORT]        waits until ADDRESS answers on PORT (22)
#   hosts_end                          ends every process in the namespaces,
#                                      sshds started elsewhere among them, and
#                                      removes the namespaces
hosts_namespaces=()
hosts_start() {
  hosts_prefix=$1 controller=$1-controller hosts_namespaces=("$1-controller")
  ip netns add "$controller"
  ip -n "$controller" link add name br0 type bridge
  ip -n "$controller" addr add "$2" dev br0
  ip -n "$controller" link set br0 up
  ip -n "$controller" link set lo up
}
host_add() {
  local ns=$hosts_prefix-$1 port=port${#hosts_namespaces[@]}
  hosts_namespaces+=("$ns")
  ip netns add "$ns"
  ip -n "$controller" link add name "$port" type veth peer name eth0 netns "$ns"
  ip -n "$controller" link set "$port" master br0 up
  ip -n "$ns" addr add "$2" dev eth0
  ip -n "$ns" link set eth0 up
}
host_answers() {
  local try
  for try in $(seq 100); do
    ip netns exec "$controller" bash -c "echo >/dev/tcp/$1/${2:-22}" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
hosts_end() {
  local ns tries=50
  for ns in "${hosts_namespaces[@]}"; do ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null; done
  wait
  # Daemons that are not this shell's jobs: wait until the namespaces empty.
  while [ $((tries -= 1)) -gt 0 ] &&
        for ns in "${hosts_namespaces[@]}"; do ip netns pids "$ns"; done 2>/dev/null | grep -q .; do
    sleep 0.1
  done
  for ns in "${hosts_namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
}
