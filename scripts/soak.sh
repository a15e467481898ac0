#!/usr/bin/env bash
# Soak and fault drills: three clients and a server keep talking for
# MINUTES (default 30) while the world around them is broken again and
# again, and every time we time how long they take to talk again.
#
#   +-------+ 198.51.100.0/24 +--------+ 203.0.113.0/24 +--------+
#   | alice |-----------------| router |----------------| server |
#   +-------+                 | loss,  |                +--------+
#   +-------+  192.0.2.0/24   | reorder|
#   | bob   |-----------------| bursts |
#   +-------+                 |        |
#   +-------+  198.18.0.0/24  |        |
#   | carol |-----------------|        |
#   +-------+                 +--------+
#
# Traffic all along: pings five times a second between every pair of
# clients, and from alice to bob a TCP stream paced to 256 KiB/s in
# transfers of 4 MiB, each checked against its source.
#
# One round of faults, repeated while the time lasts:
#   loss     30% of what the router forwards is dropped for a while
#   reorder  30% of it is held in a slow queue, so it overtakes and is
#            overtaken
#   linkdown alice's underlay link is down for 20 s
#   warden   carol's tapwarden is restarted under her running daemon
#   client   carol's daemon is killed (SIGKILL) and started again; it must
#            come back with the same identity
#   srvkill  the server is killed (SIGKILL) and started again
#   srvterm  the server is stopped (SIGTERM) and started again
#   pause    bob's daemon is stopped (SIGSTOP) for 60 s, as by a laptop's
#            suspend, then continued
#   suspend  the same, but while bob sleeps the server is restarted and its
#            goodbye never reaches bob, as when a laptop sleeps through it:
#            bob's connection is dead and only bob can find out
# Recovery is the time from the fault's end (link up, server listening,
# daemon running, SIGCONT) until every pair's pings are answered again.
#
# With fewer than 10 minutes the round runs once, with shorter bursts and
# quiet spells and a 20 s suspend (about 3 minutes): that is how the
# end-to-end suite runs it. SOAK_LOGS=DIR keeps every log of the run in DIR;
# SOAK_FAULTS="pause suspend" runs only the faults named.
#
# It fails when a recovery takes more than 15 s, when a process's memory
# grows by more than 1 MiB per hour (at least 1 MiB is allowed: a short
# span cannot tell growth from buffers filled for the first time; a long
# run is judged from the end of its first round, when every fault has
# happened once), when any descriptors leak, or when a transfer arrives
# corrupted. The log shows everyone's memory after each round.
#
# Usage: scripts/soak.sh [MINUTES] [BUILD_DIR]   (as root; BUILD_DIR
# defaults to ./build)
set -euo pipefail
MINUTES=${1:-30}
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${2:-$SOURCE/build}" && pwd)
[[ $MINUTES =~ ^[0-9]+$ && $MINUTES -ge 1 ]] || { echo "usage: soak.sh [MINUTES] [BUILD_DIR]"; exit 1; }
source "$SOURCE/tests/e2e/lib.sh"
require_world
command -v nft >/dev/null || e2e_skip "needs nft (nftables) for the router's faults"
command -v tc >/dev/null || e2e_skip "needs tc (iproute2) for the reordering queue"
command -v nsenter >/dev/null || e2e_skip "needs nsenter (util-linux)"
if [ -n "${SOAK_LOGS:-}" ]; then
  mkdir -p "$SOAK_LOGS"
  trap 'status=$?; set +e; cp "$E2E_DIR"/*.log "$E2E_DIR/transfers" "$SOAK_LOGS"/ 2>/dev/null
        (exit $status); world_cleanup' EXIT
fi

RECOVERY_LIMIT=15
PING_PAIRS=(alice:bob alice:carol bob:alice bob:carol carol:alice carol:bob)
if [ "$MINUTES" -lt 10 ]; then
  SHORT=1 BURST=10 LINK_DOWN=20 PAUSE=60 SUSPEND=20 QUIET=3
