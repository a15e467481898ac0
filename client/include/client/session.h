// The session: the daemon's one conversation with its mediation server and
// everything that hangs off it. It logs in (resolve, connect, helo, enroll
// or auth, discovery, tap check, sync), keeps the tables of networks and
// peers in step with the server, sends the user's network operations, and
// owns the peer tunnels, the UDP socket and the packet path between the tap
// device and the tunnels.
//
// There is exactly one session per daemon. It owns the pipe chain to the
// server, the server channel's protection, the UDP socket, the peer,
// network and tunnel records, the shapers and the tap device. It reports
// state changes, errors and operation results to a session_cb that it does
// not own (the control server). Everything runs inside event-loop
// callbacks.
//
// The implementation is split by concern: session_login.cpp (lifecycle,
// connection, timers, redirect and punch), session_steps.cpp (the login
// steps from helo to ready), session_dispatch.cpp (framing, the handler
// table), session_tables.cpp (peers and networks), session_netops.cpp
// (network operations), session_tunnels.cpp (tunnels, the UDP socket's
// input, keep-alives), session_punch.cpp (hole punching, paced by a timer)
// and session_packets.cpp (between tap and tunnels).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <memory>
#include <string>

#include "clisrv/msg_crypto.h"
#include "common/codec.h"
#include "common/log.h"
#include "events/evl.h"
#include "netlib/nethdr.h"
#include "stack/io_pipe.h"
#include "stack/resolve.h"
#include "tapdev/tapdev.h"

// Main states; the sub-state is 0 while a step runs and 1 once it is done.
enum session_state : uint32_t {
  STATE_offline = 1,
  STATE_resolve = 2,
  STATE_connect = 3,
  STATE_helo = 4,
  STATE_enroll = 5,
  STATE_auth = 6,
  STATE_discovery = 7,
  STATE_conf = 8,
  STATE_sync = 9,
  STATE_ready = 10,
};

// Kinds of session errors, as reported to session_cb and logged.
enum session_error : uint32_t {
  ERR_resolve = 1,
  ERR_connect = 2,
  ERR_local = 3,
  ERR_parse = 4,
  ERR_state = 5,
  ERR_refused = 6,
  ERR_crypto = 7,
  ERR_tap = 8,
  // Our own: no key to check the server with (server.pub is missing and
  // none is built in). err_text names the file that is needed.
  ERR_server_key = 9,
};

// A message arrived in a state that does not expect it.
struct bad_state : std::exception {
  const char *what() const noexcept override { return "message in the wrong state"; }
};

// What the session tells its owner. Called from inside the session; the
// receiver may read the session's fields (err_text, err_detail,
// last_status) but must not destroy it.
class session_cb {
 public:
  // Before the session records the new state.
  virtual void on_state_change(uint32_t state, uint8_t sub) = 0;
  // Before err_text and err_detail are cleared.
  virtual void on_session_error(uint32_t kind) = 0;
  virtual void on_create_result(uint8_t status) = 0;
  virtual void on_delete_result(uint8_t status) = 0;
  virtual void on_modify_result(uint8_t status) = 0;
  virtual void on_join_result(uint8_t status, const std::string &name) = 0;
  virtual void on_netop_result(uint8_t status, const std::string &name, uint8_t op) = 0;

 protected:
  ~session_cb() = default;
};

struct network;

// Another client met through a common network. The client's own identity
// never has a record.
struct peer {
  uint32_t vip = 0;              // virtual address; the key
  uint8_t server_reported = 0;   // a peer.ok or peer.unreachable arrived
  std::string nickname;          // from an info reply; empty until then
  uint32_t info_value = 0;
  std::set<network *> networks;  // networks of which the peer is a member
  std::set<network *> online_in; // networks in which it is online
};

struct network {
  std::string name;         // the key, compared byte for byte
  uint32_t owner = 0;       // as the server last named it; 0 until then
  std::set<peer *> members; // members other than ourselves
  std::set<peer *> online;  // members online in this network
};

