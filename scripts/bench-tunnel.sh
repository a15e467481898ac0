#!/usr/bin/env bash
# Quilmar's tunnel beside the VPNs a user would otherwise run, in one go on
# this machine: two network namespaces joined by a veth pair (offloads as
# they come), and over it, one after the other,
#   - Quilmar: two daemons through quilmar-server (on the first namespace);
#   - OpenVPN 2.6, tap mode, static key, AES-256-CBC and HMAC-SHA1;
#   - tinc 1.0, switch mode, aes-256-cbc, sha1, a 12-byte MAC.
# For each: iperf3 TCP throughput over the tunnel (one stream, 10 s, the
# median of three runs), ping RTT over the idle tunnel (median of 20), CPU
# time of each endpoint process per GB carried, and the resident size of
# the daemon idle and under load, TCP retransmissions and the datagrams
# the receiving side's UDP sockets dropped for want of buffer. One table at the end, with the ratios
# Quilmar/OpenVPN and Quilmar/tinc.
#
# Usage: scripts/bench-tunnel.sh [BUILD_DIR]   (default: build-release)
# Environment: BENCH_SYSTEMS (default "quilmar openvpn tinc"), BENCH_RUNS
# (3), BENCH_SECONDS (10), BENCH_PERF_DIR (record each side with perf
# during the first run, where perf works).
# BUILD_DIR must hold a Release build of quilmar, quilmar-server and
# tapwarden. Needs root; installs openvpn, tinc and iperf3 from Debian when
# they are missing. Not part of the test run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build-release}" && pwd)
RUNS=${BENCH_RUNS:-3}
SECONDS_PER_RUN=${BENCH_SECONDS:-10}
source "$ROOT/tests/e2e/lib.sh"
require_world

missing=()
command -v openvpn >/dev/null || missing+=(openvpn)
command -v tincd >/dev/null || missing+=(tinc)
command -v iperf3 >/dev/null || missing+=(iperf3)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  timeout 300 apt-get install -y -q "${missing[@]}" >/dev/null ||
    { timeout 300 apt-get update -q >/dev/null && timeout 300 apt-get install -y -q "${missing[@]}" >/dev/null; }
fi
command -v python3 >/dev/null || { echo "FAIL: python3 is needed to read iperf3's report"; exit 1; }

A_ADDR=198.51.100.1
B_ADDR=198.51.100.2
ns_add ns_a a
ns_add ns_b b
link_ns "$ns_a" $A_ADDR/24 "$ns_b" $B_ADDR/24

TICK=$(getconf CLK_TCK)
declare -A RESULT

# cpu_ticks PID: utime + stime of the process so far.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# rss_kib PID
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# daemon_pid NS EXE: the one process in NS running EXE.
daemon_pid() {
  local ns=$1 exe pid
  exe=$(readlink -f "$2")
  for pid in $(ip netns pids "$ns"); do
    [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null)" = "$exe" ] && { echo "$pid"; return 0; }
  done
  return 1
}

# stop_group PID: ends the process group that spawn started.
stop_group() {
  kill -TERM -- "-$1" 2>/dev/null || kill -TERM "$1" 2>/dev/null || true
  wait_for 10 "process $1 to exit" sh -c "! kill -0 $1" || kill -KILL -- "-$1" 2>/dev/null || true
}

# udp_rcvbuf_errors NS: datagrams the namespace's UDP sockets dropped for a
# full receive buffer, so far (absolute; nstat's history is left alone).
udp_rcvbuf_errors() {
  in_ns "$1" nstat -asz UdpRcvbufErrors | awk '$1 == "UdpRcvbufErrors" {print $2; f=1} END {if (!f) print 0}'
}

