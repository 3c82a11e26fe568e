# Sourced by the tests that hold lsmac against iproute2.
#
# implied_lines [EOL]: the address lines `ip -o link` implies, in its order,
# each ending in EOL (a line feed if not given): loopback left out, links
# without an address (tun) as zeros, longer addresses cut to six bytes.
implied_lines() {
  ip -o link | awk -v eol="${1:-$'\n'}" '{
    for (i = 1; i < NF && $i !~ /^link\//; i++) {}
    if ($i == "link/loopback") next
    n = ($i == "link/none") ? 0 : split(toupper($(i + 1)), bytes, ":")
    line = "MAC Address: "
    for (b = 1; b <= 6; b++) line = line (b > 1 ? "-" : "") (b <= n ? bytes[b] : "00")
    printf "%s%s", line, eol
  }'
}