else
  SHORT=0 BURST=30 LINK_DOWN=20 PAUSE=60 SUSPEND=60 QUIET=20
fi
T_START=$(date +%s)
T_END=$((T_START + MINUTES * 60))
now() { date +%s.%N | cut -c1-14; }
say() { echo "[$(date -u +%H:%M:%S)] $*"; }

# ---- the world --------------------------------------------------------

router_world
add_host srv 203.0.113
add_host alice_ns 198.51.100
ALICE_LINK=$LINK_IF2  # the router's end of alice's underlay
add_host bob_ns 192.0.2
add_host carol_ns 198.18.0

# Faults on everything the router forwards: a loss set and a reordering
# set, both empty until a burst fills them in.
nft_in "$router" <<'EOF'
table ip soak {
  chain forward { type filter hook forward priority -10; }
}
EOF
# Packets marked with priority 1:20 wait in a slow class while the rest
# pass at once: the kernel here may have no netem, but it has htb.
for dev in $(in_ns "$router" ls /sys/class/net | grep -v '^lo$'); do
  in_ns "$router" tc qdisc add dev "$dev" root handle 1: htb default 10
  in_ns "$router" tc class add dev "$dev" parent 1: classid 1:10 htb rate 10gbit quantum 60000
  in_ns "$router" tc class add dev "$dev" parent 1: classid 1:20 htb rate 2mbit ceil 2mbit
done
fault_rule() { in_ns "$router" nft add rule ip soak forward "$@"; }
faults_clear() { in_ns "$router" nft flush chain ip soak forward; }

# Each client host keeps one mount namespace for its whole life, with its
# own /run, so that tapwarden and the daemon can each be restarted in it.
declare -A HOLDER TAPW DAEMON NS
host_up() {
  local name=$1 ns=$2
  NS[$name]=$ns
  spawn "$E2E_DIR/$name-holder.log" ip netns exec "$ns" unshare -m sh -c \
    "mount -t tmpfs tmpfs /run && touch /run/.soak && exec sleep 2147483647"
  HOLDER[$name]=$SPAWNED
  wait_for 10 "$name's namespace" in_host "$name" test -f /run/.soak
  "$QUILMAR_INIT" -c "$E2E_DIR/$name" -n "$name" >/dev/null
  cp "$E2E_DIR/server/server.pub" "$E2E_DIR/$name/server.pub"
  echo "ServerAddress 203.0.113.2" >"$E2E_DIR/$name/config"
  tapwarden_start "$name"
  daemon_start "$name"
}
in_host() {
  local name=$1; shift
  nsenter -t "${HOLDER[$name]}" -m -n "$@"
}
tapwarden_start() {
  spawn "$E2E_DIR/$1-tapwarden.log" nsenter -t "${HOLDER[$1]}" -m -n "$TAPWARDEN"
  TAPW[$1]=$SPAWNED
  wait_for 10 "$1's tapwarden" in_host "$1" sh -c "ss -xlH | grep -q /run/tapwarden.sock"
}
daemon_start() {
  rm -f "$E2E_DIR/$1/ipc_sock"
  spawn "$E2E_DIR/$1.log" nsenter -t "${HOLDER[$1]}" -m -n "$QUILMAR" -c "$E2E_DIR/$1" start debug
  DAEMON[$1]=$SPAWNED
  wait_for 10 "$1's daemon" q "$1"
}
logged_in() { q "$1" | grep -q 'status   : logged in'; }
gone() { ! kill -0 "$1" 2>/dev/null; }

