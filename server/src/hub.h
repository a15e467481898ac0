// The mediation server's inner parts: the hub, which owns the store, the
// server key, the listening sockets and every client connection, and the
// connection, which holds one client's channel and login state.
//
// Everything here runs on one thread, inside evl_run callbacks; only the
// relay forwards on a thread of its own, reached through its methods
// (relay.h), and the store is read and changed on the store's worker
// thread (store_worker.h), through jobs whose continuations come back here.
// A connection waiting for its job's continuation holds its further frames
// until the continuation has run, so that its answers keep their order. A connection is never destroyed from inside its own callbacks
// or while the hub walks its tables: `kill` marks it and the hub tears it
// down (offline in all its networks, tunnels ended, pipe closed) from its
// reaper timer.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "clisrv/msg_crypto.h"
#include "clisrv/server_msg.h"
#include "budget.h"
#include "crypto/bignum.h"
#include "enrolment.h"
#include "events/evl.h"
#include "relay.h"
#include "stack/io_pipe.h"
#include "store.h"
#include "store_worker.h"

// Which pairs of clients the relay carries: those that cannot meet directly
// (auto), every pair, or none.
enum relay_policy { RELAY_auto, RELAY_always, RELAY_never };

struct server_config {
  std::string dir;                    // holds server.key, server.pub, server.db
  std::string store_url;              // PostgreSQL in place of DIR/server.db when set
  uint32_t listen_addr = 0;           // host order; 0 = every address
  uint16_t port = srv::DEFAULT_PORT;  // 0 = let the system choose
  bool demo = false;                  // use the demo key pair
  srv::endpoint redirect;             // addr 0 = serve clients here
  size_t max_members = 250;           // per network
  size_t max_networks = 64;           // per identity, owned or joined
  uint32_t enrolments_per_hour = 20;  // per source address
  size_t max_unauthenticated = 32;    // connections not logged in, per source address
  uint32_t prelogin_bytes = 4096;     // a connection may send before it has logged in
  uint32_t pbkdf2_iterations = 20000;
  uint32_t login_timeout_ms = 60000;    // from accept to ready
  uint32_t idle_timeout_ms = 300000;    // ready and silent (keep-alives every 90 s)
  uint32_t discovery_wait_ms = 3000;    // for the punch of a client behind NAT
  size_t max_connections = 30000;
  enrol_policy enrolment = ENROL_open;
  bool serve_metrics = false;           // --metrics: serve /metrics at `metrics`
  srv::endpoint metrics;                // port 0 = one the system picks
  // Reaching clients across NATs.
  srv::endpoint public_address;  // addr 0: where each client connected to
  uint16_t probe_port = 0;       // the second UDP port of discovery; 0 = any free one
  uint16_t relay_port = 0;       // 0 = any free one
  relay_policy relay = RELAY_auto;
  relay_limits relay_limit;
};

// What the hub counts for `stats` and /metrics, from its start.
struct hub_counters {
  uint64_t logins = 0;      // accepted auth and enroll
  uint64_t enrolments = 0;  // accepted enroll
  uint64_t refusals = 0;    // refused helo, auth, enroll, discovery
};

// The largest frame a logged-in client may send (before its login,
// server_config::prelogin_bytes).
constexpr uint32_t MAX_CLIENT_FRAME = 65536;

// Budgets that are not options. A password hash (PBKDF2) costs the one
// thread milliseconds; a wrong join password is a guess, counted per source
// address and per network because identities cost nothing; an identity's
// co-members are introduced to it at most about once a second.
constexpr rate_limit HASH_BUDGET = {8, 1};                  // per identity
constexpr rate_limit GUESSES_PER_ADDRESS = {5, 1.0 / 12};   // 5 a minute
constexpr rate_limit GUESSES_PER_NETWORK = {20, 1.0 / 30};  // 120 an hour
constexpr rate_limit PRESENCE_CHANGES = {5, 1};             // per connection
constexpr rate_limit INTRODUCTION_PACE = {1, 1};            // per identity

// Result codes of our own, shown by clients as a number.
enum : uint8_t {
  RESULT_invalid = 2,  // a name, password or nickname we do not accept
  RESULT_failed = 3,   // the store could not make the change
  STATUS_not_found = 3,  // info about a client we cannot tell about
};

// The longest nickname we keep, at enrolment and on a change.
constexpr size_t MAX_NICKNAME = 255;
// The longest network password we take.
constexpr size_t MAX_PASSWORD = 255;

class hub;
class cluster;
class admin_live;

