# Shared helpers of the end-to-end worlds: network namespaces joined by
# veth links, one tapwarden and one daemon per client host, the real
# quilmar-server. Sourced by each scenario script after it has set BUILD
# (the CMake build directory).
#
# Every name carries a suffix unique to the run, and `world_cleanup` (run on
# EXIT, INT and TERM) removes every namespace, process and file the world
# made, whatever state it is in.

QUILMAR=$BUILD/client/quilmar
QUILMAR_INIT=$BUILD/client/quilmar-init
QUILMAR_SERVER=$BUILD/server/quilmar-server
TAPWARDEN=$BUILD/tapwarden/tapwarden
E2E_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

E2E_ID=${E2E_ID:-$(printf '%04x' $(( $$ % 65536 )))}
E2E_DIR=$(mktemp -d "/tmp/quilmar-e2e-$E2E_ID.XXXX")
E2E_NETNS=()
E2E_PIDS=()

e2e_skip() {
  echo "SKIP: $*"
  exit 0
}

# Skips the scenario unless it can build its world here.
require_world() {
  [ "$(id -u)" -eq 0 ] || e2e_skip "needs root to create network namespaces"
  [ -c /dev/net/tun ] || e2e_skip "needs /dev/net/tun for tap interfaces"
  command -v ip >/dev/null || e2e_skip "needs iproute2"
  command -v unshare >/dev/null || e2e_skip "needs unshare (util-linux)"
  for prog in "$QUILMAR" "$QUILMAR_SERVER" "$TAPWARDEN"; do
    [ -x "$prog" ] || { echo "FAIL: $prog not built"; exit 1; }
  done
}

