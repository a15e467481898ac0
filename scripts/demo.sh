#!/usr/bin/env bash
# The demo: builds Quilmar, then runs a small world on this machine: a
# mediation server (with the demo key) and two client hosts, each in its
# own network namespace with its own tapwarden and tap interface, and the
# demo key's public half as its server.pub. Shows
# what a user sees (login, the network listing on both sides) and ping
# between the two virtual 5.x addresses, then removes everything it made.
# Needs root (namespaces and tap devices).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_deps

echo "== building =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target quilmar quilmar-server tapwarden >/dev/null
BUILD=$PWD/build

SERVER_DEMO=1
source tests/e2e/lib.sh
require_world

#   alice 198.51.100.2 --- router --- 203.0.113.2 server (demo key)
#                            \------ 192.0.2.2   bob
routed_world
add_host bob_ns 192.0.2

echo "== a mediation server (demo key) on 203.0.113.2, two hosts: alice and bob =="
echo "   (each host trusts it through keys/demo-server-for-clients.pub as its server.pub)"
server_start "$srv" 203.0.113.2
client_start alice "$alice_ns" 203.0.113.2
client_start bob "$bob_ns" 203.0.113.2

show() {  # NAME ARGS...: runs NAME's client as the user would, showing the command
  local name=$1; shift
  echo "$name\$ quilmar $*"
  q "$name" "$@"
}
show alice login
show bob login
show alice create demo-net demo-password
show bob join demo-net demo-password
show alice go-online demo-net
show bob go-online demo-net
A=$(vip alice)
B=$(vip bob)
wait_for 15 "alice to see bob's tunnel" sh -c "'$QUILMAR' -c '$E2E_DIR/alice' list | grep -q ':[0-9]'"
wait_for 15 "bob to see alice's tunnel" sh -c "'$QUILMAR' -c '$E2E_DIR/bob' list | grep -q ':[0-9]'"
show alice get-nicks
show bob get-nicks
wait_for 5 "the nicknames" sh -c "'$QUILMAR' -c '$E2E_DIR/alice' list | grep -q bob"
show alice list
show bob list
echo "alice\$ ping -c 3 $B"
in_ns "$alice_ns" ping -c 3 -W 2 "$B"
echo "bob\$ ping -c 3 $A"
in_ns "$bob_ns" ping -c 3 -W 2 "$A"
echo "== demo done: cleaning up =="
