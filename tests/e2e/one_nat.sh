#!/usr/bin/env bash
# Two clients on one LAN behind a NAT that does not hairpin: the server
# sees one public address for both and introduces them with their private
# endpoints, so they meet on the LAN; nothing goes through the relay.
#
#   +-------+ 10.3.0.0/24           +-----+ 198.18.0.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice |---+                   | nat |---------------| router |----------------| server |
#   +-------+   +--- bridge on ---- |     | masquerade    +--------+                +--------+
#   +-------+   |    10.3.0.1       +-----+
#   | bob   |---+
#   +-------+
set -euo pipefail
BUILD=${1:?usage: one_nat.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world

router_world
add_host srv 203.0.113
add_nat nat_ns 198.18.0
lan_host alice_ns "$nat_ns" 10.3.0 2
lan_host bob_ns "$nat_ns" 10.3.0 3

server_start "$srv" 203.0.113.2
client_start alice "$alice_ns" 203.0.113.2
client_start bob "$bob_ns" 203.0.113.2
log_in alice bob
A=$(vip alice)
B=$(vip bob)
expect "the server sees both at the NAT's address" server_says "$B .*reached at 198.18.0.2:"
share_network lan-net alice bob
wait_for 15 "alice to list bob at his LAN address" listed_at alice "$B" '10\.3\.0\.3:[0-9]+'
wait_for 15 "bob to list alice at her LAN address" listed_at bob "$A" '10\.3\.0\.2:[0-9]+'
expect "alice pings bob on the LAN" in_ns "$alice_ns" ping -c 3 -W 2 "$B"
expect "bob pings alice on the LAN" in_ns "$bob_ns" ping -c 3 -W 2 "$A"
wait_for 10 "the server to introduce them on their LAN" server_says "tunnel .* on their LAN"
expect "the relay carried nothing" test "$(server_stat relay_packets)" -eq 0
echo "one NAT: all checks passed"
