#include "ipclib/ipc.h"

#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "events/evl.h"
#include "event_loop.h"
#include "log_capture.h"
#include "tempdir.h"

namespace {


std::string frame(const std::string &body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + body;
}

struct owner : ipc_cb {
  int opened = 0, closed = 0;
  std::vector<std::string> messages;
  std::vector<std::string> journal;
  std::function<void(const std::string &)> message_action;
  std::function<void()> open_action;

  void on_open() override {
    opened++;
    journal.push_back("open");
    if (open_action) open_action();
  }
  void on_close() override {
    closed++;
    journal.push_back("close");
  }
  void on_message(const std::string &m) override {
    messages.push_back(m);
    journal.push_back("message");
    if (message_action) message_action(m);
  }
};

// A plain client socket standing in for the other process.
struct raw_client {
  int fd = -1;
  explicit raw_client(const std::string &path) {
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, sizeof sa.sun_path - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0) << errno;
  }
  ~raw_client() {
    if (fd >= 0) close(fd);
  }
  void put(const std::string &bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Reads without blocking; false once the other end has closed.
  bool take(std::string &into) {
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
        continue;
      }
      return n != 0;
    }
  }
};

class Ipc : public ::testing::Test {
 protected:
  void SetUp() override {
    start_log_capture();
    path = dir.file("ipc_sock");
    ipc_set_path(path);
  }
  // Each test's owners die with it; the transport must not outlive them.
  void TearDown() override {
    ipc_close();
    stop_log_capture();
  }
  // The daemon side, with one raw client whose connection is open.
  void serve_one(owner &daemon, std::unique_ptr<raw_client> &client) {
    ASSERT_TRUE(ipc_listen(&daemon));
    client = std::make_unique<raw_client>(path);
    ASSERT_TRUE(run_until([&] { return daemon.opened == 1; }));
  }
  temp_dir dir;
  std::string path;
};

// Only the daemon's own user and root are served, whatever the socket
// file's mode lets through: another user's connection is closed unheard.
TEST_F(Ipc, OnlyTheSameUserAndRootAreServed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  owner daemon;
  ASSERT_TRUE(ipc_listen(&daemon));
  ASSERT_EQ(chmod(dir.path().c_str(), 0755) | chmod(path.c_str(), 0777), 0);
  pid_t stranger = fork();
  ASSERT_GE(stranger, 0);
  if (stranger == 0) {  // exits 0 when closed on without a word
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    raw_client client(path);
    client.put(frame("x"));
    char c;
    const ssize_t n = recv(client.fd, &c, 1, 0);  // a reset if our bytes were unread
    _exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 3);
  }
  int status = -1;
  ASSERT_TRUE(run_until([&] { return waitpid(stranger, &status, WNOHANG) == stranger; }));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(daemon.opened, 0);
  EXPECT_TRUE(logged_prefix("ipc: refused a client of uid 65534 (pid ")) << logged_text();
  raw_client root(path);  // the same user (root here): served
  EXPECT_TRUE(run_until([&] { return daemon.opened == 1; }));
}

TEST_F(Ipc, PathOf107BytesIsAcceptedAnd108Rejected) {
  std::string base = dir.path() + "/";
  ASSERT_LT(base.size(), 100u);
  std::string p107 = base + std::string(107 - base.size(), 's');
  std::string p108 = p107 + "x";
  ipc_set_path(p108);
  owner daemon;
  EXPECT_FALSE(ipc_listen(&daemon));
  EXPECT_FALSE(ipc_connect(&daemon));
  EXPECT_TRUE(logged_line("ipc: the size of path '" + p108 + "' is invalid\n"));
  ipc_set_path("");
  EXPECT_FALSE(ipc_listen(&daemon));
  EXPECT_TRUE(logged_line("ipc: the size of path '' is invalid\n"));

  ipc_set_path(p107);
  ASSERT_TRUE(ipc_listen(&daemon));
  raw_client client(p107);
  ASSERT_TRUE(run_until([&] { return daemon.opened == 1; }));
}

TEST_F(Ipc, StaleSocketFileIsReplaced) {
  // What a daemon that died leaves behind: a bound socket nobody listens on.
  {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, sizeof sa.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    close(fd);
  }
  owner client_side;
  EXPECT_FALSE(ipc_connect(&client_side));
  EXPECT_TRUE(logged_line("ipc: connect() failed with " + std::to_string(ECONNREFUSED) + "\n"));
  owner daemon;
  std::unique_ptr<raw_client> client;
  serve_one(daemon, client);
}

