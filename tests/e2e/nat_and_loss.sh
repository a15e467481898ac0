#!/usr/bin/env bash
# A third client behind a masquerading NAT reaches the two on the open
# underlay through the server's hole punching; then the underlay loses 5% of all
# packets (and, where the kernel has netem, delays them by 20 ms), and a
# login and a transfer still complete.
#
#   +---------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice   |-----------------| router |----------------| server |
#   +---------+                 |        |                +--------+
#   +---------+  192.0.2.0/24   |        |
#   | bob     |-----------------|        | 198.18.0.0/24  +-----+ 100.64.0.0/24 +-------+
#   +---------+                 |        |----------------| nat |---------------| carol |
#                               +--------+                +-----+  masquerade   +-------+
set -euo pipefail
BUILD=${1:?usage: nat_and_loss.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world
command -v nft >/dev/null || e2e_skip "needs nft (nftables) for the NAT router"

routed_world
add_host bob_ns 192.0.2
add_nat nat_ns 198.18.0
ns_add carol_ns c
link_ns "$carol_ns" 100.64.0.2/24 "$nat_ns" 100.64.0.1/24
in_ns "$carol_ns" ip route add default via 100.64.0.1

server_start "$srv" 203.0.113.2
client_start alice "$alice_ns" 203.0.113.2
client_start bob "$bob_ns" 203.0.113.2
client_start carol "$carol_ns" 203.0.113.2

expect "alice logs in" q_says alice ' ok' login
expect "bob logs in" q_says bob ' ok' login
expect "carol logs in from behind the NAT" q_says carol ' ok' login
A=$(vip alice)
B=$(vip bob)
C=$(vip carol)
expect "alice creates nat-net" q_says alice ' ok' create nat-net pw-nat
expect "bob joins nat-net" q_says bob ' ok' join nat-net pw-nat
expect "carol joins nat-net" q_says carol ' ok' join nat-net pw-nat
expect "alice goes online" q_says alice ' ok' go-online nat-net
expect "bob goes online" q_says bob ' ok' go-online nat-net
expect "carol goes online" q_says carol ' ok' go-online nat-net

wait_for 15 "alice to list carol with an endpoint" listed_with_tunnel alice "$C"
wait_for 15 "carol to list alice with an endpoint" listed_with_tunnel carol "$A"
wait_for 15 "bob to list carol with an endpoint" listed_with_tunnel bob "$C"
wait_for 15 "carol to list bob with an endpoint" listed_with_tunnel carol "$B"
expect "alice sees carol at the NAT's public address" sh -c \
  "'$QUILMAR' -c '$E2E_DIR/alice' list | grep -q '$C .* 198.18.0.2:'"
expect "carol pings alice through the NAT" in_ns "$carol_ns" ping -c 3 -W 2 "$A"
expect "alice pings carol through the NAT" in_ns "$alice_ns" ping -c 3 -W 2 "$C"
expect "bob pings carol through the NAT" in_ns "$bob_ns" ping -c 3 -W 2 "$C"
expect "carol pings bob through the NAT" in_ns "$carol_ns" ping -c 3 -W 2 "$B"

# A lossy underlay: 5% of everything the router forwards is dropped.
in_ns "$router" nft -f - <<'EOF'
table ip lossy {
  chain drop_some { type filter hook forward priority -10; numgen random mod 100 < 5 drop; }
}
EOF
delay="no delay (this kernel has no netem)"
for dev in $(in_ns "$router" ls /sys/class/net | grep -v '^lo$'); do
  if in_ns "$router" tc qdisc add dev "$dev" root netem delay 20ms 2>/dev/null; then
    delay="20 ms delay"
  fi
done
echo "underlay: 5% loss, $delay"
expect "logout under loss" q_says carol ' ok' logout
expect "login under loss" q_says carol ' ok' login
wait_for 30 "carol to list alice again" listed_with_tunnel carol "$A"
tcp_transfer "$carol_ns" "$alice_ns" "$A" 5002 2 120
echo "nat and loss: all checks passed"