median() { sort -g | awk '{v[NR] = $1} END {if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

# measure NAME PID_A PID_B PEER_ADDR: the figures of one tunnel, from A's
# namespace to B's address on the other side of it.
measure() {
  local name=$1 pa=$2 pb=$3 peer=$4
  echo "== $name: measuring"
  # The first packets may wait for ARP and the tunnel's own set-up.
  wait_for 30 "$name to carry a ping" in_ns "$ns_a" ping -c 1 -W 1 "$peer"
  in_ns "$ns_a" ping -c 3 -i 0.2 -W 1 "$peer" >/dev/null || true
  RESULT[$name,rss_idle]=$(rss_kib "$pa")
  local rtts
  rtts=$(in_ns "$ns_a" timeout 30 ping -c 20 -i 0.2 -W 2 "$peer" | sed -n 's/.*time=\([0-9.]*\) ms/\1/p')
  RESULT[$name,rtt]=$(median <<<"$rtts")
  [ -n "${RESULT[$name,rtt]}" ] || { echo "FAIL: no ping answered over $name"; exit 1; }

  spawn "$E2E_DIR/iperf-$name.log" ip netns exec "$ns_b" iperf3 -s -p 5201
  local server=$SPAWNED
  wait_for 10 "iperf3 server" in_ns "$ns_b" sh -c "ss -ltn | grep -q ':5201'"
  local ca cb peak=0 bytes=0 rates=() retrans=() i drops
  ca=$(cpu_ticks "$pa")
  cb=$(cpu_ticks "$pb")
  drops=$(udp_rcvbuf_errors "$ns_b")
  for i in $(seq "$RUNS"); do
    in_ns "$ns_a" timeout $((SECONDS_PER_RUN + 30)) iperf3 -c "$peer" -p 5201 -t "$SECONDS_PER_RUN" -J \
      >"$E2E_DIR/$name-$i.json" &
    local client=$! deadline=$(( $(date +%s) + SECONDS_PER_RUN + 30 ))
    if [ -n "${BENCH_PERF_DIR:-}" ] && [ "$i" = 1 ] && command -v perf >/dev/null; then
      # Where the sending daemon's time goes, for most of the first run.
      mkdir -p "$BENCH_PERF_DIR"
      timeout $((SECONDS_PER_RUN + 10)) perf record -q -g -F 499 -p "$pa" \
        -o "$BENCH_PERF_DIR/$name-sender.data" -- sleep $((SECONDS_PER_RUN - 2)) >/dev/null 2>&1 &
      timeout $((SECONDS_PER_RUN + 10)) perf record -q -g -F 499 -p "$pb" \
        -o "$BENCH_PERF_DIR/$name-receiver.data" -- sleep $((SECONDS_PER_RUN - 2)) >/dev/null 2>&1 &
    fi
    # The largest resident size seen while the data flows.
    while kill -0 $client 2>/dev/null && [ "$(date +%s)" -lt $deadline ]; do
      local now
      now=$(rss_kib "$pa" || echo 0)
      [ "$now" -gt "$peak" ] && peak=$now
      sleep 0.5
    done
    wait $client || { echo "FAIL: iperf3 over $name"; cat "$E2E_DIR/$name-$i.json"; exit 1; }
    read -r rate got resent < <(python3 -c '
import json, sys
end = json.load(open(sys.argv[1]))["end"]
print(end["sum_received"]["bits_per_second"], end["sum_received"]["bytes"],
      end["sum_sent"].get("retransmits", 0))' "$E2E_DIR/$name-$i.json")
    rates+=("$rate")
    retrans+=("$resent")
    bytes=$(awk -v a="$bytes" -v b="$got" 'BEGIN {printf "%.0f", a + b}')
    printf '   run %d: %.0f Mbit/s\n' "$i" "$(awk -v r="$rate" 'BEGIN {print r / 1e6}')"
  done
  local da db
  RESULT[$name,rcvbuf_errors]=$(( $(udp_rcvbuf_errors "$ns_b") - drops ))
  RESULT[$name,retrans]=$(printf '%s\n' "${retrans[@]}" | median)
  da=$(( $(cpu_ticks "$pa") - ca ))
  db=$(( $(cpu_ticks "$pb") - cb ))
  stop_group "$server"
  RESULT[$name,mbps]=$(printf '%s\n' "${rates[@]}" | median | awk '{printf "%.0f", $1 / 1e6}')
  RESULT[$name,cpu_a]=$(awk -v t="$da" -v h="$TICK" -v b="$bytes" 'BEGIN {printf "%.2f", t / h / (b / 1e9)}')
  RESULT[$name,cpu_b]=$(awk -v t="$db" -v h="$TICK" -v b="$bytes" 'BEGIN {printf "%.2f", t / h / (b / 1e9)}')
  RESULT[$name,rss_load]=$peak
}

# ---- Quilmar ----
quilmar_run() {
  echo "== quilmar: starting the server and two daemons"
  server_start "$ns_a" $A_ADDR
  client_start alice "$ns_a" $A_ADDR
  client_start bob "$ns_b" $A_ADDR
  q_says alice 'Logging in .*ok' login >/dev/null || { echo "FAIL: alice login"; exit 1; }
  q_says bob 'Logging in .*ok' login >/dev/null || { echo "FAIL: bob login"; exit 1; }
  q_says alice ' ok' create bench-net s3cret >/dev/null || { echo "FAIL: create"; exit 1; }
  q_says bob ' ok' join bench-net s3cret >/dev/null || { echo "FAIL: join"; exit 1; }
  q_says alice ' ok' go-online bench-net >/dev/null || { echo "FAIL: go-online"; exit 1; }
  q_says bob ' ok' go-online bench-net >/dev/null || { echo "FAIL: go-online"; exit 1; }
  local bvip pa pb
  bvip=$(vip bob)
  wait_for 30 "alice to list bob with an endpoint" sh -c \
    "'$QUILMAR' -c '$E2E_DIR/alice' list | grep -qE '^ +\* $bvip .* [0-9.]+:[0-9]+\$'"
  pa=$(daemon_pid "$ns_a" "$QUILMAR")
  pb=$(daemon_pid "$ns_b" "$QUILMAR")
  measure quilmar "$pa" "$pb" "$bvip"
  for pid in "${E2E_PIDS[@]}"; do stop_group "$pid"; done
  E2E_PIDS=()
}

# ---- OpenVPN: tap, static key, AES-256-CBC + HMAC-SHA1 ----
openvpn_run() {
  echo "== openvpn: static key, tap"
  local key=$E2E_DIR/ovpn.key
  openvpn --genkey secret "$key" >/dev/null 2>&1
  local common=(--dev "ovq$E2E_ID" --dev-type tap --proto udp --port 1194
                --cipher AES-256-CBC --auth SHA1 --disable-dco --verb 1 --ping 10)
  spawn "$E2E_DIR/ovpn-a.log" ip netns exec "$ns_a" openvpn "${common[@]}" --secret "$key" 0 \
    --remote $B_ADDR --ifconfig 203.0.113.1 255.255.255.0
  spawn "$E2E_DIR/ovpn-b.log" ip netns exec "$ns_b" openvpn "${common[@]}" --secret "$key" 1 \
    --remote $A_ADDR --ifconfig 203.0.113.2 255.255.255.0
  wait_for 20 "openvpn to come up" grep -q "Initialization Sequence Completed" "$E2E_DIR/ovpn-a.log"
  wait_for 20 "openvpn to come up" grep -q "Initialization Sequence Completed" "$E2E_DIR/ovpn-b.log"
  local pa pb
  pa=$(daemon_pid "$ns_a" "$(command -v openvpn)")
  pb=$(daemon_pid "$ns_b" "$(command -v openvpn)")
  measure openvpn "$pa" "$pb" 203.0.113.2
  for pid in "${E2E_PIDS[@]}"; do stop_group "$pid"; done
  E2E_PIDS=()
}

# ---- tinc 1.0: switch mode, aes-256-cbc, sha1, 12-byte MAC ----
tinc_run() {
  echo "== tinc: switch mode"
  local n addr other
  for n in a b; do
    local dir=$E2E_DIR/tinc-$n
    mkdir -p "$dir/hosts"
    addr=$([ $n = a ] && echo 203.0.113.1 || echo 203.0.113.2)
    other=$([ $n = a ] && echo b || echo a)
    printf 'Name = %s\nMode = switch\nInterface = tnq%s%s\nAddressFamily = ipv4\n%s' \
      "$n" "$E2E_ID" "$n" "$([ $n = a ] && echo "ConnectTo = b")" >"$dir/tinc.conf"
    printf '#!/bin/sh\nip addr add %s/24 dev "$INTERFACE"\nip link set "$INTERFACE" up\n' \
      "$addr" >"$dir/tinc-up"
    chmod +x "$dir/tinc-up"
    timeout 60 tincd -c "$dir" -K 2048 </dev/null >/dev/null 2>&1
  done
  for n in a b; do
    local host=$E2E_DIR/tinc-$n/hosts/$n
    local settings
    settings=$(printf 'Address = %s\nPort = 655\nCipher = aes-256-cbc\nDigest = sha1\nMACLength = 12\nCompression = 0\n' \
      "$([ $n = a ] && echo $A_ADDR || echo $B_ADDR)")
    { echo "$settings"; cat "$host"; } >"$host.new" && mv "$host.new" "$host"
  done
  cp "$E2E_DIR/tinc-a/hosts/a" "$E2E_DIR/tinc-b/hosts/a"
  cp "$E2E_DIR/tinc-b/hosts/b" "$E2E_DIR/tinc-a/hosts/b"
  for n in b a; do
    spawn "$E2E_DIR/tinc-$n.log" ip netns exec "$([ $n = a ] && echo "$ns_a" || echo "$ns_b")" \
      tincd -c "$E2E_DIR/tinc-$n" -D -d1 --pidfile "$E2E_DIR/tinc-$n/pid"
  done
  local pa pb
  wait_for 10 "tincd in a" daemon_pid "$ns_a" "$(command -v tincd)"
  wait_for 10 "tincd in b" daemon_pid "$ns_b" "$(command -v tincd)"
  pa=$(daemon_pid "$ns_a" "$(command -v tincd)")
  pb=$(daemon_pid "$ns_b" "$(command -v tincd)")
  measure tinc "$pa" "$pb" 203.0.113.2
  for pid in "${E2E_PIDS[@]}"; do stop_group "$pid"; done
  E2E_PIDS=()
}

echo "veth: $A_ADDR ($ns_a) <-> $B_ADDR ($ns_b); build: $BUILD"
for system in ${BENCH_SYSTEMS:-quilmar openvpn tinc}; do
  "${system}_run"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-"}'; }
row() {  # LABEL KEY UNIT
  local q=${RESULT[quilmar,$2]:--} o=${RESULT[openvpn,$2]:--} t=${RESULT[tinc,$2]:--}
  printf '%-28s %10s %10s %10s %9s %9s\n' "$1" "$q" "$o" "$t" "$(ratio "$q" "$o")" "$(ratio "$q" "$t")"
}
echo
echo "Tunnel benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, iperf3 ${SECONDS_PER_RUN}s x $RUNS, 1 stream"
printf '%-28s %10s %10s %10s %9s %9s\n' "" quilmar openvpn tinc "Q/OpenVPN" "Q/tinc"
row "throughput (Mbit/s, median)" mbps
row "ping RTT (ms, median of 20)" rtt
row "CPU s/GB, sender side" cpu_a
row "CPU s/GB, receiver side" cpu_b
row "TCP retransmits (median)" retrans
row "receiver UdpRcvbufErrors" rcvbuf_errors
row "daemon RSS idle (KiB)" rss_idle
row "daemon RSS under load (KiB)" rss_load