// One tunnel per peer, created from a peer.ok.
struct tunnel {
  uint32_t peer_addr = 0;  // the peer's virtual address
  uint32_t addr = 0;       // its public IPv4 address
  uint16_t port = 0;       // its public UDP port, host order
  msg_crypto *mc = nullptr;  // owned
  uint64_t tx_count = 0;     // datagrams the system took
  uint64_t rx_count = 0;     // datagrams accepted
  uint32_t last_tx = 0;      // evl_now of the last of each
  uint32_t last_rx = 0;
  // What `quilmar list --json` shows of the tunnel, counted beside the two
  // counts above at no other cost: bytes of the datagrams (as on the wire),
  // datagrams refused after their check or by a rate limit, and when the
  // peer's last keep-alive came (valid once keepalives_rx is not 0).
  uint64_t tx_bytes = 0;
  uint64_t rx_bytes = 0;
  uint64_t auth_failed = 0;      // failed the MAC check or decryption
  uint64_t shaper_dropped = 0;   // refused by the TX or the RX shaper
  uint64_t bad_packets = 0;      // authentic, but no packet we can deliver
  uint64_t keepalives_rx = 0;
  uint32_t last_keepalive_rx = 0;
  // Sequence numbers accepted so far: a datagram is taken once, so that a
  // captured one cannot be injected into the LAN again.
  replay_window rx_window;
  uint32_t replayed = 0;         // datagrams dropped as replays
  uint32_t foreign_source = 0;   // packets dropped by StrictSource
  // What the peer can make us log per datagram, limited for each tunnel
  // so that one peer's flood does not hide another's lines.
  struct {
    log_limit replay, keepalive, addr_change, unsupported, bad_size, foreign_source;
  } log;
};

// Lines that anybody who can send us a datagram can cause, one limit per
// kind for the whole session.
struct datagram_log_limits {
  log_limit unknown_spi, bad_datagram, bad_server_frame, replayed_server_frame;
  log_limit rx_shaper, tx_shaper, punch_dropped;
};

// Hole punching: the datagrams of one record of a punch message, sent one
// by one from punch_timer.
struct punch_run {
  uint32_t addr = 0;        // target, host order
  uint16_t first_port = 0;
  uint16_t count = 0;       // at least 1
  uint8_t ttl = 0;          // IP time-to-live of these datagrams; 0 = the socket's
  std::string payload;
};

// Bytes that a datagram handed to session::on_datagram must have writable
// in front of it: the IPv4 packet it carries gets its Ethernet header
// there, without a copy.
constexpr size_t DATAGRAM_HEADROOM = 8;

// A tunnel message: the sender's SPI and sequence words, then a protocol
// number and what it carries.
constexpr size_t P2P_HEADER = 8;
enum p2p_protocol : uint8_t {
  P2P_IP4 = 0x80,
  P2P_RESERVED_81 = 0x81,
  P2P_KEEPALIVE = 0x84,
  P2P_RESERVED_85 = 0x85,
};

namespace srv {
struct peer_ok_msg;
}

class session : public resolve_cb, public io_pipe_cb, public evl_cb, public tapdev_cb {
 public:
  explicit session(session_cb *cb);
  virtual ~session();

  // ---- Lifecycle (session_login.cpp) ----
  // Starts a login from the offline state.
  void go_online();
  // Leaves whatever state the session is in and drops the connection;
  // schedules a new login when `reconnect` is set.
  void go_offline();
  void set_reconn(bool on);

  // ---- Network operations (session_netops.cpp) ----
  // Each sends one message when the session is in a state that allows it
  // and logs either way; the reply arrives through session_cb.
  void create_network(const std::string &name, const std::string &password);
  void delete_network(const std::string &name);
  void modify_network(const std::string &name, const std::string &modification);
  void join_network(const std::string &name, const std::string &password);
  void netop(const std::string &name, uint8_t op);
  void set_nick(const std::string &nickname);

  // ---- Tables (session_tables.cpp) ----
  peer *find_peer(uint32_t vip, bool add);
  network *find_network(const std::string &name, bool add);
  // Asks the server for a peer's nickname.
  void request_nick(uint32_t vip);
  // The tunnel to a peer, or null.
  tunnel *find_tunnel(uint32_t peer_addr);

  // ---- Tunnels (session_tunnels.cpp) ----
  tunnel *find_tunnel_by_spi(uint32_t spi);
  // Takes the record (with its mc, SPIs set) into the list and both tables.
  void add_tunnel(tunnel *t);
  // Sends one tunnel message (protocol number first) to the peer; false
  // when it was not sent (no socket, refused by the TX shaper when
  // `shaped`, or the send failed).
  bool send_to_peer(const uint8_t *payload, size_t len, tunnel *t, bool shaped);
  // One datagram as it came from the UDP socket, source in udp_from,
  // handled in place; DATAGRAM_HEADROOM bytes before `buf` are writable.
  void on_datagram(uint8_t *buf, size_t len);

  // ---- Packet path (session_packets.cpp) ----
  // An IPv4 packet from a peer to the tap; 14 writable bytes must precede
  // `packet`, where its Ethernet header is built.
  void deliver_ip4(tunnel *t, uint8_t *packet, size_t size);

  // ---- Callbacks of the four bases ----
  void on_resolved(int error, const uint32_t *addrs, int count) override;
  void on_ready() override;
  void on_data(std::string &frame) override;
  void on_event(evl_event *ev, int events) override;
  void on_closed() override;
  void on_error(const char *context, int code) override;
  void on_timer(evl_timer *timer) override;
  void on_configured(bool ok) override;
  void on_frame(uint8_t *frame, int length) override;
  void on_frames_begin() override;
  void on_frames_end() override;

