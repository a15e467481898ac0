// A scripted mediation server for the session's tests. It listens on a
// loopback address with a port of the system's choice and runs a script on
// a thread of its own, so that the test's thread can drive the client's
// event loop meanwhile. The script plays the server's side of one scenario
// over the same message layouts and channel protection as the client, in
// the responder's role, and signs with a key of its own that the client
// trusts through server.pub. Everything the client sent is recorded.
//
// The script must not write to the log (the capture belongs to the test's
// thread); it reports problems with gtest's EXPECT macros.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clisrv/msg_crypto.h"
#include "clisrv/server_msg.h"
#include "crypto/bignum.h"

// One message from the client, protection removed: its type and the bytes
// after the type byte.
struct client_msg {
  uint8_t type = 0;
  std::string body;
};

class test_server;

// One accepted connection.
class test_conn {
 public:
  test_conn(test_server &server, int fd);
  ~test_conn();

  // The next message; false when the client closed the connection, sent
  // something that does not pass the channel's check, or nothing came in
  // time.
  bool recv(client_msg &m, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The next message, which must be of `type` (an EXPECT failure otherwise;
  // the returned type then tells).
  client_msg expect(uint8_t type);
  // Hangs up.
  void close();
  // True once the client has closed its end (within the timeout).
  bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // A message of `type` and `body`, protected once keys are set.
  void send(uint8_t type, const std::string &body);
  // Bytes exactly as given.
  void send_raw(const std::string &bytes);
  // A message by UDP to `to`, protected as the server protects datagrams:
  // the channel identifier in front. Returns the datagram, which
  // send_udp_raw can send again.
  std::string send_udp(uint8_t type, const std::string &body, const srv::endpoint &to);
  void send_udp_raw(const std::string &datagram, const srv::endpoint &to);
  // A protected frame of `type` and `body`, to be spoilt by the caller.
  std::string protected_frame(uint8_t type, const std::string &body);

  // ---- The server's side of the login ----
  // Takes the helo and answers it; with status 1 the keys are set after
  // the answer, as the client sets them after reading it.
  srv::helo_msg answer_helo(uint8_t status = srv::STATUS_ok);
  // Takes the enroll and, with status 1, assigns `identity` and channel
  // identifier `channel`.
  srv::enroll_msg answer_enroll(uint32_t identity, uint8_t status = srv::STATUS_ok,
                                uint32_t channel = 0x51000001);
  srv::auth_msg answer_auth(uint8_t status = srv::STATUS_ok, uint32_t channel = 0x51000001);
  // Takes a discovery and answers with `status`; returns the announced
  // endpoint.
  srv::endpoint answer_discovery(uint8_t status = srv::STATUS_ok);
  // Takes the sync (its stamp in *stamp) and answers it.
  void answer_sync(uint8_t status = srv::STATUS_ok, uint32_t *stamp = nullptr);
  // helo, enroll (identity != 0) or auth, discovery and sync, all successful.
  void login(uint32_t enroll_identity = 0);
  // The same up to the client's sync, which is taken but not answered: the
  // test sends the tables first.
  void login_until_sync(uint32_t enroll_identity = 0);
  // Sends a udp.probe and waits for its answer: once it is back, the client
  // has handled everything sent before it. Returns the answer's body.
  std::string barrier();

  // Whether the client's handshake signature verifies with `key`.
  bool client_signed(const std::string &signature, const rsa_public_key &key) const;

  std::vector<client_msg> received;  // everything the client sent, in order

 private:
  bool read_exact(std::string &into, size_t count, std::chrono::steady_clock::time_point deadline);
  // helo, enroll (identity != 0) or auth, and discovery.
  void answer_login_steps(uint32_t enroll_identity);

  test_server &server;
  int fd;
  int udp = -1;
  std::unique_ptr<msg_crypto> mc;  // the channel, from helo on
  std::string server_digest;       // what we sign
  std::string client_digest;       // what the client signs
  uint32_t cookie = 0;
};

class test_server {
 public:
  // Listens on `address` (a loopback address) with a port the system picks,
  // signing with a new key or with the key of `same_key_as`.
  explicit test_server(const char *address = "127.0.0.1",
                       const test_server *same_key_as = nullptr);
  ~test_server();  // stops and joins the script

  // Waits for the client to connect. The connection stays open until it is
  // closed or the server is destroyed, so that a script ending does not
  // hang up on the client.
  test_conn *accept(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Whether a connection is waiting (or comes within the timeout).
  bool connection_waiting(std::chrono::milliseconds timeout);

  // Runs `script` on the server's thread; `done` is set when it returns.
  void run(std::function<void(test_server &)> script);
  bool done() const { return finished; }
  void join();

  // The key the client must trust, as server.pub holds it (two-byte lengths).
  std::string public_key_file() const;

  uint16_t port = 0;
  rsa_public_key pub;
  rsa_private_key pri;
  std::atomic<bool> stopping{false};

 private:
  int listen_fd = -1;
  std::vector<std::unique_ptr<test_conn>> conns;
  std::thread thread;
  std::atomic<bool> finished{false};
};

// Bodies the scripts send, built with the shared layouts.
std::string status_body(uint8_t status);
std::string network_body(const std::string &name,
                         const std::vector<std::pair<uint8_t, std::vector<uint32_t>>> &items);
std::string netop_reply_body(uint8_t op, uint8_t status);
std::string str_body(const std::string &s);
