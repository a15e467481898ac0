#!/usr/bin/env bash
# A user asks the clients what they see. Two clients and a server on a
# routed underlay, each client with its own tapwarden and tap interface; the
# router can send every datagram from alice to bob twice:
#
#   +---------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice   |-----------------| router |----------------| server |
#   | tap 5.x |                 |        |                +--------+
#   +---------+                 |  (nft  | 192.0.2.0/24   +--------+
#                               |   dup) |----------------| bob    |
#                               +--------+                | tap 5.x|
#                                                         +--------+
#
# After a ping, `quilmar list --json` on each side parses, names the other
# with its endpoint, and counts at least the ping's packets each way; the
# copies the router makes show on bob's side as dropped replays while the
# ping still works; `quilmar peers` shows the row; and once bob's daemon is
# stopped, `--json` prints nothing on standard output and exits as the
# plain `quilmar list` does.
set -euo pipefail
BUILD=${1:?usage: inspect.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world
command -v jq >/dev/null || e2e_skip "needs jq to read the JSON"
command -v nft >/dev/null || e2e_skip "needs nft (nftables) to copy datagrams"

routed_world
add_host bob_ns 192.0.2
router_to_bob=$LINK_IF2

alice_and_bob_in_lab_net
expect "alice goes online" q_says alice ' ok' go-online lab-net
expect "bob goes online" q_says bob ' ok' go-online lab-net
wait_for 15 "alice to list bob with an endpoint" listed_with_tunnel alice "$B"
wait_for 15 "bob to list alice with an endpoint" listed_with_tunnel bob "$A"

# state_has NAME FILTER: NAME's JSON state passes the jq FILTER, in which
# $a and $b are alice's and bob's addresses and member(ADDR) is the entry
# of a member. count NAME PEER KEY: a counter of NAME's tunnel to PEER.
MEMBER='def member($p): [.networks[].members[] | select(.address == $p)][0];'
state_has() { q "$1" list --json | jq -e --arg a "$A" --arg b "$B" "$MEMBER $2" >/dev/null; }
count() { q "$1" list --json | jq -r --arg p "$2" "$MEMBER member(\$p).tunnel.$3"; }

expect "alice's state parses as JSON" state_has alice .
expect "alice is logged in as herself through the server, owning lab-net" state_has alice \
  '.identity == $a and .state == "ready" and .server == "203.0.113.2:12975"
   and .networks[0].name == "lab-net" and .networks[0].owner == $a'
iface=$(q alice list --json | jq -r .interface)
expect "alice's interface $iface is in her namespace" in_ns "$alice_ns" test -e "/sys/class/net/$iface"
expect "alice names bob with his endpoint" state_has alice \
  'member($b) | .online and .reported and (.endpoint | startswith("192.0.2.2:"))'
expect "bob names alice with hers" state_has bob 'member($a).endpoint | startswith("198.51.100.2:")'

declare -A before
for key in tx_packets rx_packets tx_bytes rx_bytes; do
  before[alice_$key]=$(count alice "$B" "$key")
  before[bob_$key]=$(count bob "$A" "$key")
done
expect "alice pings bob three times" in_ns "$alice_ns" ping -c 3 -i 0.2 -W 2 "$B"
grew() {  # NAME PEER KEY AT_LEAST
  local now
  now=$(count "$1" "$2" "$3")
  echo "    [$1] $3: ${before[$1_$3]} -> $now"
  [ "$now" -ge $(( ${before[$1_$3]} + $4 )) ]
}
expect "alice counts the 3 requests sent" grew alice "$B" tx_packets 3
expect "alice counts the 3 replies received" grew alice "$B" rx_packets 3
expect "bob counts the 3 requests received" grew bob "$A" rx_packets 3
expect "bob counts the 3 replies sent" grew bob "$A" tx_packets 3
expect "and their bytes, at least 84 each" grew bob "$A" rx_bytes $((3 * 84))
expect "alice heard from bob just now" state_has alice 'member($b).tunnel.last_rx_ms < 10000'
expect "nothing was dropped" state_has bob '[member($a).tunnel.dropped[]] | add == 0'

in_ns "$router" nft -f - <<EOF
table ip twice {
  chain copy {
    type filter hook prerouting priority 0;
    ip saddr 198.51.100.2 ip daddr 192.0.2.2 ip protocol udp dup to 192.0.2.2 device "$router_to_bob"
  }
}
EOF
expect "with every datagram to bob sent twice, ping still works" \
  in_ns "$alice_ns" ping -c 2 -i 0.2 -W 2 "$B"
in_ns "$router" nft delete table ip twice
wait_for 5 "bob to count the copies as replays" state_has bob 'member($a).tunnel.dropped.replay >= 2'
expect "... and nothing else as dropped" state_has bob \
  'member($a).tunnel.dropped | .authentication + .shaper + .bad_packet == 0'
q bob list --json | jq -c --arg a "$A" "$MEMBER member(\$a).tunnel"

expect "alice asks for the nicknames" q_says alice 'Retrieving' get-nicks
wait_for 10 "alice to know bob's nickname" state_has alice 'member($b).nickname == "bob"'
expect "alice's peers table shows bob's row" q_says alice "^$B  *bob  *192\.0\.2\.2:[0-9]*  " peers
peers_json_has() { q alice peers --json | jq -e --arg b "$B" "$1" >/dev/null; }
expect "peers --json has the same row" peers_json_has \
  '.[0].address == $b and (.[0].endpoint | startswith("192.0.2.2:")) and .[0].rx_bytes > 0'

expect "bob stops" q_says bob 'Shutting down .. ok' stop
plain=0
q bob list >/dev/null || plain=$?
json=0
out=$(q bob list --json 2>/dev/null) || json=$?
expect "without a daemon, list exits with 254" test "$plain" -eq 254
expect "... and list --json too ($json), printing nothing on standard output" \
  test "$json" -eq "$plain" -a -z "$out"
echo "inspect: all checks passed"
