#!/usr/bin/env bash
# The real daemon against the real quilmar-server on loopback, without
# root: two clients with DummyTap enrol, create and join a network, go
# online and are introduced to each other; after a server restart the
# store still knows them, and they log in again with their old identities
# by themselves.
set -euo pipefail
BUILD=${1:?usage: client_server.sh BUILD_DIR}
QUILMAR=$BUILD/client/quilmar
QUILMAR_INIT=$BUILD/client/quilmar-init
QUILMAR_SERVER=$BUILD/server/quilmar-server

WORK=$(mktemp -d /tmp/quilmar-cs.XXXX)
PIDS=()
cleanup() {
  local status=$?
  for pid in "${PIDS[@]}"; do
    { kill -KILL "$pid" && wait "$pid"; } 2>/dev/null || true
  done
  if [ $status -ne 0 ]; then
    for log in "$WORK"/*.log; do
      [ -f "$log" ] && { echo "---- $(basename "$log")"; tail -n 40 "$log"; }
    done
  fi
  rm -rf "$WORK"
  exit $status
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }
ok() { echo "ok: $*"; }

wait_for() {  # SECONDS DESCRIPTION COMMAND...
  local deadline=$(( $(date +%s) + $1 )) what=$2; shift 2
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# A free TCP port on loopback (the server binds UDP on the same number).
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null ||
       echo $(( 20000 + $$ % 20000 )))

server_start() {
  "$QUILMAR_SERVER" run -d "$WORK/server" -l 127.0.0.1 -p "$PORT" >>"$WORK/server.log" 2>&1 &
  SERVER=$!
  PIDS+=($SERVER)
  wait_for 10 "the server to listen" grep -q "listening" "$WORK/server.log"
}

daemon_start() {  # NAME
  "$QUILMAR" -c "$WORK/$1" start debug >>"$WORK/$1.log" 2>&1 &
  PIDS+=($!)
  eval "${1}_pid=$!"
  wait_for 10 "$1's control socket" test -S "$WORK/$1/ipc_sock"
}

q() { local name=$1; shift; "$QUILMAR" -c "$WORK/$name" "$@"; }

"$QUILMAR_SERVER" init -d "$WORK/server" >/dev/null || fail "server init"
server_start
for name in alice bob; do
  "$QUILMAR_INIT" -c "$WORK/$name" -n "$name" >/dev/null || fail "quilmar-init $name"
  cp "$WORK/server/server.pub" "$WORK/$name/server.pub"
  printf 'ServerAddress 127.0.0.1:%s\nDummyTap yes\n' "$PORT" >"$WORK/$name/config"
  daemon_start "$name"
done

q alice login | grep -q ' ok$' || fail "alice's login"
q bob login | grep -q ' ok$' || fail "bob's login"
grep -q 'ses: state 5.0 -> 5.1' "$WORK/alice.log" || fail "alice did not enrol"
A=$(sed -n 's/^Identity[[:space:]]*//p' "$WORK/alice/state")
B=$(sed -n 's/^Identity[[:space:]]*//p' "$WORK/bob/state")
[ -n "$A" ] && [ -n "$B" ] && [ "$A" != "$B" ] || fail "identities '$A' and '$B'"
ok "both enrolled: alice $A, bob $B"

q alice create team-net hunter22 | grep -q ' ok$' || fail "create"
q bob create team-net other | grep -q 'network name is already taken' || fail "name taken"
q bob join team-net wrong | grep -q 'invalid password' || fail "bad password"
q bob join team-net hunter22 | grep -q ' ok$' || fail "join"
q alice go-online team-net | grep -q ' ok$' || fail "alice go-online"
q bob go-online team-net | grep -q ' ok$' || fail "bob go-online"
wait_for 10 "alice's peer.ok for bob" grep -q "ses: received peer.ok $B -- 127.0.0.1:" "$WORK/alice.log"
wait_for 10 "bob's peer.ok for alice" grep -q "ses: received peer.ok $A -- 127.0.0.1:" "$WORK/bob.log"
ok "both were introduced to each other"
q alice list | grep -E "^     \* $B " >/dev/null || fail "alice's list does not show bob online"

# The store outlives the server process; the clients come back by themselves.
kill -TERM "$SERVER"
wait "$SERVER" || fail "the server did not end cleanly on SIGTERM"
server_start
wait_for 20 "alice's second login" sh -c "grep -c 'ses: ready' '$WORK/alice.log' | grep -qx 2"
wait_for 20 "bob's second login" sh -c "grep -c 'ses: ready' '$WORK/bob.log' | grep -qx 2"
grep -q "ses: sending auth $A" "$WORK/alice.log" || fail "alice did not log in with her old identity"
q alice list | grep -q 'team-net' || fail "team-net was lost across the restart"
ok "identities and networks survived the server restart"

# A daemon restarted with AutoLogin logs in with auth, not enroll.
kill -TERM "$alice_pid"
wait "$alice_pid" 2>/dev/null || true
daemon_start alice
wait_for 20 "alice's login after her restart" sh -c "grep -c 'ses: ready' '$WORK/alice.log' | grep -qx 3"
[ "$(sed -n 's/^Identity[[:space:]]*//p' "$WORK/alice/state")" = "$A" ] || fail "alice's identity changed"
ok "a restarted daemon logs in again with its identity"
echo "client and server: all checks passed"