TEST_F(Ipc, ConnectingWithoutDaemonFails) {
  owner client_side;
  EXPECT_FALSE(ipc_connect(&client_side));
  EXPECT_TRUE(logged_line("ipc: connect() failed with " + std::to_string(ENOENT) + "\n"));
  EXPECT_FALSE(ipc_send("x"));
  EXPECT_EQ(client_side.closed, 0);
}

TEST_F(Ipc, SecondClientIsRefusedAndFirstUnaffected) {
  owner daemon;
  std::unique_ptr<raw_client> first;
  serve_one(daemon, first);
  raw_client second(path);
  std::string got2;
  ASSERT_TRUE(run_until([&] { return !second.take(got2); }));
  EXPECT_EQ(got2, "");
  EXPECT_TRUE(logged_line("ipc: busy with another client\n"));

  first->put(frame("still here"));
  ASSERT_TRUE(run_until([&] { return daemon.messages.size() == 1; }));
  EXPECT_EQ(daemon.messages[0], "still here");
  EXPECT_TRUE(ipc_send("reply"));
  std::string got1;
  ASSERT_TRUE(run_until([&] {
    first->take(got1);
    return got1.size() >= 9;
  }));
  EXPECT_EQ(got1, frame("reply"));
  EXPECT_EQ(daemon.opened, 1);
  EXPECT_EQ(daemon.closed, 0);
}

TEST_F(Ipc, MessageSplitOverManyReceivesIsDeliveredOnce) {
  owner daemon;
  std::unique_ptr<raw_client> client;
  serve_one(daemon, client);
  std::string body(1000, '\0');
  for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<char>(i * 13);
  std::string f = frame(body);
  client->put(f.substr(0, 2));  // even the length field arrives in pieces
  run_idle(2);
  client->put(f.substr(2));
  ASSERT_TRUE(run_until([&] { return !daemon.messages.empty(); }));
  run_idle();
  ASSERT_EQ(daemon.messages.size(), 1u);
  EXPECT_EQ(daemon.messages[0], body);
}

TEST_F(Ipc, TwoMessagesInOneReceiveAndAnEmptyOne) {
  owner daemon;
  std::unique_ptr<raw_client> client;
  serve_one(daemon, client);
  client->put(frame("first") + frame("") + frame("third"));
  ASSERT_TRUE(run_until([&] { return daemon.messages.size() == 3; }));
  EXPECT_EQ(daemon.messages[0], "first");
  EXPECT_EQ(daemon.messages[1], "");
  EXPECT_EQ(daemon.messages[2], "third");
}

TEST_F(Ipc, OpenComesOnceBeforeAnyMessage) {
  owner daemon;
  ASSERT_TRUE(ipc_listen(&daemon));
  raw_client client(path);
  client.put(frame("eager"));  // before the daemon has even accepted
  ASSERT_TRUE(run_until([&] { return !daemon.messages.empty(); }));
  run_idle();
  ASSERT_EQ(daemon.journal.size(), 2u);
  EXPECT_EQ(daemon.journal[0], "open");
  EXPECT_EQ(daemon.journal[1], "message");
}

TEST_F(Ipc, PeerCloseEndsOnceAndNextClientIsServed) {
  owner daemon;
  std::unique_ptr<raw_client> client;
  serve_one(daemon, client);
  client.reset();
  ASSERT_TRUE(run_until([&] { return daemon.closed == 1; }));
  run_idle();
  EXPECT_EQ(daemon.closed, 1);
  EXPECT_FALSE(ipc_send("nobody"));
  raw_client next(path);
  ASSERT_TRUE(run_until([&] { return daemon.opened == 2; }));
  next.put(frame("hi"));
  ASSERT_TRUE(run_until([&] { return daemon.messages.size() == 1; }));
  EXPECT_FALSE(logged_line("ipc: busy with another client\n"));
}