  // ---- State, read by the control server and the daemon ----
  session_cb *cb;
  uint32_t state = STATE_offline;
  uint8_t sub = 1;
  bool running = true;       // the daemon's main loop runs while set
  std::string err_text;      // failed step of the next error report
  uint32_t err_detail = 0;
  bool reconnect = false;
  uint32_t last_type = 0;    // type of the last server message
  uint8_t last_status = 0;   // status byte of the last server reply

  tapdev *tap = nullptr;     // owned; set by the daemon before the first login
  int tap_status = 0;        // 0 pending, 1 configured, 2 failed

  std::list<peer *> peers;        // in order of creation
  std::list<network *> networks;  // in order of creation
  std::deque<std::string> pending;  // names of sent join and netop requests

  std::list<tunnel *> tunnels;
  std::map<uint32_t, tunnel *> tunnels_by_addr;
  std::map<uint32_t, tunnel *> tunnels_by_spi;

  shaper rx_shaper;
  shaper tx_shaper;
  datagram_log_limits udp_log;

  // Hole punching (session_punch.cpp): what is still to be sent, in order,
  // at most PUNCH_QUEUE_LIMIT datagrams in all.
  std::deque<punch_run> punch_queue;
  uint32_t punch_next = 0;     // index of the next port of the front run
  uint32_t punch_pending = 0;  // datagrams in the queue
  evl_timer punch_timer;

  // ---- Connection (owned) ----
  sockaddr_in server_addr{};  // from the lookup or a redirect
  // Counts lookups: a server name with several addresses is tried one
  // address per connection attempt, in turn, so a dead server costs one try.
  uint32_t server_turn = 0;
  int fd = -1;                // the TCP socket while connecting
  io_pipe *pipe = nullptr;    // tcp_pipe -> buf_pipe -> dgm_pipe
  msg_crypto *mc = nullptr;   // server channel protection, from helo on
  sockaddr_in local_addr{};   // local end of the connection, then of udp_sock
  sockaddr_in udp_from{};     // source of the last datagram received
  evl_event udp_sock;         // fd -1 while closed
  // Offloads the socket has (each off again once the kernel refuses it),
  // and how often each served: messages of several datagrams sent, reads
  // that brought several.
  bool udp_gso = false;
  bool udp_gro = false;
  uint64_t udp_gso_sends = 0;
  uint64_t udp_gro_reads = 0;

  evl_timer reconnect_timer;
  evl_timer server_keepalive_timer;
  evl_timer tunnel_keepalive_timer;
  // Ticks every WAKE_TICK_MS while ready. The loop turns at least five
  // times a second, so a much longer gap between two ticks means that the
  // process slept (a suspended laptop, a stopped process) and the server
  // may have forgotten us meanwhile.
  evl_timer wake_timer;
  uint32_t wake_last_tick = 0;  // evl_now at the last tick
  static constexpr uint32_t WAKE_TICK_MS = 1000;
  static constexpr uint32_t WAKE_GAP_MS = 5000;

  // Hands a server frame received on the connection (still protected when
  // keys are active) to the message handlers; the pipe calls it, and so may
  // tests. A protected frame must pass its check and come after the last
  // one, or the session goes offline with ERR_crypto.
  void dispatch(std::string &frame);
  // The same for a server frame that came by UDP (channel identifier in
  // front): one that fails its check, or was seen before, is dropped
  // with a line in the log, and the connection stays.
  void dispatch_datagram(const uint8_t *buf, size_t len);

 private:
  session(const session &) = delete;
  session &operator=(const session &) = delete;

  // Login sequence and connection (session_login.cpp).
  void set_state(uint32_t new_state, uint8_t new_sub);
  void report_error(uint32_t kind);
  void start_resolve();
  void start_connect();
  bool open_udp();
  void close_udp();
  // The socket's settings (session_udp.cpp): large buffers, logging what
  // it got, and segmentation and receive offload where the kernel has them.
  void size_udp_buffers();
  void enable_udp_offloads();
  int udp_buffers_logged[2] = {-1, -1};  // receive, send: the last sizes logged

  // Drops the connection, the server channel's protection, a running
  // lookup and the UDP socket, without any state change.
  void release_connection();
  void send_helo();
  // Signs the client handshake digest; reports ERR_crypto when it cannot.
  bool sign_handshake(std::string &signature);
  void send_enroll();
  void send_auth();
  // Whether the server's signature over its handshake digest verifies;
  // reports ERR_crypto when it does not.
  bool server_signed(const std::string &signature);
  void start_discovery();
  void tap_check();
  void start_sync();
  void become_ready();
  void run_command(const std::string &command);
  // One tick of wake_timer: after a sleep, sends a keep-alive at once so
  // that a connection the server no longer knows is reset now rather than
  // at the next keep-alive, up to a minute and a half later.
  void check_wake();

