#!/usr/bin/env bash
# The server sits behind a router that forwards its ports, and is told its
# public address: a client behind another NAT discovers its endpoint through
# the forwarded ports and meets a public client directly.
#
#   +-------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +----+ 10.9.0.0/24 +--------+
#   | alice |-----------------| router |----------------| gw |-------------| server |
#   +-------+                 |        |                +----+  forwards   +--------+
#                             |        |                        tcp 12975, udp 12975-12977
#   +-------+ 10.4.0.0/24 +-----+ 198.18.0.0/24 |
#   | carol |-------------| nat |---------------|
#   +-------+             +-----+               +--------+
set -euo pipefail
BUILD=${1:?usage: server_behind_nat.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world

router_world
add_host alice_ns 198.51.100
add_host gw 203.0.113
ns_add srv s
link_ns "$gw" 10.9.0.1/24 "$srv" 10.9.0.2/24
in_ns "$srv" ip route add default via 10.9.0.1
in_ns "$gw" sysctl -qw net.ipv4.ip_forward=1
nft_in "$gw" <<EOF
table ip nat {
  chain forward_ports { type nat hook prerouting priority -100;
    ip daddr 203.0.113.2 tcp dport 12975 dnat to 10.9.0.2
    ip daddr 203.0.113.2 udp dport 12975-12977 dnat to 10.9.0.2
  }
}
EOF
add_nat nat_ns 198.18.0
lan_host carol_ns "$nat_ns" 10.4.0 2

server_start "$srv" 10.9.0.2 --public-address 203.0.113.2
client_start alice "$alice_ns" 203.0.113.2
client_start carol "$carol_ns" 203.0.113.2
log_in alice carol
A=$(vip alice)
C=$(vip carol)
expect "her punch came through the forwarded ports" \
  server_says "$C .*reached at 198.18.0.2:[0-9]+; keeps its port"
share_network fwd-net alice carol
wait_for 15 "alice to list carol at her NAT's address" listed_at alice "$C" '198\.18\.0\.2:[0-9]+'
wait_for 15 "carol to list alice at her own address" listed_at carol "$A" '198\.51\.100\.2:[0-9]+'
expect "carol pings alice directly" in_ns "$carol_ns" ping -c 3 -W 2 "$A"
expect "alice pings carol directly" in_ns "$alice_ns" ping -c 3 -W 2 "$C"
expect "the relay carried nothing" test "$(server_stat relay_packets)" -eq 0
echo "server behind NAT: all checks passed"
