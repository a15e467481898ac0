#!/usr/bin/env bash
# A third host sends the relay a datagram that carries a relayed pair's SPI
# and a made-up MAC, from its own address: the relay drops it, keeps the
# endpoints it learnt, and the pair goes on working. (The server relays
# every pair here, so that no NAT is needed.)
#
#   +---------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice   |-----------------| router |----------------| server |
#   +---------+                 |        |                +--------+
#   +---------+  192.0.2.0/24   |        |  198.18.0.0/24 +---------+
#   | bob     |-----------------|        |----------------| mallory |
#   +---------+                 +--------+                +---------+
set -euo pipefail
BUILD=${1:?usage: relay_spoof.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world

routed_world
add_host bob_ns 192.0.2
add_host mallory_ns 198.18.0
server_start "$srv" 203.0.113.2 --relay always
client_start alice "$alice_ns" 203.0.113.2
client_start bob "$bob_ns" 203.0.113.2
log_in alice bob
A=$(vip alice)
B=$(vip bob)
share_network spoof-net alice bob
wait_for 15 "alice to list bob at the relay" listed_at alice "$B" 203.0.113.2:12977
expect "bob pings alice through the relay" in_ns "$bob_ns" ping -c 2 -W 2 "$A"
wait_for 10 "the relay to know both sides" sh -c \
  "[ \$(grep -c 'relay: .* is at' '$E2E_DIR/server.log') -eq 2 ]"

# The SPI of datagrams to the first side of the pair, as the server logged it.
spi=$(sed -n 's/.*relaying .* (spi \([0-9a-f]*\), .*/\1/p' "$E2E_DIR/server.log")
forged="\\x${spi:0:2}\\x${spi:2:2}\\x${spi:4:2}\\x${spi:6:2}$(printf '\\x5a%.0s' {1..48})"
refused=$(server_stat relay_refused)
for i in 1 2 3; do
  in_ns "$mallory_ns" bash -c "printf '$forged' >/dev/udp/203.0.113.2/12977"
done
expect "alice still pings bob" in_ns "$alice_ns" ping -c 3 -W 2 "$B"
expect "bob still pings alice" in_ns "$bob_ns" ping -c 3 -W 2 "$A"
expect "the relay never took mallory's address" fails server_says "is at 198\.18\.0\.2:"
expect "the relay refused the forged datagrams" test "$(server_stat relay_refused)" -ge $((refused + 3))
echo "relay spoofing: all checks passed"
