// Shared pieces of the pipe tests: a loopback TCP connection, an owner that
// records its callbacks, and a loop runner with a deadline.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/log.h"
#include "events/evl.h"
#include "event_loop.h"
#include "log_capture.h"
#include "stack/io_pipe.h"

// A connected loopback TCP pair: `mine` goes into a pipe, `peer` stays with
// the test (blocking unless made otherwise).
struct tcp_pair {
  int mine = -1;
  int peer = -1;

  // `sndbuf` > 0 shrinks the send buffer of `mine` before connecting,
  // `peer_rcvbuf` > 0 the receive buffer of `peer`.
  explicit tcp_pair(int sndbuf = 0, int peer_rcvbuf = 0) {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (peer_rcvbuf > 0) setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &peer_rcvbuf, sizeof peer_rcvbuf);
    EXPECT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    EXPECT_EQ(listen(lfd, 1), 0);
    socklen_t len = sizeof sa;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
    mine = socket(AF_INET, SOCK_STREAM, 0);
    if (sndbuf > 0) setsockopt(mine, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    EXPECT_EQ(connect(mine, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    peer = accept(lfd, nullptr, nullptr);
    EXPECT_GE(peer, 0);
    close(lfd);
  }
  ~tcp_pair() {
    if (peer >= 0) close(peer);
  }
  // `mine` now belongs to a pipe.
  int give() {
    int fd = mine;
    mine = -1;
    return fd;
  }
  void write_peer(const std::string &bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = write(peer, bytes.data() + off, bytes.size() - off);
      ASSERT_GT(n, 0);
      off += static_cast<size_t>(n);
    }
  }
  // Reads whatever the peer has without blocking; false once the other end
  // has gone (end of stream, or a reset when it closed with unread bytes).
  bool read_peer(std::string &into) {
    char buf[65536];
    for (;;) {
      ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
        continue;
      }
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
};

// An owner that records every callback and may act from inside them.
struct recorder : io_pipe_cb {
  int ready = 0, closed = 0, errors = 0;
  std::vector<std::string> chunks;
  std::string data;
  std::string error_context;
  int error_code = 0;
  std::vector<std::string> journal;
  std::function<void()> ready_action;
  std::function<void(std::string &)> data_action;
  std::function<void()> error_action;

  void on_ready() override {
    ready++;
    journal.push_back("ready");
    if (ready_action) ready_action();
  }
  void on_data(std::string &bytes) override {
    chunks.push_back(bytes);
    data += bytes;
    journal.push_back("data");
    if (data_action) data_action(bytes);
  }
  void on_closed() override {
    closed++;
    journal.push_back("closed");
  }
  void on_error(const char *context, int code) override {
    errors++;
    error_context = context;
    error_code = code;
    journal.push_back(std::string("error ") + context);
    if (error_action) error_action();
  }
};

// Bytes whose position can be told from their value.
inline std::string pattern(size_t size, unsigned seed = 0) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; i++) s[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xff);
  return s;
}

inline std::string frame(const std::string &body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  std::string f{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
  return f + body;
}

class PipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_log_capture();
  }
  void TearDown() override {
    // Nothing may stay alive once the test has closed its stacks.
    EXPECT_EQ(tcp_pipe_gauge.current, 0);
    EXPECT_EQ(buf_pipe_gauge.current, 0);
    EXPECT_EQ(dgm_pipe_gauge.current, 0);
    stop_log_capture();
  }
};