// Where a client stands in its login.
enum conn_state {
  CONN_helo,       // waiting for helo (frames travel plain)
  CONN_login,      // helo.ok sent; waiting for enroll or auth
  CONN_discovery,  // logged in; waiting for discovery or its punch
  CONN_conf,       // disc.ok sent; waiting for sync
  CONN_ready,      // synced: network operations allowed
  CONN_done,       // refused or redirected; input ignored until it closes
};

// How a client's NAT maps its UDP socket, as discovery found it.
enum nat_mapping {
  MAPPING_public,           // no NAT: it announced the address we see
  MAPPING_unknown,          // behind NAT; the second punch did not come
  MAPPING_keeps_port,       // one public port for every destination
  MAPPING_per_destination,  // a new public port for each destination
};

// A tunnel the hub has introduced between two clients.
struct pair_rec {
  uint32_t spi_in = 0;   // what the other side puts on packets to us
  uint32_t spi_out = 0;  // what we put on packets to the other side
  bool relayed = false;  // the relay carries it
};

// A network as the store holds it, read for a network message.
struct network_snapshot {
  bool found = false;
  uint32_t owner = 0;
  std::vector<uint32_t> members;  // in the order they joined
};
// Reads it on the store's worker.
network_snapshot read_network(store &db, const std::string &name);

// The store's half of an enrol, run on the worker: the verdict of the
// policy (under `approve` the request is recorded), a fresh identity and
// the new account.
struct enrolment_job {
  enrol_policy policy = ENROL_open;
  account_rec account;       // key and nickname in; identity and times out
  std::string source;        // "a.b.c.d:port"
  std::string key_id;
  uint8_t verdict = 0;       // STATUS_ok or the status to refuse with
  bool queue_full = false;   // refused: too many keys await approval
  bool stored = false;
};
void run_enrolment(store &db, enrolment_job &job);

// A socket address as messages carry it.
srv::endpoint endpoint_of(const sockaddr_in &sa);

// A message that this state does not allow; ends the connection.
struct wrong_state {};

class connection final : public io_pipe_cb {
 public:
  // `pipe` (owned, may be null for tests: sent frames then go to `outbox`).
  connection(hub &h, io_pipe *pipe, const sockaddr_in &peer, const sockaddr_in &local);
  ~connection();

  // io_pipe_cb: one frame per on_data.
  void on_ready() override {}
  void on_data(std::string &frame) override;
  void on_closed() override;
  void on_error(const char *context, int code) override;

  // Handles one frame as it came off the stream (protected once keys are
  // set). Bad input ends the connection through hub::kill.
  void receive(std::string &frame);
  // Protects (or, before the keys, just sizes) a frame begun with
  // srv::frame_begin and sends it; false once the connection is closing.
  bool send(std::string &frame);
  // A reply that is only a status byte.
  void send_status(uint8_t type, uint8_t status);
  std::string name() const;  // "5.1.2.3 (1.2.3.4:5678)" for log lines
  // The store answered: the frames that came meanwhile are handled now.
  void resume();

  hub &h;
  io_pipe *pipe;
  msg_crypto_v2 mc;
  conn_state state = CONN_helo;
  bool closing = false;        // killed; waiting for the reaper
  uint64_t serial = 0;         // never reused: how a store job's continuation finds us
  bool waiting = false;        // a store job of ours is outstanding
  std::deque<std::string> held;  // frames that came while `waiting`
  size_t held_bytes = 0;
  uint32_t identity = 0;       // once logged in
  uint32_t channel = 0;        // server channel identifier
  srv::endpoint tcp_peer;      // the address we see
  srv::endpoint tcp_local;     // our end of the connection
  srv::endpoint announced;     // from discovery
  srv::endpoint public_ep;     // where peers reach its UDP socket
  srv::endpoint probe_ep;      // where its punch to our second UDP port came from
  nat_mapping mapping = MAPPING_public;
  std::string cookie;          // payload of the discovery punch we wait for
  uint32_t disc_deadline = 0;
  int disc_attempts = 0;
  uint32_t accepted_at = 0;    // evl_now
  uint32_t last_heard = 0;
  token_bucket frames;         // flood control: frames we still accept now
  token_bucket presence_changes;  // go-online and go-offline it may still make now
  uint32_t prelogin_bytes = 0;    // received before it logged in
  bool unauthenticated = false;   // counted among its address's connections not logged in
  std::set<std::string> member_of;  // while ready: networks it belongs to
  std::set<std::string> online;     // while ready: networks it asked to be online in
  // Those of `online` its co-members have been told of: a go-online waits
  // here until `publish_at` when the identity was introduced a moment ago.
  std::set<std::string> published;
  uint32_t publish_at = 0;
  std::map<connection *, pair_rec> pairs;
  std::vector<std::string> outbox;  // frames sent while `pipe` is null
  // A ready client of another server of the cluster (its ID), mirrored
  // here: nothing is sent to it, except that while `capture` is set the
  // frames go to `outbox` unprotected, for its server to deliver.
  uint32_t remote_server = 0;
  bool capture = false;