world_cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Nothing here may stop the cleanup half-way.
  set +e
  [ -n "${E2E_GUARDIAN:-}" ] && kill "$E2E_GUARDIAN" 2>/dev/null
  for pid in "${E2E_PIDS[@]}"; do
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
  done
  sleep 0.2
  for pid in "${E2E_PIDS[@]}"; do
    kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
  done
  for ns in "${E2E_NETNS[@]}"; do
    # Processes left in a namespace would keep its devices alive.
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
    ip netns del "$ns" 2>/dev/null
  done
  if [ $status -ne 0 ] && [ -z "${E2E_KEEP_LOGS:-}" ]; then
    for log in "$E2E_DIR"/*.log; do
      [ -f "$log" ] || continue
      echo "---- $(basename "$log") (last 40 lines)"
      tail -n 40 "$log"
    done
  fi
  if [ -n "${E2E_PG_DIR:-}" ]; then
    runuser -u nobody -- "$E2E_PG_BIN/pg_ctl" -D "$E2E_PG_DIR/data" -m immediate stop \
      >/dev/null 2>&1
    rm -rf "$E2E_PG_DIR"
  fi
  rm -rf "$E2E_DIR"
  exit $status
}
trap world_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A script killed outright (SIGKILL, as a test runner's timeout does) runs
# no trap. A guardian of its own session waits for the script to end and
# then removes the namespaces of the run, with whatever still runs in them,
# and its directory; a script that cleans up itself stops the guardian
# first.
world_guardian() {
  E2E_GUARDIAN_PARENT=$$ E2E_GUARDIAN_ID=$E2E_ID E2E_GUARDIAN_DIR=$E2E_DIR setsid bash -c '
    while kill -0 "$E2E_GUARDIAN_PARENT" 2>/dev/null; do sleep 1; done
    for ns in $(ip netns list | awk "{ print \$1 }" | grep "^q$E2E_GUARDIAN_ID"); do
      ip netns pids "$ns" | xargs -r kill -KILL
      ip netns del "$ns"
    done
    rm -rf "$E2E_GUARDIAN_DIR"' >/dev/null 2>&1 </dev/null &
  E2E_GUARDIAN=$!
}

# ns_add VAR SUFFIX: creates a namespace named with the run's id and
# SUFFIX, loopback up, and stores its name in VAR.
ns_add() {
  local name="q$E2E_ID$2"
  [ -n "${E2E_GUARDIAN:-}" ] || world_guardian
  ip netns add "$name" || return 1
  E2E_NETNS+=("$name")
  ip -n "$name" link set lo up
  printf -v "$1" '%s' "$name"
}

in_ns() {
  local ns=$1; shift
  ip netns exec "$ns" "$@"
}

# link NS1 ADDR1/LEN NS2 ADDR2/LEN: a veth pair between two namespaces
# (ADDR2 "-" leaves the second end without an address).
link_ns() {
  local ns1=$1 a1=$2 ns2=$3 a2=$4
  local i1="v$E2E_ID${#E2E_LINKS}a" i2="v$E2E_ID${#E2E_LINKS}b"
  E2E_LINKS+="x"
  ip link add "$i1" netns "$ns1" type veth peer name "$i2" netns "$ns2" || return 1
  ip -n "$ns1" addr add "$a1" dev "$i1"
  [ "$a2" = - ] || ip -n "$ns2" addr add "$a2" dev "$i2"
  ip -n "$ns1" link set "$i1" up
  ip -n "$ns2" link set "$i2" up
  LINK_IF1=$i1
  LINK_IF2=$i2
}
E2E_LINKS=""

# wait_for SECONDS DESCRIPTION COMMAND...: polls COMMAND until it succeeds.
wait_for() {
  local seconds=$1 what=$2; shift 2
  local deadline=$(( $(date +%s) + seconds ))
  until "$@" >/dev/null 2>&1; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      echo "FAIL: timed out after ${seconds}s waiting for $what"
      return 1
    fi
    sleep 0.1
  done
}

# Starts a command in the background in its own process group; the world
# kills the group on exit. Its output is added to the log, so a process
# started again keeps the story of the one before.
spawn() {
  local log=$1; shift
  setsid "$@" >>"$log" 2>&1 < /dev/null &
  E2E_PIDS+=($!)
  SPAWNED=$!
}

# server_start NS ADDR [OPTION...]: a fresh quilmar-server on ADDR:12975
# in NS, its directory in $E2E_DIR/server (kept across restarts), the
# options added to its command line.
# With SERVER_DEMO=1 the server uses the demo key pair, and the clients
# are given its public half as their server.pub.
server_start() {
  local ns=$1 addr=$2
  shift 2
  local dir="$E2E_DIR/server" demo=()
  if [ -n "${SERVER_DEMO:-}" ]; then
    mkdir -p -m 0700 "$dir"
    demo=(--demo)
  elif [ ! -f "$dir/server.pub" ]; then
    "$QUILMAR_SERVER" init -d "$dir" >/dev/null || return 1
  fi
  spawn "$E2E_DIR/server.log" ip netns exec "$ns" "$QUILMAR_SERVER" run -d "$dir" -l "$addr" \
    "${demo[@]}" "$@"
  SERVER_PID=$SPAWNED
  wait_for 10 "the server to listen" in_ns "$ns" sh -c "ss -ltn | grep -q '$addr:12975'"
}

server_stop() {
  kill -TERM -- "-$SERVER_PID" 2>/dev/null
  wait_for 10 "the server to exit" sh -c "! kill -0 $SERVER_PID"
}

# client_start NAME NS SERVER_ADDR: a client host: its configuration in
# $E2E_DIR/NAME (made on first use with quilmar-init), its own tapwarden
# on a private /run inside NS, and the daemon in debug mode.
client_start() {
  local name=$1 ns=$2 server=$3
  local dir="$E2E_DIR/$name"
  if [ ! -d "$dir" ]; then
    "$QUILMAR_INIT" -c "$dir" -n "$name" >/dev/null || return 1
    # No client trusts a server by default: each gets the server's key.
    if [ -n "${SERVER_DEMO:-}" ]; then
      cp "$E2E_SOURCE/keys/demo-server-for-clients.pub" "$dir/server.pub"
    else
      cp "$E2E_DIR/server/server.pub" "$dir/server.pub"
    fi
    echo "ServerAddress $server" >"$dir/config"
  fi
  # tapwarden's socket path is fixed, so each host gets its own /run; with
  # E2E_HOSTS set, its own /etc/hosts too.
  spawn "$E2E_DIR/$name.log" ip netns exec "$ns" unshare -m sh -c "
    mount -t tmpfs tmpfs /run || exit 1
    [ -z '${E2E_HOSTS:-}' ] || mount --bind '${E2E_HOSTS:-}' /etc/hosts || exit 1
    '$TAPWARDEN' >'$E2E_DIR/$name-tapwarden.log' 2>&1 &
    i=0; while [ ! -S /run/tapwarden.sock ] && [ \$i -lt 100 ]; do sleep 0.05; i=\$((i+1)); done
    exec '$QUILMAR' -c '$dir' start debug"
  wait_for 10 "$name's daemon" test -S "$dir/ipc_sock"
}

# q NAME ARGS...: the command-line client of host NAME.
q() {
  local name=$1; shift
  "$QUILMAR" -c "$E2E_DIR/$name" "$@"
}

# The virtual address of host NAME, from its state file.
vip() {
  sed -n 's/^Identity[[:space:]]\+//p' "$E2E_DIR/$1/state"
}

# expect DESCRIPTION COMMAND...: the command must succeed.
expect() {
  local what=$1; shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAIL: $what"
    exit 1
  fi
}

# q_says NAME TEXT ARGS...: runs host NAME's client with ARGS, shows its
# output, and succeeds when the output contains TEXT.
q_says() {
  local name=$1 want=$2; shift 2
  local out
  out=$(q "$name" "$@" 2>&1) || true
  sed "s/^/    [$name] /" <<<"$out"
  grep -q -- "$want" <<<"$out"
}

fails() { ! "$@"; }

# The routed underlay every world starts from: a router, the server
# (203.0.113.2) and alice (198.51.100.2), each on its own link; sets
# router, srv and alice_ns. add_host adds another host on a link of its own.
routed_world() {
  ns_add router r
  ns_add srv s
  ns_add alice_ns a
  in_ns "$router" sysctl -qw net.ipv4.ip_forward=1
  add_host alice_ns 198.51.100
  add_host srv 203.0.113
}

# The router alone (sets router), for worlds whose hosts all sit elsewhere.
router_world() {
  ns_add router r
  in_ns "$router" sysctl -qw net.ipv4.ip_forward=1
}

# add_host NSVAR PREFIX: links namespace $NSVAR (made when missing) to the
# router on PREFIX.0/24: the host is PREFIX.2, the router PREFIX.1 and the
# host's default route.
add_host() {
  local var=$1 prefix=$2
  [ -n "${!var:-}" ] || ns_add "$var" "${var:0:1}"
  link_ns "${!var}" "$prefix.2/24" "$router" "$prefix.1/24"
  in_ns "${!var}" ip route add default via "$prefix.1"
}

# alice_and_bob_in_lab_net: in the routed world with bob's host added, the
# server on 203.0.113.2 and both clients, logged in; alice creates lab-net
# and bob joins it. Sets A and B to their virtual addresses.
alice_and_bob_in_lab_net() {
  server_start "$srv" 203.0.113.2
  client_start alice "$alice_ns" 203.0.113.2
  client_start bob "$bob_ns" 203.0.113.2
  expect "alice logs in" q_says alice 'Logging in .*ok' login
  expect "bob logs in" q_says bob 'Logging in .*ok' login
  A=$(vip alice)
  B=$(vip bob)
  echo "alice is $A, bob is $B"
  expect "alice creates lab-net" q_says alice ' ok' create lab-net s3cret
  expect "bob joins lab-net" q_says bob ' ok' join lab-net s3cret
}

# listed_with_tunnel NAME PEER_VIP: host NAME's listing shows the peer
# online with a tunnel endpoint.
listed_with_tunnel() {
  q "$1" list | grep -E "^ +\* $2 .* [0-9.]+:[0-9]+$"
}

# listed_at NAME PEER_VIP ENDPOINT: host NAME lists the peer online with
# its tunnel going to ENDPOINT (a regular expression).
listed_at() {
  q "$1" list | grep -E "^ +\* $2 .* $3\$"
}

# add_nat NSVAR PREFIX [MASQUERADE_FLAGS]: a home router linked to the
# router as host PREFIX.2 (see add_host). What leaves it is masqueraded
# (with "random,fully-random", each destination gets a new public port);
# from outside only answers come in, and nothing is forwarded back inside
# (no hairpinning). lan_host puts hosts behind it.
add_nat() {
  local var=$1 prefix=$2 flags=${3:-}
  add_host "$var" "$prefix"
  local ns=${!var} outside=$LINK_IF1
  in_ns "$ns" sysctl -qw net.ipv4.ip_forward=1
  nft_in "$ns" <<EOF
table ip nat {
  chain masq { type nat hook postrouting priority 100; oifname "$outside" masquerade $flags; }
}
table ip filter {
  # Nothing from outside reaches the LAN unless a host there opened the way.
  chain inbound { type filter hook forward priority 0; policy drop;
    iifname "$outside" ct state established,related accept
    iifname != "$outside" accept
  }
  # Unsolicited packets for the router itself are dropped, so they leave no
  # connection state that could take a host's port.
  chain local { type filter hook input priority 0; policy accept;
    iifname "$outside" ct state established,related accept
    iifname "$outside" drop
  }
}
EOF
}

# nft_in NS: loads the nftables rules on standard input in NS; a world
# without nft is skipped.
nft_in() {
  command -v nft >/dev/null || e2e_skip "needs nft (nftables) for its routers"
  in_ns "$1" nft -f -
}

# lan_host NSVAR NAT_NS PREFIX N: host PREFIX.N/24 (namespace $NSVAR, made
# when missing) on the LAN behind NAT_NS, a bridge there with PREFIX.1.
lan_host() {
  local var=$1 nat=$2 prefix=$3 n=$4 br="br$E2E_ID"
  [ -n "${!var:-}" ] || ns_add "$var" "${var:0:1}"
  if ! ip -n "$nat" link show "$br" >/dev/null 2>&1; then
    ip -n "$nat" link add "$br" type bridge
    ip -n "$nat" addr add "$prefix.1/24" dev "$br"
    ip -n "$nat" link set "$br" up
  fi
  link_ns "${!var}" "$prefix.$n/24" "$nat" -
  ip -n "$nat" link set "$LINK_IF2" master "$br"
  in_ns "${!var}" ip route add default via "$prefix.1"
}

# log_in NAME...: each host logs in.
log_in() {
  for name in "$@"; do expect "$name logs in" q_says "$name" ' ok' login; done
}

# share_network NET OWNER MEMBER...: OWNER creates NET, the members join
# it, and all go online in it.
share_network() {
  local net=$1 owner=$2
  expect "$owner creates $net" q_says "$owner" ' ok' create "$net" pw
  shift 2
  for name in "$@"; do expect "$name joins $net" q_says "$name" ' ok' join "$net" pw; done
  for name in "$owner" "$@"; do
    expect "$name goes online" q_says "$name" ' ok' go-online "$net"
  done
}

# server_stat KEY: the running server's statistic KEY (quilmar-server stats).
server_stat() {
  "$QUILMAR_SERVER" stats -d "$E2E_DIR/server" | awk -v key="$1" '$1 == key { print $2 }'
}

# server_says TEXT: the server's log has a line matching TEXT (grep -E).
server_says() {
  grep -Eq -- "$1" "$E2E_DIR/server.log"
}

# tcp_transfer FROM_NS TO_NS TO_ADDR PORT MEGABYTES SECONDS: sends MEGABYTES
# of random bytes over TCP from FROM_NS to a listener on TO_ADDR:PORT in
# TO_NS, within SECONDS, and checks that they arrived intact.
tcp_transfer() {
  local from=$1 to=$2 addr=$3 port=$4 mb=$5 seconds=$6
  local idle=$((seconds / 6))
  head -c "${mb}000000" /dev/urandom >"$E2E_DIR/payload"
  rm -f "$E2E_DIR/received"
  spawn "$E2E_DIR/sink.log" ip netns exec "$to" sh -c "nc -l -p $port >'$E2E_DIR/received'"
  wait_for 5 "the TCP sink" in_ns "$to" sh -c "ss -ltn | grep -q ':$port'"
  expect "a $mb MB TCP transfer crosses the tunnel" timeout "$seconds" \
    ip netns exec "$from" nc -N -w "$idle" "$addr" "$port" <"$E2E_DIR/payload"
  wait_for "$idle" "the transfer to complete" cmp -s "$E2E_DIR/payload" "$E2E_DIR/received"
  echo "ok: the payload arrived intact ($(sha256sum <"$E2E_DIR/received" | cut -c1-16)...)"
}

# postgres_start: a PostgreSQL of the world's own, run by nobody on a Unix
# socket in a directory of its own (every namespace sees it); sets PG_URL.
# The world is skipped where PostgreSQL is not installed.
postgres_start() {
  E2E_PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -x "$E2E_PG_BIN/pg_ctl" ] || e2e_skip "needs PostgreSQL (scripts/deps.sh installs it)"
  E2E_PG_DIR=$(mktemp -d "/tmp/quilmar-pg-$E2E_ID.XXXX")
  chown nobody "$E2E_PG_DIR"
  runuser -u nobody -- "$E2E_PG_BIN/initdb" -D "$E2E_PG_DIR/data" -A trust -U quilmar \
    --no-sync >"$E2E_DIR/initdb.log" 2>&1 || { echo "FAIL: initdb"; return 1; }
  runuser -u nobody -- "$E2E_PG_BIN/pg_ctl" -D "$E2E_PG_DIR/data" -l "$E2E_PG_DIR/log" -w \
    -o "-k $E2E_PG_DIR -c listen_addresses= -F" start >/dev/null || { echo "FAIL: pg_ctl"; return 1; }
  PG_URL="postgresql://quilmar@/postgres?host=$E2E_PG_DIR"
}

# cluster_server_start NAME NS ADDR: a server of the cluster on ADDR:12975
# in NS with the store in PG_URL; its directory $E2E_DIR/NAME holds a copy
# of the first one's key pair, as an operator copies server.key.
declare -A CLUSTER_PIDS
cluster_server_start() {
  local name=$1 ns=$2 addr=$3 dir="$E2E_DIR/$1"
  if [ ! -f "$E2E_DIR/server/server.pub" ]; then
    "$QUILMAR_SERVER" init -d "$E2E_DIR/server" >/dev/null || return 1
  fi
  [ -d "$dir" ] || cp -a "$E2E_DIR/server" "$dir"
  rm -f "$E2E_DIR/$name.log"  # a restart waits for its own line
  spawn "$E2E_DIR/$name.log" ip netns exec "$ns" "$QUILMAR_SERVER" run -d "$dir" -l "$addr" \
    --store "$PG_URL"
  CLUSTER_PIDS[$name]=$SPAWNED
  wait_for 10 "$name to join the cluster" grep -q 'cluster: this server is' "$E2E_DIR/$name.log"
  wait_for 10 "$name to listen" in_ns "$ns" sh -c "ss -ltn | grep -q '$addr:12975'"
}
