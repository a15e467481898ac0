// A small protocol client for server tests: the client's side of the
// server protocol, written plainly with blocking sockets and deadlines. It
// uses the same message layouts (server_msg.h) and the same channel
// protection (msg_crypto_v2, initiator role) as the real client, and keeps
// every message it has not been asked for yet, so that tests can check what
// a client observes: replies, network messages, punches, peer.ok.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "clisrv/msg_crypto.h"
#include "clisrv/server_msg.h"
#include "crypto/bignum.h"

// Keys a test client may use: the demo pair (RSA-2048) by default.
struct client_keys {
  rsa_public_key pub;
  rsa_private_key pri;
};
const client_keys &demo_client_keys();
// A fresh pair of `bits` bits (made once per size and process).
const client_keys &generated_keys(int bits);

// One received message: its type and its body.
struct message {
  uint8_t type = 0;
  std::string body;
};

// peer.ok as a client sees it.
struct peer_view {
  uint32_t peer = 0;
  uint8_t status = 0;
  srv::peer_ok_msg ok;
};

// A network message, items applied in order.
struct network_view {
  std::string name;
  uint32_t owner = 0;
  std::vector<uint32_t> added, online, offline, removed;
};

class proto_client {
 public:
  explicit proto_client(const client_keys &keys = demo_client_keys());
  ~proto_client();

  // The server key the client trusts (the demo key unless set), and where
  // the server is (host order).
  rsa_public_key server_key;
  uint32_t server_addr = INADDR_LOOPBACK;

  // From `from` (host order; another 127.x.y.z poses as another host).
  bool connect(uint16_t port, uint32_t from = INADDR_LOOPBACK);
  void disconnect();
  // Raw bytes onto the stream.
  bool send_raw(const std::string &bytes);
  // A frame begun with srv::frame_begin: protected once keys are set.
  bool send(std::string frame);
  // The next message of `type` (earlier ones of other types stay queued);
  // false when none arrives before the deadline.
  bool expect(uint8_t type, message &m, int timeout_ms = 10000);
  // Whether a message of `type` is queued or arrives within `timeout_ms`.
  bool has(uint8_t type, int timeout_ms);
  // True when the server ends the connection within the deadline.
  bool closed_by_server(int timeout_ms = 10000);

  // ---- Login steps; each returns the status byte (0 on no answer) ----
  uint8_t helo(uint8_t version = srv::PROTOCOL_VERSION, const std::string *fingerprint = nullptr);
  uint8_t enroll(const std::string &nickname);
  uint8_t auth(uint32_t who);
  // Opens the UDP socket on 127.0.0.1 and announces it (or `announce_addr`
  // to pose as a client behind NAT, answering the server's punch).
  uint8_t discovery(uint32_t announce_addr = 0, bool answer_punch = true);
  // sync and the network messages before sync.ok; status of sync.ok.
  uint8_t sync(std::vector<network_view> *nets = nullptr);
  // Whole logins; true when ready.
  bool login_new(uint16_t port, const std::string &nickname, uint32_t from = INADDR_LOOPBACK);
  bool login(uint16_t port, uint32_t who);

  // ---- Operations; each returns the result byte ----
  uint8_t create(const std::string &name, const std::string &password);
  uint8_t remove(const std::string &name);
  uint8_t evict(const std::string &name, uint32_t member);
  uint8_t modify(const std::string &name, const std::string &record);
  uint8_t join(const std::string &name, const std::string &password);
  uint8_t netop(const std::string &name, uint8_t op);
  uint8_t change_nick(const std::string &nickname);
  // Status of the info reply; the nickname when there is one.
  uint8_t info(uint32_t who, std::string &nickname);

  // Datagrams on the UDP socket that discovery opened: one sent, as a punch
  // sends it, or the next one received (false when none comes in time).
  bool send_udp(const std::string &bytes, const srv::endpoint &to);
  bool recv_udp(std::string &bytes, srv::endpoint &from, int timeout_ms = 5000);

  // Queued messages decoded; each takes the oldest of its kind.
  bool next_network(network_view &n, int timeout_ms = 10000);
  bool next_peer(peer_view &p, int timeout_ms = 10000);
  bool next_punch(std::vector<srv::punch_record> &records, int timeout_ms = 10000);
  bool next_evicted(std::string &name, int timeout_ms = 10000);

  uint32_t identity = 0;
  uint32_t channel = 0;
  srv::endpoint udp_endpoint;  // of the UDP socket, once discovery ran
  std::unique_ptr<msg_crypto_v2> mc;
  std::deque<message> queued;

 private:
  bool read_frame(std::string &frame, int timeout_ms);
  bool read_exact(char *buf, size_t n, int timeout_ms);
  uint8_t status_reply(uint8_t type);
  const client_keys &keys;
  int fd = -1;
  int udp_fd = -1;
  uint32_t local_addr = INADDR_LOOPBACK;
};

// Reads a whole network message body.
network_view parse_network(const std::string &body);