  // Framing and handlers (session_dispatch.cpp). A handler reads its body
  // from a reader positioned after the type byte; it may throw parser::err
  // or bad_state, and must return at once after reporting an error.
  bool send_msg(std::string &frame);
  // For a network operation `op` on `name`: whether the session may send it
  // now (else logged as not ready), and sending it with its log line.
  bool ready_for(const char *op, const std::string &name);
  bool send_network_op(const char *op, const std::string &name, std::string &frame);
  typedef void (session::*handler)(msg_reader &r);
  static handler handler_for(uint32_t type);
  // A frame whose protection is off (or was never on): to its handler.
  void handle_frame(std::string &frame);
  // Reads a reply's status byte into last_status.
  uint8_t take_status(msg_reader &r);
  bool step_accepted(msg_reader &r, uint32_t step);
  static void must_end(const msg_reader &r);

  void on_helo_ok(msg_reader &r);
  void on_auth_ok(msg_reader &r);
  void on_enrl_ok(msg_reader &r);
  void on_sync_ok(msg_reader &r);
  void on_disc_reply(msg_reader &r);
  void on_redirect(msg_reader &r);
  void on_punch(msg_reader &r);
  // Sends the next punch datagram and sets the timer for the one after.
  void punch_step();
  void punch_clear();
  void on_udp_probe(msg_reader &r);
  void on_network(msg_reader &r);
  void on_evicted(msg_reader &r);
  void on_peer(msg_reader &r);
  void on_info(msg_reader &r);
  void on_create_reply(msg_reader &r);
  void on_delete_reply(msg_reader &r);
  void on_modify_reply(msg_reader &r);
  void on_join_reply(msg_reader &r);
  void on_netop_reply(msg_reader &r);
  void on_change_reply(msg_reader &r);

  // Tables (session_tables.cpp).
  // Whether the record still exists afterwards.
  bool release_peer(peer *p);
  void recheck_peers();
  void purge_state();
  // Drops a network the client no longer belongs to (evicted, left).
  void drop_network(network *n);
  void delete_tunnel(uint32_t peer_addr);

  // Counts dropped connections, so that a caller can tell whether the
  // connection it used went away during a call.
  uint32_t connection_count = 0;
  // Sequence numbers of the server's frames by UDP on this connection.
  replay_window server_udp_window;

  // Tunnels (session_tunnels.cpp).
  void on_peer_ok(uint32_t vip, const srv::peer_ok_msg &m);
  // Reads (session_udp.cpp): drains the socket, splitting coalesced reads.
  void on_udp_readable();
  // The datagram size of a coalesced read, or 0 for a single datagram.
  static size_t coalesced_size(msghdr &msg);
  // Protects in place and sends `len` bytes at `frame` (8 header bytes,
  // then the message), which has room for `room`.
  bool send_frame(uint8_t *frame, size_t len, size_t room, tunnel *t, bool shaped);
  void send_tunnel_keepalives();
  void log_unsupported(tunnel *t, uint8_t protocol, const uint8_t *frame, size_t size);

  // Packet path (session_packets.cpp).
  void on_tap_arp(const nethdr &nh);
  void on_tap_ip4(const nethdr &nh);
  // Sends the message at `msg` (len bytes, 8 free bytes before it) to every
  // tunnel; each but the last gets a copy, the last one the original.
  void flood(uint8_t *msg, size_t len, size_t room);

  // Where tunnel messages built from a copy are protected (keep-alives and
  // all but one copy of a flooded packet).
  alignas(16) uint8_t tx_scratch[P2P_HEADER + 1600 + MSG_CRYPTO_GROWTH];

  // Datagrams held back while the tap is drained, sent a batch per sendmmsg
  // when the drain ends or the batch is full. Each is counted as sent on
  // its tunnel only once the system took it, as when sent on its own.
  struct tx_slot {
    sockaddr_in to;
    tunnel *t;
    size_t len;
    alignas(16) uint8_t bytes[P2P_HEADER + 1600 + MSG_CRYPTO_GROWTH];
  };
  static constexpr unsigned TX_BATCH = 64;
  bool queue_datagram(const uint8_t *frame, size_t len, const sockaddr_in &to, tunnel *t);
  void flush_datagrams();
  // Sends the held-back slots [from, to) (session_udp.cpp).
  void send_datagrams(unsigned from, unsigned to);
  bool tx_batching = false;
  unsigned tx_queued = 0;
  tx_slot tx_batch[TX_BATCH];
  // Where the socket's reads land: UDP_BATCH slots, each with
  // DATAGRAM_HEADROOM in front, large enough for a coalesced read. Left
  // uninitialised, so that only the pages used count against the daemon.
  std::unique_ptr<uint8_t[]> udp_rx_area;
};
