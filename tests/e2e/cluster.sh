#!/usr/bin/env bash
# Two servers on one PostgreSQL serve as one. Every client knows the servers
# by one name, servers.test, with both addresses (each host has its own
# /etc/hosts; bob's lists server two first, so he starts there):
#
#   +-------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +------------+
#   | alice |-----------------| router |----------------| server one |--+
#   +-------+                 |        |                +------------+  |  PostgreSQL
#   +-------+ 192.0.2.0/24    |        | 198.18.0.0/24  +------------+  |  on a Unix
#   | bob   |-----------------|        |----------------| server two |--+  socket
#   +-------+                 |        |                +------------+
#   +-------+ 100.64.1.0/24   |        |
#   | carol |-----------------|        |
#   +-------+                 +--------+
#
# Alice and carol log in to server one, bob to server two; they share a
# network and ping across servers. Server one is killed: alice and carol
# come back through server two and ping again within 15 s, and bob saw
# them go offline and return. Server one comes back and server two is
# stopped with SIGTERM: bob is handed over to server one without a failed
# login, and the pings go on.
set -euo pipefail
BUILD=${1:?usage: cluster.sh BUILD_DIR}
source "$(dirname "$0")/lib.sh"
require_world
postgres_start

routed_world
ns_add srv2 t
add_host srv2 198.18.0
add_host bob_ns 192.0.2
add_host carol_ns 100.64.1
cluster_server_start one "$srv" 203.0.113.2
cluster_server_start two "$srv2" 198.18.0.2

hosts_file() { printf '%s servers.test\n' "$@" >"$E2E_DIR/hosts-$1"; echo "$E2E_DIR/hosts-$1"; }
E2E_HOSTS=$(hosts_file 203.0.113.2 198.18.0.2) client_start alice "$alice_ns" servers.test
E2E_HOSTS=$(hosts_file 198.18.0.2 203.0.113.2) client_start bob "$bob_ns" servers.test
E2E_HOSTS=$(hosts_file 203.0.113.2 198.18.0.2) client_start carol "$carol_ns" servers.test
log_in alice bob carol
A=$(vip alice) B=$(vip bob) C=$(vip carol)
echo "alice is $A, bob is $B, carol is $C"
on_server() { grep -q "srv: $2 (.*) ready" "$E2E_DIR/$1.log"; }
expect "alice is served by server one" on_server one "$A"
expect "bob is served by server two" on_server two "$B"

share_network lab-net alice bob carol
wait_for 15 "alice to list bob with a tunnel" listed_with_tunnel alice "$B"
wait_for 15 "bob to list carol with a tunnel" listed_with_tunnel bob "$C"
expect "alice pings bob across servers" in_ns "$alice_ns" ping -c 2 -W 2 "$B"
expect "bob pings carol across servers" in_ns "$bob_ns" ping -c 2 -W 2 "$C"

kill -KILL -- "-${CLUSTER_PIDS[one]}"
killed_at=$(date +%s)
wait_for 15 "alice to be back through server two" on_server two "$A"
wait_for 15 "carol to be back through server two" on_server two "$C"
wait_for 15 "bob to list alice with a tunnel again" listed_with_tunnel bob "$A"
expect "bob pings alice again" in_ns "$bob_ns" ping -c 2 -W 2 "$A"
expect "alice pings carol again" in_ns "$alice_ns" ping -c 2 -W 2 "$C"
echo "ok: back and pinging $(( $(date +%s) - killed_at )) s after the kill"
expect "within 15 s" test $(( $(date +%s) - killed_at )) -le 15
expect "bob saw alice go offline" grep -q "ses: received peer.unreachable $A" "$E2E_DIR/bob.log"

cluster_server_start one "$srv" 203.0.113.2
kill -TERM -- "-${CLUSTER_PIDS[two]}"
wait_for 10 "server two to exit" sh -c "! kill -0 ${CLUSTER_PIDS[two]}"
expect "server two handed bob to server one" grep -q "srv: $B (.*) handed to 203.0.113.2:12975" \
  "$E2E_DIR/two.log"
wait_for 15 "bob to be served by server one" on_server one "$B"
# After the redirect, the one error is the redirect itself; then a login.
redirect_then_login() {
  local after
  after=$(sed -n '/ses: redirect to 203.0.113.2:12975/,$p' "$E2E_DIR/bob.log")
  [ "$(grep -c 'ses: error' <<<"$after")" -eq 1 ] && grep -q 'received auth.ok' <<<"$after"
}
expect "bob logged in at once after the redirect" redirect_then_login
wait_for 15 "alice to list bob with a tunnel again" listed_with_tunnel alice "$B"
expect "alice pings bob after the hand-over" in_ns "$alice_ns" ping -c 2 -W 2 "$B"
echo "cluster: all checks passed"