 private:
  void dispatch(uint8_t type, msg_reader &r);
};

class hub : public evl_cb {
 public:
  hub(const server_config &cfg, std::unique_ptr<store> db, const rsa_public_key &pub,
      const rsa_private_key &pri);
  ~hub() override;

  // The store's part of a request of `c`: `work` runs on the store's
  // worker; `then` runs here afterwards with the connection, or with null
  // when it is gone or closing meanwhile (then only what must happen
  // anyway, such as telling other members of a stored change, is done).
  // Until `then` has run, further frames of `c` wait.
  void ask_store(connection &c, store_worker::work_fn work,
                 std::function<void(connection *)> then);

  // Binds the TCP listener and the UDP socket; false after a log line.
  bool start();
  // Ends every connection and writes what is pending to the store.
  void stop();
  uint16_t bound_port() const { return port; }

  // Takes over an accepted connection (also used by tests without sockets).
  void adopt(connection *c);
  // Ends the connection soon; logs `why` once.
  void kill(connection *c, const char *why);
  // Tears down everything killed so far (the reaper does it on its own).
  void reap();
  size_t connection_count() const { return conns.size(); }

  void on_event(evl_event *ev, int events) override;
  void on_timer(evl_timer *t) override;

  // ---- login.cpp ----
  void on_helo(connection &c, msg_reader &r);
  void on_enroll(connection &c, msg_reader &r);
  void on_auth(connection &c, msg_reader &r);
  void speak_for(connection &c, uint32_t identity);
  void finish_enroll(connection &c, const enrolment_job &job);
  // `a` is null when the store knows no such identity.
  void finish_auth(connection &c, const srv::auth_msg &m, const account_rec *a);
  void on_discovery(connection &c, msg_reader &r);
  void on_sync(connection &c, msg_reader &r);

  // ---- nat.cpp ----
  // Asks a client behind NAT to punch both our UDP ports from its socket.
  void probe_mapping(connection &c);
  // A datagram on the first UDP port or on the second.
  void on_punch_datagram(const std::string &payload, const sockaddr_in &from, bool second_port);
  // Both punches came, or the second is overdue: disc.ok.
  void settle_discovery(connection &c);
  // Settles a discovery whose punches are overdue.
  void check_discovery(connection &c);
  // Where client `c` reaches our UDP port `local_port`.
  srv::endpoint seen_from(const connection &c, uint16_t local_port) const;

  // ---- paths.cpp ----
  // Tells two clients of a new pair how to reach each other: directly, on
  // their LAN, or through the relay.
  void introduce(connection &a, connection &b, const std::string &keymat);


  // ---- netops.cpp ----
  void on_create(connection &c, msg_reader &r);
  void on_delete(connection &c, msg_reader &r);
  void on_modify(connection &c, msg_reader &r);
  void on_join(connection &c, msg_reader &r);
  // The second steps, once the refusals that need no hash are past.
  void store_network(connection &c, const srv::create_msg &m);
  void admit_member(connection &c, const srv::join_msg &m, const network_rec &n, bool found);
  void on_netop(connection &c, msg_reader &r);
  // Online or offline in a network `c` is a member of.
  void change_presence(connection &c, const srv::netop_msg &m);
  void on_change(connection &c, msg_reader &r);
  void on_info(connection &c, msg_reader &r);
  // The network is gone from the store: every member drops it.
  void drop_network(const std::string &net);
  // `member` is no longer in `net` (already so in the store): it hears
  // `evicted` and the other members see it removed.
  void drop_member(const std::string &net, uint32_t member);

  // ---- presence.cpp ----
  // A network message with the owner, every member (as the store had them)
  // and those online.
  void send_network(connection &c, const std::string &name, const network_snapshot &view);
  // One item about `who` to every ready member of `net` but `except`.
  void tell_members(const std::string &net, uint8_t tag, uint32_t who, connection *except);
  // Online in `net` now; its co-members hear of it and meet it at the next
  // publication, which comes at once unless the identity was introduced
  // less than a second ago (then a burst of toggles is told once).
  void go_online(connection &c, const std::string &net);
  // Offline in `net` at once, as co-members are told; tunnels without a
  // common online network left are called off.
  void go_offline(connection &c, const std::string &net);
  // Tells co-members of every network `c` went online in since the last
  // publication, and introduces them.
  void publish_online(connection &c);
  // The connection is a member of `net` (sync, create, join): it is sent
  // the whole network and hears of its changes from now on. Without a
  // view, the store is asked for it and the message follows.
  void add_membership(connection &c, const std::string &net, const network_snapshot &view);
  void add_membership(connection &c, const std::string &net);
  // The connection left `net` (leave, eviction, deletion).
  void forget_membership(connection &c, const std::string &net);
  // Introduces or parts `c` and every client so that tunnels exist exactly
  // between clients online in a common network.
  void refresh_pairs(connection &c);
  void end_pair(connection &a, connection &b);
  // Everything a ready client leaves behind when it goes.
  void depart(connection &c);

