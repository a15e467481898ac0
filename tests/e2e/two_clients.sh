#!/usr/bin/env bash
# Two clients and a server on a routed underlay, each client with its own
# tapwarden and tap interface:
#
#   +---------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice   |-----------------| router |----------------| server |
#   | tap 5.x |                 |        |                +--------+
#   +---------+                 |        | 192.0.2.0/24   +--------+
#                               |        |----------------| bob    |
#                               +--------+                | tap 5.x|
#                                                         +--------+
#
# Alice creates a network, Bob joins it; ping between their 5.x addresses
# fails before both go online and works after; a TCP transfer crosses the
# tunnel intact; go-offline stops the traffic; the server is killed and
# restarted and both clients come back by themselves; leave and evict.
set -euo pipefail
BUILD=${1:?usage: two_clients.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world

routed_world
add_host bob_ns 192.0.2

alice_and_bob_in_lab_net

expect "no traffic before going online" fails in_ns "$alice_ns" ping -c 1 -W 1 "$B"

expect "alice goes online" q_says alice ' ok' go-online lab-net
expect "bob goes online" q_says bob ' ok' go-online lab-net

wait_for 15 "alice to list bob online with an endpoint" listed_with_tunnel alice "$B"
wait_for 15 "bob to list alice online with an endpoint" listed_with_tunnel bob "$A"
q alice list

expect "alice pings bob over the tunnel" in_ns "$alice_ns" ping -c 3 -W 2 "$B"
expect "bob pings alice over the tunnel" in_ns "$bob_ns" ping -c 3 -W 2 "$A"
expect "alice's neighbour entry for bob is 00:ff:..." sh -c \
  "ip netns exec $alice_ns ip neigh show $B | grep -qi 'lladdr 00:ff:'"

# A few megabytes over TCP, checked end to end.
tcp_transfer "$alice_ns" "$bob_ns" "$B" 5001 4 60

expect "bob goes offline in lab-net" q_says bob ' ok' go-offline lab-net
expect "go-offline stops the traffic" fails in_ns "$alice_ns" ping -c 2 -W 1 "$B"
expect "bob goes online again" q_says bob ' ok' go-online lab-net
wait_for 15 "alice to list bob again" listed_with_tunnel alice "$B"
expect "traffic flows again" in_ns "$alice_ns" ping -c 2 -W 2 "$B"

# Nobody types a command: the daemons reconnect and restore their networks.
logged_in() { q "$1" | grep -q 'status   : logged in'; }
server_stop
# While they wait to reconnect the daemons keep their tables, tunnels
# included, but cannot send: only a new login counts.
wait_for 10 "alice to notice the server is gone" fails logged_in alice
wait_for 10 "bob to notice the server is gone" fails logged_in bob
server_start "$srv" 203.0.113.2
wait_for 30 "alice to log in again" logged_in alice
wait_for 30 "bob to log in again" logged_in bob
wait_for 30 "alice to list bob after the server restart" listed_with_tunnel alice "$B"
wait_for 30 "bob to list alice after the server restart" listed_with_tunnel bob "$A"
expect "ping works after the server restart" in_ns "$alice_ns" ping -c 2 -W 2 "$B"

expect "bob leaves lab-net" q_says bob ' ok' leave lab-net
expect "after leaving, alice's list no longer shows bob" fails q_says alice " $B " list
expect "bob joins again" q_says bob ' ok' join lab-net s3cret
expect "alice evicts bob" q_says alice ' ok' evict lab-net $B
expect "bob no longer lists lab-net" fails q_says bob lab-net list
echo "two clients: all checks passed"