// One command right after another: the first client's last request and
// hang-up wait in the same poll round as the second client's arrival.
TEST_F(Ipc, ClientThatJustLeftDoesNotMakeTheNextOneBusy) {
  owner daemon;
  std::unique_ptr<raw_client> first;
  serve_one(daemon, first);
  first->put(frame("last words"));
  first.reset();
  raw_client next(path);
  ASSERT_TRUE(run_until([&] { return daemon.opened == 2; }));
  EXPECT_EQ(daemon.journal,
            (std::vector<std::string>{"open", "message", "close", "open"}));
  EXPECT_EQ(daemon.messages, std::vector<std::string>{"last words"});
  EXPECT_FALSE(logged_line("ipc: busy with another client\n"));
  next.put(frame("hi"));
  ASSERT_TRUE(run_until([&] { return daemon.messages.size() == 2; }));

  // One that is still there keeps its place.
  raw_client third(path);
  ASSERT_TRUE(run_until([&] { return logged_line("ipc: busy with another client\n"); }));
  EXPECT_EQ(daemon.closed, 1);
}

TEST_F(Ipc, AbsurdLengthEndsTheConnection) {
  owner daemon;
  std::unique_ptr<raw_client> client;
  serve_one(daemon, client);
  client->put(std::string(4, char(0xff)) + std::string(200, 'z'));
  ASSERT_TRUE(run_until([&] { return daemon.closed == 1; }));
  EXPECT_TRUE(logged_line("ipc: message of 4294967295 bytes is too long\n"));
  std::string got;
  ASSERT_TRUE(run_until([&] { return !client->take(got); }));
  EXPECT_TRUE(daemon.messages.empty());
}

TEST_F(Ipc, LargestAllowedMessageIsDelivered) {
  owner daemon;
  std::unique_ptr<raw_client> client;
  serve_one(daemon, client);
  std::string body(IPC_MAX_MESSAGE, 'm');
  std::string f = frame(body);
  size_t off = 0;
  ASSERT_TRUE(run_until([&] {
    if (off < f.size()) {
      ssize_t n = send(client->fd, f.data() + off, f.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) off += static_cast<size_t>(n);
    }
    return !daemon.messages.empty();
  }));
  EXPECT_EQ(daemon.messages[0].size(), body.size());
  EXPECT_EQ(daemon.closed, 0);
  EXPECT_FALSE(ipc_send(std::string(IPC_MAX_MESSAGE + 1, 'x')));
  EXPECT_EQ(daemon.closed, 0) << "an oversized reply is refused, the connection kept";
}

TEST_F(Ipc, FailedSendFromInsideOnMessageEndsConnectionSafely) {
  owner daemon;
  std::unique_ptr<raw_client> client;
  serve_one(daemon, client);
  bool sent = true;
  daemon.message_action = [&](const std::string &) { sent = ipc_send("answer"); };
  client->put(frame("question") + frame("never read"));
  client.reset();  // gone before the daemon answers
  ASSERT_TRUE(run_until([&] { return daemon.closed == 1; }));
  run_idle();
  EXPECT_FALSE(sent);
  EXPECT_EQ(daemon.messages.size(), 1u) << "handling stops with the connection";
  EXPECT_EQ(daemon.closed, 1);
  EXPECT_TRUE(logged_line("ipc: socket_send() failed with " + std::to_string(EPIPE) + "\n"));
}

TEST_F(Ipc, SendWithoutConnectionIsAnAssertion) {
  EXPECT_FALSE(ipc_send("x"));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("assert ipc in ../ipclib/src/unix/ipc.cpp:", 0), 0u) << logged[0];
}

TEST_F(Ipc, ClientSideTalksToAListener) {
  int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  path.copy(sa.sun_path, sizeof sa.sun_path - 1);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(lfd, 1), 0);

  owner cli;
  cli.open_action = [] { EXPECT_TRUE(ipc_send("request")); };
  ASSERT_TRUE(ipc_connect(&cli));
  int peer = accept(lfd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  std::string status = frame("status");
  ASSERT_EQ(send(peer, status.data(), status.size(), 0), static_cast<ssize_t>(status.size()));
  ASSERT_TRUE(run_until([&] { return cli.messages.size() == 1; }));
  EXPECT_EQ(cli.journal[0], "open");
  EXPECT_EQ(cli.messages[0], "status");

  std::string got;
  char buf[64];
  ASSERT_TRUE(run_until([&] {
    ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    return got.size() >= 11;
  }));
  EXPECT_EQ(got, frame("request"));

  close(peer);
  ASSERT_TRUE(run_until([&] { return cli.closed == 1; }));
  EXPECT_EQ(cli.opened, 1);
  close(lfd);
}

}  // namespace
