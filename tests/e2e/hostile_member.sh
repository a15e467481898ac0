#!/usr/bin/env bash
# A hostile member beside two honest ones on a routed underlay; Alice and
# Bob each with their own tapwarden and tap interface, Mallory a scripted
# client that speaks the server protocol itself:
#
#   +---------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice   |-----------------| router |----------------| server |
#   | tap 5.x |                 |        |                +--------+
#   +---------+                 |        | 192.0.2.0/24   +---------+
#                               |        |----------------| bob     |
#                               |        |                | tap 5.x |
#                               |        | 100.64.0.0/24  +---------+
#                               |        |----------------| mallory |
#                               +--------+                +---------+
#
# Alice and Bob ping each other every 100 ms over lab-net while Mallory,
# a member of lab-net too, goes online and offline in it as fast as the
# server lets her (tests/e2e/hostile_member_client.cpp) and tries wrong
# passwords on Alice's other network. No ping may be lost and no reply may
# take 100 ms or more: the server paces her changes and introduces her
# (each introduction makes Alice and Bob punch) about once a second.
set -euo pipefail
BUILD=${1:?usage: hostile_member.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world

PINGS=150  # 15 seconds at 10 a second
HOSTILE=$BUILD/tests/hostile_member_client
[ -x "$HOSTILE" ] || { echo "FAIL: $HOSTILE not built"; exit 1; }

routed_world
add_host bob_ns 192.0.2
add_host mallory_ns 100.64.0

server_start "$srv" 203.0.113.2
client_start alice "$alice_ns" 203.0.113.2
client_start bob "$bob_ns" 203.0.113.2

for host in alice bob; do
  expect "$host logs in" q_says "$host" 'Logging in .*ok' login
done
A=$(vip alice)
B=$(vip bob)
echo "alice is $A, bob is $B"

expect "alice creates lab-net" q_says alice ' ok' create lab-net s3cret
expect "alice creates vault" q_says alice ' ok' create vault v4ult-pw
expect "bob joins lab-net" q_says bob ' ok' join lab-net s3cret
expect "alice goes online" q_says alice ' ok' go-online lab-net
expect "bob goes online" q_says bob ' ok' go-online lab-net
wait_for 15 "alice to list bob online with an endpoint" listed_with_tunnel alice "$B"
wait_for 15 "bob to list alice online with an endpoint" listed_with_tunnel bob "$A"
expect "alice reaches bob" in_ns "$alice_ns" ping -c 2 -W 2 "$B"

spawn "$E2E_DIR/ping-ab.txt" ip netns exec "$alice_ns" ping -i 0.1 -c $PINGS -W 1 "$B"
PING_AB=$SPAWNED
spawn "$E2E_DIR/ping-ba.txt" ip netns exec "$bob_ns" ping -i 0.1 -c $PINGS -W 1 "$A"
PING_BA=$SPAWNED

# Mallory, for as long as the pings run.
mallory() {
  in_ns "$mallory_ns" "$HOSTILE" 203.0.113.2 "$E2E_DIR/server/server.pub" 100.64.0.2 \
    lab-net s3cret vault $((PINGS / 10)) >"$E2E_DIR/mallory.txt"
}
expect "mallory toggles and guesses, and is answered throughout" mallory
read -r _ made _ refused _ guesses _ denied <"$E2E_DIR/mallory.txt"
echo "mallory made $made changes, $refused were refused; $guesses wrong passwords, $denied denied"
wait_for 10 "both pings to finish" sh -c "! kill -0 $PING_AB 2>/dev/null && ! kill -0 $PING_BA 2>/dev/null"

expect "mallory changed her presence again and again" test "$made" -ge 10
expect "the server refused most of her changes" test "$refused" -gt "$made"
expect "her guesses were cut short" test "$denied" -gt "$guesses"

# ping_ok FILE: every ping answered, the slowest reply under 100 ms.
ping_ok() {
  local file=$1 max
  sed 's/^/    /' <(tail -n 2 "$file")
  grep -q " $PINGS received, 0% packet loss" "$file" || return 1
  max=$(sed -n 's|^rtt .* = [0-9.]*/[0-9.]*/\([0-9.]*\)/.*|\1|p' "$file")
  awk -v max="$max" 'BEGIN { exit !(max != "" && max < 100) }'
}
expect "alice's pings to bob: none lost, none slower than 100 ms" ping_ok "$E2E_DIR/ping-ab.txt"
expect "bob's pings to alice: none lost, none slower than 100 ms" ping_ok "$E2E_DIR/ping-ba.txt"
echo "hostile member: all checks passed"
