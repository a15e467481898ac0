// A scripted stand-in for the daemon's end of the control socket, for
// driving the real `quilmar` client: it listens on the socket path, and
// each connection runs a test-written script on a thread of its own.
// Messages are framed by hand (4-byte big-endian length), independently of
// the transport library.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// The daemon's view of one connected client.
class fake_client {
 public:
  explicit fake_client(int fd) : fd_(fd) {}
  // Sends the messages as frames in one write, so that the client
  // receives them together.
  void send(const std::string &message) const;
  void send_together(const std::string &first, const std::string &second) const;
  // The next message; false at the end of the stream or after the deadline.
  bool receive(std::string &message,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the client closes without sending anything more.
  bool closes_without_request(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Stops reading: the client's next send fails.
  void stop_reading() const;
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string buffer_;
};

class fake_daemon {
 public:
  explicit fake_daemon(const std::string &path);
  ~fake_daemon();
  // Accepts the next connection and runs `script` on it on a thread; the
  // connection is closed when the script returns.
  void serve(std::function<void(fake_client &)> script);
  // Waits for the script to finish.
  void join();

 private:
  int listen_fd_ = -1;
  std::thread thread_;
};

// Replies built field by field, as the daemon sends them.
std::string status_reply(uint32_t state, uint8_t reconnect = 0,
                         const std::string &nickname = "alice");
std::string state_change(uint32_t state, uint8_t sub, uint8_t last_status = 1);
std::string error_reply(uint32_t kind, uint8_t last_status);
std::string result_reply(uint8_t code, uint8_t result);
std::string network_reply(const std::string &name, uint8_t online);
std::string member_reply(uint32_t addr, const std::string &nickname, uint8_t online,
                         uint8_t reported, uint32_t tunnel_addr, uint16_t tunnel_port);
// The state changes of a whole login of an enrolled client, from 2.0 to 10.1.
std::vector<std::string> login_steps();