  // ---- budgets.cpp: what a connection, identity, address or network may
  // still make the server do ----
  // At accept: false when the address holds its most connections not
  // logged in.
  bool admit_source(uint32_t addr);
  // Counts `c` among (or takes it off) its address's connections not
  // logged in; taking it off lets it send frames of any size.
  void count_unauthenticated(connection &c, bool counted);
  bool may_enroll(connection &c);
  // One password hash (create, join) out of the identity's budget.
  bool may_hash(connection &c);
  // Join guesses are counted per source address and per network name.
  bool may_guess(connection &c, const std::string &net);
  void count_wrong_guess(connection &c, const std::string &net);
  bool may_change_presence(connection &c);
  void prune_budgets();

  const server_config cfg;
  std::unique_ptr<store_worker> jobs;  // the only way to the store
  rsa_public_key pub;
  rsa_private_key pri;
  std::string fingerprint;  // of `pub`, two-byte-length form

  std::set<connection *> conns;
  std::unordered_map<uint64_t, connection *> by_serial;
  uint64_t last_serial = 0;
  std::unordered_map<uint32_t, connection *> by_identity;  // logged in
  std::unordered_map<std::string, connection *> by_cookie;  // discovery punches
  std::map<std::string, std::set<connection *>> watchers;  // ready members per network
  std::map<std::string, std::set<connection *>> online_in;  // online members per network
  std::set<uint32_t> spis;  // channel and tunnel identifiers in use
  std::map<uint32_t, int64_t> seen;  // last-seen times not yet written
  std::set<connection *> unpublished;  // go-onlines not yet told (publish_at)

  std::unordered_map<uint32_t, size_t> unauthenticated;  // per source address
  bucket_table<uint32_t> enrolments;     // per source address
  bucket_table<uint32_t> hashes;         // per identity
  bucket_table<uint32_t> guesses_from;   // wrong join passwords per source address
  bucket_table<std::string> guesses_at;  // ... and per network name
  bucket_table<uint32_t> introductions;  // publications of go-onlines per identity
  size_t refused_sources = 0;            // accepts refused since the last log line
  hub_counters counters;
  int64_t started_at;  // seconds since the epoch
  std::unique_ptr<udp_relay> relay;  // null with RELAY_never
  relay_stats relay_totals;          // as of the last sweep
  std::unique_ptr<cluster> cl;       // null when the server runs alone
  uint8_t spi_slot = 0;              // top byte of identifiers (in a cluster)
  srv::endpoint redirect_all;        // addr 0 = serve clients here
  // The administration socket's view of the hub, for changes that other
  // servers of the cluster made.
  admin_live &admin_live_view();
  std::unique_ptr<admin_live> live_view;

  uint32_t new_spi();
  void free_spi(uint32_t spi);
  void flush_seen();

 private:
  bool start_udp_extras();
  void accept_all();
  void read_udp(evl_event &ev);
  void sweep();
  void publish_due();

  uint16_t port = 0;
  uint16_t probe_port = 0;
  evl_event listener;
  evl_event udp;
  evl_event probe_udp;  // the second UDP port of discovery
  evl_timer sweeper;  // timeouts, once a second
  evl_timer reaper;   // tears down killed connections
  evl_timer publisher;  // at the earliest publish_at of `unpublished`
  std::vector<connection *> dying;
  uint32_t listener_paused_until = 0;
  uint32_t last_flush = 0;
  bool flushing = false;  // a write of `seen` is out
};

// Random salt and PBKDF2-HMAC-SHA256 of passwords, compared in constant time.
std::string password_hash(const std::string &password, const std::string &salt,
                          uint32_t iterations);
bool password_matches(const std::string &password, const network_rec &n);
// Gives `n` a new random salt and the hash of `password`.
void set_network_password(network_rec &n, const std::string &password, uint32_t iterations);
// A network that does not exist, for a join of an unknown name: checking a
// password against it costs what a real check costs, and always fails.
network_rec decoy_network(uint32_t iterations);