server_start "$srv" 203.0.113.2
host_up alice "$alice_ns"
host_up bob "$bob_ns"
host_up carol "$carol_ns"
log_in alice bob carol
share_network soak-net alice bob carol
declare -A VIP=([alice]=$(vip alice) [bob]=$(vip bob) [carol]=$(vip carol))
say "alice is ${VIP[alice]}, bob ${VIP[bob]}, carol ${VIP[carol]}"
for pair in "${PING_PAIRS[@]}"; do
  from=${pair%:*} to=${pair#*:}
  wait_for 30 "$from to list $to with a tunnel" listed_with_tunnel "$from" "${VIP[$to]}"
done

# ---- traffic ----------------------------------------------------------

# One pinger per ordered pair, its replies stamped with the time; should
# ping itself give up, it is started again.
for pair in "${PING_PAIRS[@]}"; do
  from=${pair%:*} to=${pair#*:}
  spawn "$E2E_DIR/ping-$from-$to.log" ip netns exec "${NS[$from]}" sh -c \
    "while [ ! -f '$E2E_DIR/stop' ]; do ping -D -n -i 0.2 -W 1 '${VIP[$to]}'; sleep 1; done"
done

# The stream: transfers of 4 MiB one after the other, 64 KiB every 0.25 s.
# One cut by a fault must still be a clean prefix of what was sent; one
# that ends must be whole.
head -c $((4 << 20)) /dev/urandom >"$E2E_DIR/payload"
PAYLOAD_SUM=$(sha256sum <"$E2E_DIR/payload" | cut -c1-16)
paced_payload() {
  local i
  for ((i = 0; i < 64; i++)); do
    dd if="$E2E_DIR/payload" bs=64K skip=$i count=1 status=none || return
    sleep 0.25
  done
}
stream_loop() {
  set +e
  local n=0 result sink
  while [ ! -f "$E2E_DIR/stop" ]; do
    n=$((n + 1))
    rm -f "$E2E_DIR/received"
    ip netns exec "$bob_ns" timeout 600 nc -l -p 5001 >"$E2E_DIR/received" &
    sink=$!
    local waited=0
    until ip netns exec "$bob_ns" ss -ltnH | grep -q ':5001 ' || [ $waited -ge 50 ]; do
      sleep 0.1; waited=$((waited + 1))
    done
    paced_payload | ip netns exec "$alice_ns" timeout 600 nc -N "${VIP[bob]}" 5001
    local sent=$?
    wait "$sink"
    local got
    got=$(stat -c %s "$E2E_DIR/received")
    if cmp -s "$E2E_DIR/payload" "$E2E_DIR/received"; then
      result=intact
    elif [ "$got" -lt $((4 << 20)) ] && cmp -s -n "$got" "$E2E_DIR/payload" "$E2E_DIR/received"; then
      result="cut short"  # a fault broke the connection: a prefix, not corruption
    else
      result=CORRUPT
      cp "$E2E_DIR/received" "$E2E_DIR/corrupt-$n"
    fi
    echo "$n $result $got $sent" >>"$E2E_DIR/transfers"
    # A refused connection (bob's daemon away) is tried again soon, not at once.
    [ "$got" -gt 0 ] || sleep 1
  done
}
stream_loop >"$E2E_DIR/stream.log" 2>&1 &
E2E_PIDS+=($!)
: >"$E2E_DIR/transfers"

# ---- measures ---------------------------------------------------------

# rss_kib PID, fds PID: the resident memory and open descriptors of a process.
rss_kib() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }
procs() { echo "server:$SERVER_PID alice:${DAEMON[alice]} bob:${DAEMON[bob]} carol:${DAEMON[carol]}"; }
declare -A RSS0 FD0 RSS1 FD1 RSSW FDW
snapshot() {  # snapshot ARRAY_SUFFIX
  local entry role pid
  for entry in $(procs); do
    role=${entry%:*} pid=${entry#*:}
    eval "RSS$1[\$role]=\$(rss_kib \$pid)"
    eval "FD$1[\$role]=\$(fds \$pid)"
  done
}

# One line of the log with everyone's memory and descriptors.
snapshot_line() {
  local entry role pid line=""
  for entry in $(procs); do
    role=${entry%:*} pid=${entry#*:}
    line+=" $role $(rss_kib "$pid") KiB $(fds "$pid") fds,"
  done
  say "$1:${line%,}"
}

# first_reply_after FILE OFFSET T: the time stamp of the first reply in FILE
# past byte OFFSET received at T or later.
first_reply_after() {
  tail -c +$(($2 + 1)) "$1" 2>/dev/null | awk -v t="$3" '
    /bytes from/ { ts = substr($1, 2, length($1) - 2); if (ts + 0 >= t + 0) { print ts; exit } }'
  true  # tail may be cut off by awk's early exit
}
declare -A OFFSET
mark_logs() {
  local pair
  for pair in "${PING_PAIRS[@]}"; do
    OFFSET[$pair]=$(stat -c %s "$E2E_DIR/ping-${pair%:*}-${pair#*:}.log")
  done
}
# recovered FAULT T0: waits (at most 90 s) until every pair has a reply
# stamped T0 or later, and records the time it took.
declare -A WORST COUNT
recovered() {
  local fault=$1 t0=$2 deadline=$(( ${2%.*} + 90 )) worst pair ts missing
  while :; do
    worst=0 missing=""
    for pair in "${PING_PAIRS[@]}"; do
      ts=$(first_reply_after "$E2E_DIR/ping-${pair%:*}-${pair#*:}.log" "${OFFSET[$pair]}" "$t0")
      if [ -z "$ts" ]; then missing+=" $pair"; continue; fi
      worst=$(awk -v a="$worst" -v b="$ts" -v t="$t0" 'BEGIN { d = b - t; print (d > a ? d : a) }')
    done
    [ -z "$missing" ] && break
    if [ "$(date +%s)" -ge "$deadline" ]; then
      worst=999
      say "FAIL: $fault: no answers after 90 s between$missing"
      break
    fi
    sleep 0.2
  done
  worst=$(printf '%.1f' "$worst")
  say "$fault: pings flow again after ${worst}s"
  COUNT[$fault]=$(( ${COUNT[$fault]:-0} + 1 ))
  if [ -z "${WORST[$fault]:-}" ] || awk -v a="$worst" -v b="${WORST[$fault]}" 'BEGIN { exit !(a > b) }'; then
    WORST[$fault]=$worst
  fi
}

# ---- the faults -------------------------------------------------------

fault_loss() {
  say "loss: 30% of forwarded packets dropped for ${BURST}s"
  fault_rule numgen random mod 100 '<' 30 drop
  sleep "$BURST"
  mark_logs; faults_clear; recovered loss "$(now)"
}
fault_reorder() {
  say "reorder: 30% of forwarded packets held in a slow queue for ${BURST}s"
  fault_rule numgen random mod 100 '<' 30 meta priority set 1:20
  sleep "$BURST"
  mark_logs; faults_clear; recovered reorder "$(now)"
}
fault_linkdown() {
  say "linkdown: alice's underlay down for ${LINK_DOWN}s"
  ip -n "$router" link set "$ALICE_LINK" down
  sleep "$LINK_DOWN"
  mark_logs; ip -n "$router" link set "$ALICE_LINK" up; recovered linkdown "$(now)"
}
fault_warden() {
  say "warden: carol's tapwarden restarted"
  kill -TERM "${TAPW[carol]}"
  wait_for 10 "tapwarden to exit" gone "${TAPW[carol]}"
  mark_logs; local t0; t0=$(now)
  tapwarden_start carol
  recovered warden "$t0"
}
fault_client() {
  say "client: carol's daemon killed and restarted"
  local before; before=$(vip carol)
  kill -KILL "${DAEMON[carol]}"
  wait "${DAEMON[carol]}" 2>/dev/null || true
  mark_logs; local t0; t0=$(now)
  daemon_start carol
  recovered client "$t0"
  expect "carol came back as $before" test "$(vip carol)" = "$before"
  expect "carol logged in again" logged_in carol
}
server_restart() {
  local fault=$1
  wait "$SERVER_PID" 2>/dev/null || true
  mark_logs; local t0; t0=$(now)
  server_start "$srv" 203.0.113.2
  recovered "$fault" "$t0"
}
fault_srvkill() {
  say "srvkill: server killed and restarted"
  kill -KILL "$SERVER_PID"
  wait "$SERVER_PID" 2>/dev/null || true
  server_restart srvkill
}
fault_srvterm() {
  say "srvterm: server stopped and restarted"
  kill -TERM "$SERVER_PID"
  server_restart srvterm
}
fault_pause() {
  say "pause: bob's daemon stopped for ${PAUSE}s"
  kill -STOP "${DAEMON[bob]}"
  sleep "$PAUSE"
  mark_logs; local t0; t0=$(now)
  kill -CONT "${DAEMON[bob]}"
  recovered pause "$t0"
}
fault_suspend() {
  say "suspend: bob's daemon stopped for ${SUSPEND}s, the server restarted meanwhile"
  kill -STOP "${DAEMON[bob]}"
  # The router answers the old server's goodbye to bob in bob's name, so
  # that it is neither delivered nor sent again later.
  fault_rule ip saddr 203.0.113.2 ip daddr 192.0.2.2 tcp sport 12975 reject with tcp reset
  kill -TERM "$SERVER_PID"
  wait "$SERVER_PID" 2>/dev/null || true
  server_start "$srv" 203.0.113.2
  sleep "$SUSPEND"
  faults_clear
  mark_logs; local t0; t0=$(now)
  kill -CONT "${DAEMON[bob]}"
  recovered suspend "$t0"
}
FAULTS=(loss reorder linkdown warden client srvkill srvterm pause suspend)
[ -z "${SOAK_FAULTS:-}" ] || read -r -a FAULTS <<<"$SOAK_FAULTS"
for fault in "${FAULTS[@]}"; do
  declare -F "fault_$fault" >/dev/null || { echo "soak.sh: no fault '$fault'"; exit 1; }
done

# ---- the run ----------------------------------------------------------

mark_logs
recovered start "$(now)"
# Memory is measured from a warm start: once a whole transfer has crossed,
# the buffers that traffic grows have their working size.
wait_for 60 "the first transfer" test -s "$E2E_DIR/transfers"
snapshot 0
T_WARM=
say "soak for $MINUTES minutes: $(procs)"
snapshot_line "start"
round=0
while :; do
  round=$((round + 1))
  say "== round $round"
  for fault in "${FAULTS[@]}"; do
    "fault_$fault"
    sleep "$QUIET"
  done
  snapshot_line "after round $round"
  # Long runs judge growth from the end of the first round, when every kind
  # of fault has filled the buffers it fills once; the start is shown too.
  if [ "$round" = 1 ] && [ "$SHORT" = 0 ]; then
    snapshot W
    T_WARM=$(date +%s)
  fi
  # Another round only if it fits (one takes about 5 minutes).
  [ "$SHORT" = 0 ] && [ $(( $(date +%s) + 330 )) -lt "$T_END" ] || break
done
# Quiet traffic until the time is up, so that the end figures are taken
# from a world at rest, as the start ones were.
while [ "$(date +%s)" -lt "$T_END" ] && [ "$SHORT" = 0 ]; do sleep 5; done
mark_logs
recovered end "$(now)"
snapshot 1
# Let the transfer under way finish, then stop the traffic.
touch "$E2E_DIR/stop"
last=$(wc -l <"$E2E_DIR/transfers")
wait_for 60 "the transfer under way to finish" sh -c "[ \$(wc -l <'$E2E_DIR/transfers') -gt $last ]" || true

# ---- the summary ------------------------------------------------------

# Growth is allowed 1 MiB per hour of the span judged, and at least 1 MiB:
# a short span cannot tell growth from buffers filled for the first time.
judged_from=${T_WARM:-$T_START}
hours=$(awk -v s="$(( $(date +%s) - judged_from ))" 'BEGIN { printf "%.3f", s / 3600 }')
allowed=$(awk -v h="$hours" 'BEGIN { a = 1024 * h; printf "%d", (a < 1024 ? 1024 : a) }')
failed=0
echo
echo "Soak: $MINUTES minutes, $round round(s) of faults, ran $(( $(date +%s) - T_START )) s"
echo
echo "| fault | times | worst recovery (s) |"
echo "|---|---|---|"
for fault in "${FAULTS[@]}"; do
  echo "| $fault | ${COUNT[$fault]:-0} | ${WORST[$fault]:--} |"
  if [ -z "${WORST[$fault]:-}" ] || awk -v a="${WORST[$fault]}" -v l="$RECOVERY_LIMIT" 'BEGIN { exit !(a > l) }'; then
    failed=1
  fi
done
echo
if [ -n "$T_WARM" ]; then
  echo "| process | RSS start (KiB) | RSS after round 1 (KiB) | RSS end (KiB) | fds start | fds end |"
  echo "|---|---|---|---|---|---|"
else
  echo "| process | RSS start (KiB) | RSS end (KiB) | fds start | fds end |"
  echo "|---|---|---|---|---|"
fi
for role in server alice bob carol; do
  base=${RSS0[$role]} warm=""
  [ -z "$T_WARM" ] || { base=${RSSW[$role]}; warm=" ${RSSW[$role]} |"; }
  echo "| $role | ${RSS0[$role]} |$warm ${RSS1[$role]} | ${FD0[$role]} | ${FD1[$role]} |"
  if [ $(( RSS1[$role] - base )) -gt "$allowed" ]; then
    echo "FAIL: $role's memory grew by $(( RSS1[$role] - base )) KiB (at most $allowed allowed)"
    failed=1
  fi
  if [ "${FD1[$role]}" -gt "${FD0[$role]}" ]; then
    echo "FAIL: $role holds $(( FD1[$role] - FD0[$role] )) more descriptors than at the start"
    failed=1
  fi
done
echo
intact=$(grep -c ' intact ' "$E2E_DIR/transfers" || true)
cut=$(grep -c ' cut short ' "$E2E_DIR/transfers" || true)
corrupt=$(grep -c ' CORRUPT ' "$E2E_DIR/transfers" || true)
echo "Transfers alice -> bob of 4 MiB (sha256 $PAYLOAD_SUM...): $intact intact," \
  "$cut cut short by a fault (a clean prefix), $corrupt corrupted"
[ "$corrupt" -eq 0 ] || failed=1
[ "$intact" -gt 0 ] || { echo "FAIL: no transfer completed"; failed=1; }
reordered=$(in_ns "$alice_ns" nstat -asz 2>/dev/null | awk '/Reorder/ { n += $2 } END { print n + 0 }')
echo "Reorderings alice's TCP noticed in the stream: $reordered"
echo
echo "Log lines per kind:"
# The kind of a line is its subsystem prefix ("ses:", "udp:", ...), found
# past the time stamp.
for name in alice bob carol server; do
  printf '  %-7s' "$name"
  awk '{ k = "other"; for (i = 1; i <= 5 && i <= NF; i++) if ($i ~ /^[a-z0-9]+:$/ || $i == "assert") { k = $i; break }
         n[k]++ }
       END { for (k in n) printf " %s %d", k, n[k]; print "" }' "$E2E_DIR/$name.log"
done
errors=$(cat "$E2E_DIR"/{alice,bob,carol}.log | grep -c 'ses: error' || true)
asserts=$(cat "$E2E_DIR"/{alice,bob,carol}.log "$E2E_DIR/server.log" | grep -c 'assert ' || true)
echo "  session errors reported by the daemons: $errors; assertion lines: $asserts"
echo
if [ "$failed" -ne 0 ]; then
  echo "soak: FAILED"
  exit 1
fi
echo "soak: all checks passed"
