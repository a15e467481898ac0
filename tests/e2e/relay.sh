#!/usr/bin/env bash
# Two clients, each behind a NAT that gives every destination a new public
# port, cannot reach each other directly: the server finds that out during
# discovery and relays their tunnel, which carries pings and a transfer.
#
#   +-------+ 10.1.0.0/24 +-------+ 198.18.0.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice |-------------| nat_a |---------------| router |----------------| server |
#   +-------+             +-------+ random ports  |        |                +--------+
#   +-------+ 10.2.0.0/24 +-------+ 198.19.0.0/24 |        |
#   | bob   |-------------| nat_b |---------------|        |
#   +-------+             +-------+ random ports  +--------+
set -euo pipefail
BUILD=${1:?usage: relay.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world

router_world
add_host srv 203.0.113
ns_add nat_a x
ns_add nat_b y
add_nat nat_a 198.18.0 random,fully-random
add_nat nat_b 198.19.0 random,fully-random
lan_host alice_ns "$nat_a" 10.1.0 2
lan_host bob_ns "$nat_b" 10.2.0 2

server_start "$srv" 203.0.113.2
client_start alice "$alice_ns" 203.0.113.2
client_start bob "$bob_ns" 203.0.113.2
log_in alice bob
A=$(vip alice)
B=$(vip bob)
# Each NAT gave the server's two ports two different public ports.
expect "alice's NAT maps ports per destination" server_says "$A .*198.18.0.2:[0-9]+; maps ports per"
expect "bob's NAT maps ports per destination" server_says "$B .*198.19.0.2:[0-9]+; maps ports per"

share_network relay-net alice bob
wait_for 10 "the server to relay the pair" server_says "relaying .*maps ports per destination"
wait_for 15 "alice to list bob at the relay" listed_at alice "$B" 203.0.113.2:12977
wait_for 15 "bob to list alice at the relay" listed_at bob "$A" 203.0.113.2:12977
expect "alice pings bob through the relay" in_ns "$alice_ns" ping -c 3 -W 2 "$B"
expect "bob pings alice through the relay" in_ns "$bob_ns" ping -c 3 -W 2 "$A"
tcp_transfer "$alice_ns" "$bob_ns" "$B" 5004 2 60
bytes=$(server_stat relay_bytes)
expect "the server's counters show the transfer ($bytes bytes relayed)" test "$bytes" -gt 2000000

# The pair ends; the relay tells what it carried.
expect "alice goes offline" q_says alice ' ok' go-offline relay-net
wait_for 10 "the relay to forget the pair" server_says "relay forgets .* bytes"
expect "the relay carries no pair now" test "$(server_stat relay_pairs)" -eq 0
echo "relay: all checks passed"
