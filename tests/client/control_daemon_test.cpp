// The control interface end to end: the real daemon (dummy tap device)
// logged in to the scripted mediation server, driven by the real
// `quilmar` client the way a user drives it.
//
//   quilmar <command> --ipc_sock--> quilmar start debug --TCP--> test_server
//
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "clisrv/server_msg.h"
#include "common/codec.h"
#include "daemon_fixture.h"
#include "process.h"
#include "tempdir.h"
#include "test_server.h"

namespace {

const uint32_t kSelf = 0x05000009;
const uint32_t kP2 = 0x05000002, kP3 = 0x05000003, kP4 = 0x05000004;
const std::string kInvalid = "ipc: invalid or unrecognized request\n";
const std::string kNotRunning =
    "Quilmar does not seem to be running. Have you run 'quilmar start' ?\n";

std::string status_display(const char *status, const std::string &pid,
                           const std::string &nickname = "alice") {
  return "Quilmar, a zero-config virtual private networking utility, ver 0.9.9.9-17\n\n"
         "  version  : quilmar-lnx-0.9.9.9-17\n"
         "  pid      : " + pid + "\n"
         "  status   : " + status + "\n"
         "  nickname : " + nickname + "\n\n";
}

size_t count(const std::string &text, const std::string &line) {
  size_t n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) n++;
  return n;
}

// Two networks: "home", ours, with 5.0.0.2 online; "work" with 5.0.0.3,
// not online.
void send_home_and_work(test_conn *c) {
  c->send(srv::MSG_network, network_body("home", {{srv::NET_owner, {kSelf}},
                                                  {srv::NET_member_online, {kP2}}}));
  c->send(srv::MSG_network, network_body("work", {{srv::NET_member_added, {kP3}}}));
}

class ControlDaemon : public DaemonWithTestServer {
 protected:
  void SetUp() override {
    DaemonWithTestServer::SetUp();
    write_file(dir.file("config"),
               "DummyTap yes\nServerAddress 127.0.0.1:" + std::to_string(server.port) + "\n");
    write_file(dir.file("state"), "Identity   5.0.0.9\nNickname   alice\n");
  }
  void start_daemon() {
    daemon = std::make_unique<background_process>(QUILMAR_BIN, args({"start", "debug"}));
    ASSERT_TRUE(wait_until([&] { return waiting_in_event_loop(daemon->pid()); }));
    pid = std::to_string(daemon->pid());
  }
  process_result quilmar(const std::vector<std::string> &words) {
    process_options options;
    options.no_terminal = true;
    return run_process(QUILMAR_BIN, args(words), options);
  }
  // Stops the daemon through the client, as a user does.
  void stop_daemon() {
    auto r = quilmar({"stop"});
    EXPECT_EQ(r.out, "Shutting down .. ok\n");
    ASSERT_TRUE(daemon->wait_exit());
    EXPECT_EQ(daemon->status(), 0);
    EXPECT_EQ(count(daemon->output(), "ipc: shutdown\n"), 1u);
  }

  std::unique_ptr<background_process> daemon;
  std::string pid;
};

// A control connection opened by hand, for what the client never sends.
struct raw_control {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  explicit raw_control(const std::string &path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, sizeof sa.sun_path - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  }
  ~raw_control() { close(fd); }
  void put(const std::string &bytes) {
    EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  void put_frame(const std::string &message) {
    std::string f;
    put_u32(f, uint32_t(message.size()));
    put(f + message);
  }
  // The next message; false when the connection ends or nothing comes
  // within 10 s.
  bool next(std::string &message) {
    std::string length;
    if (!take(length, 4)) return false;
    msg_reader r(length);
    return take(message, r.get_u32());
  }
  bool take(std::string &into, size_t count) {
    timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    into.resize(count);
    for (size_t got = 0; got < count;) {
      ssize_t n = recv(fd, &into[got], count - got, 0);
      if (n <= 0) return false;
      got += size_t(n);
    }
    return true;
  }
  // Reads until the daemon closes; false if it does not within 10 s.
  bool closed_by_daemon() {
    timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[256];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
    }
    return n == 0;
  }
};

TEST_F(ControlDaemon, UserDrivesASessionThroughTheClient) {
  std::atomic<bool> tables_sent{false};
  std::vector<client_msg> sent;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login_until_sync();
    send_home_and_work(c);
    c->send(srv::MSG_network, network_body("lab", {{srv::NET_member_online, {kP4}}}));
    c->send(srv::MSG_sync, status_body(srv::STATUS_ok));
    std::string unreachable;
    put_u32(unreachable, kP2);
    put_u8(unreachable, 3);
    c->send(srv::MSG_peer, unreachable);
    c->barrier();
    tables_sent = true;

    c->expect(srv::MSG_create);
    c->send(srv::MSG_create, status_body(srv::STATUS_ok));
    c->expect(srv::MSG_join);
    c->send(srv::MSG_join, status_body(srv::RESULT_bad_password));
    c->expect(srv::MSG_netop);
    c->send(srv::MSG_netop, netop_reply_body(srv::NETOP_online, srv::STATUS_ok));
    c->expect(srv::MSG_netop);
    c->send(srv::MSG_netop, netop_reply_body(srv::NETOP_offline, srv::STATUS_ok));
    c->expect(srv::MSG_modify);
    c->send(srv::MSG_modify, status_body(srv::RESULT_modify_denied));
    c->expect(srv::MSG_netop);
    c->send(srv::MSG_netop, netop_reply_body(srv::NETOP_leave, srv::STATUS_ok));
    c->expect(srv::MSG_change);
    c->send(srv::MSG_change, status_body(srv::STATUS_ok));
    c->expect(srv::MSG_info);
    c->expect(srv::MSG_info);
    c->wait_closed();
    sent = c->received;
  });
  start_daemon();
  EXPECT_EQ(quilmar({}).out, status_display("offline", pid));

  auto r = quilmar({"login"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Logging in ......... ok\n");
  EXPECT_EQ(quilmar({"login"}).out, "Already logged in.\n");
  EXPECT_EQ(quilmar({}).out, status_display("logged in", pid));
  ASSERT_TRUE(wait_until([&] { return tables_sent.load(); }));

  // Networks in the order they came; P2 online but reported unreachable,
  // P3 a member that is not online, P4 online and not yet reported on.
  r = quilmar({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "   [home]\n"
            "     x 5.0.0.2                                   \n"
            "   [work]\n"
            "       5.0.0.3                                   \n"
            "   [lab]\n"
            "     * 5.0.0.4                                   \n");

  EXPECT_EQ(quilmar({"create", "mynet", "pw"}).out, "Creating mynet .. ok\n");
  EXPECT_EQ(quilmar({"join", "other", "pw"}).out, "Joining other .. failed, invalid password\n");
  EXPECT_EQ(quilmar({"go-online", "work"}).out, "Going online in work .. ok\n");
  EXPECT_NE(quilmar({"list"}).out.find(" * [work]\n"), std::string::npos);
  EXPECT_EQ(quilmar({"go-offline", "work"}).out, "Going offline in work .. ok\n");
  EXPECT_EQ(quilmar({"evict", "home", "5.0.0.2"}).out, "evicting 5.0.0.2 from home .. failed, denied\n");
  EXPECT_EQ(quilmar({"leave", "lab"}).out, "Leaving lab .. ok\n");
  EXPECT_EQ(quilmar({"set-nick", "bob"}).out, "Setting nickname .. ok\n");
  EXPECT_EQ(quilmar({"get-nicks"}).out, "Retrieving peers' nicknames .. \n");

  r = quilmar({"logout"});
  EXPECT_EQ(r.out, "Logging out .. ok\n");
  EXPECT_EQ(quilmar({"logout"}).out, "Already logged out\n");
  // The server took the new nickname.
  EXPECT_EQ(quilmar({}).out, status_display("offline", pid, "bob"));
  server.join();
  stop_daemon();

  // What reached the server is what the user asked for.
  std::vector<uint8_t> types;
  for (const client_msg &m : sent) types.push_back(m.type);
  auto body = [&](uint8_t type, int nth) {
    for (const client_msg &m : sent)
      if (m.type == type && nth-- == 0) return m.body;
    return std::string();
  };
  {
    std::string bytes = body(srv::MSG_modify, 0);
    msg_reader in(bytes);
    srv::modify_msg m;
    srv::get_modify(in, m);
    uint32_t member = 0;
    EXPECT_EQ(m.name, "home");
    EXPECT_TRUE(srv::parse_evict_record(m.record, member));
    EXPECT_EQ(member, kP2);
  }
  {
    std::string bytes = body(srv::MSG_change, 0);
    msg_reader in(bytes);
    srv::change_msg m;
    srv::get_change(in, m);
    EXPECT_EQ(m.nickname, "bob");
  }
  for (const char *line : {"ipc: login \n", "ipc: state\n", "ipc: create mynet\n",
                           "ipc: join other\n", "ipc: netop.1 work\n", "ipc: netop.2 work\n",
                           "ipc: modify home\n", "ipc: netop.3 lab\n", "ipc: set_nick(bob)\n",
                           "ipc: resolve\n", "ipc: logout\n"})
    EXPECT_EQ(count(daemon->output(), line), line == std::string("ipc: state\n") ? 2u : 1u)
        << line;
}

TEST_F(ControlDaemon, LoginRetriesAfterARefusalUntilItSucceeds) {
  server.run([&](test_server &srv) {
    for (int refusals = 0; refusals < 2; refusals++) {
      auto c = srv.accept();
      if (!c) return;
      c->answer_helo();
      c->answer_auth(srv::STATUS_refused);
      c->wait_closed();
    }
    auto c = srv.accept(std::chrono::seconds(20));
    if (!c) return;
    c->login();
    c->wait_closed(std::chrono::seconds(30));
  });
  start_daemon();
  auto r = quilmar({"login"});
  EXPECT_EQ(r.out, "Logging in ..... failed\n");
  EXPECT_EQ(quilmar({}).out, status_display("offline", pid));

  r = quilmar({"login", "retry"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Logging in ..... failed\nretrying   .......... ok\n");
  stop_daemon();
}

// Our own inspection, for programs and for people: the whole state as one
// JSON document, the peers with tunnels as a table, the network names for
// the completion; and, with no daemon, nothing on standard output.
TEST_F(ControlDaemon, InspectionShowsTheWholeState) {
  std::atomic<bool> tables_sent{false};
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login_until_sync();
    send_home_and_work(c);
    c->send(srv::MSG_sync, status_body(srv::STATUS_ok));
    std::string ok;
    put_u32(ok, kP2);
    put_u8(ok, srv::STATUS_ok);
    srv::peer_ok_msg m;
    m.public_endpoint = {0xc0000207, 4000};  // 192.0.2.7:4000
    m.keymat = std::string(120, 'k');
    srv::put_peer_ok(ok, m);
    c->send(srv::MSG_peer, ok);
    c->barrier();
    tables_sent = true;
    c->wait_closed(std::chrono::seconds(30));
  });
  start_daemon();
  ASSERT_EQ(quilmar({"login"}).out, "Logging in ......... ok\n");
  ASSERT_TRUE(wait_until([&] { return tables_sent.load(); }));

  auto r = quilmar({"list", "--json"});
  EXPECT_EQ(r.status, 0);
  const std::string server_text = "127.0.0.1:" + std::to_string(server.port);
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"({
    "identity": "5.0.0.9", "nickname": "alice", "state": "ready",
    "server": ")" + server_text + R"(", "interface": null,
    "networks": [
      {"name": "home", "owner": "5.0.0.9", "online": false, "members": [
        {"address": "5.0.0.2", "nickname": "", "online": true, "reported": true,
         "endpoint": "192.0.2.7:4000",
         "tunnel": {"tx_packets": 0, "tx_bytes": 0, "rx_packets": 0, "rx_bytes": 0,
                    "dropped": {"authentication": 0, "replay": 0, "shaper": 0, "bad_packet": 0},
                    "last_rx_ms": null}}]},
      {"name": "work", "owner": null, "online": false, "members": [
        {"address": "5.0.0.3", "nickname": "", "online": false, "reported": false,
         "endpoint": null, "tunnel": null}]}]})"));

  EXPECT_EQ(quilmar({"peers"}).out,
            "ADDRESS  NICKNAME  ENDPOINT        RECEIVED  SENT  LAST DATAGRAM\n"
            "5.0.0.2  -         192.0.2.7:4000       0 B   0 B  never\n");
  EXPECT_EQ(nlohmann::json::parse(quilmar({"peers", "--json"}).out), nlohmann::json::parse(R"([
    {"address": "5.0.0.2", "nickname": "", "endpoint": "192.0.2.7:4000", "rx_bytes": 0,
     "tx_bytes": 0, "last_rx_ms": null, "last_keepalive_ms": null}])"));
  EXPECT_EQ(quilmar({"list", "--names"}).out, "home\nwork\n");
  stop_daemon();

  // No daemon: the plain command's status, and nothing on standard output
  // (the reason goes to standard error).
  auto plain = quilmar({"list"});
  EXPECT_EQ(plain.status, 254);
  EXPECT_EQ(plain.out, kNotRunning);
  EXPECT_EQ(quilmar({"list", "--json"}).out, kNotRunning);
  for (const char *command : {"list", "peers"}) {
    auto r = run_process("/bin/sh", {"-c", "exec \"$0\" -c \"$1\" $2 --json 2>/dev/null",
                                     QUILMAR_BIN, dir.path(), command});
    EXPECT_EQ(r.status, 254) << command;
    EXPECT_EQ(r.out, "") << command;
  }
}

std::string state_note(uint32_t state, uint8_t sub, uint8_t last_status) {
  std::string m(1, char(129));
  put_u32(m, state);
  put_u8(m, sub);
  put_u8(m, last_status);
  return m;
}

// What the daemon sends, byte for byte: its status, a listing, and the
// notifications of a login that the server refuses.
TEST_F(ControlDaemon, NotificationsCarryTheSessionsValues) {
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->answer_helo();
    c->answer_auth(srv::STATUS_refused);
    c->wait_closed();
  });
  start_daemon();
  raw_control client(dir.file("ipc_sock"));
  std::string m;
  ASSERT_TRUE(client.next(m));
  std::string status(1, char(128));
  put_str(status, "quilmar-lnx-0.9.9.9-17");
  put_u32(status, uint32_t(daemon->pid()));
  put_u32(status, 1);
  put_u8(status, 1);
  put_u8(status, 0);
  put_str(status, "alice");
  put_str(status, "");
  EXPECT_EQ(m, status);

  client.put_frame("\x08");
  ASSERT_TRUE(client.next(m));
  EXPECT_EQ(m, "\x89");  // no networks: the end of the listing alone
  client.put_frame("\x03");  // logout while offline
  std::string create("\x04");
  put_str(create, "mynet");
  put_str(create, "pw");
  client.put_frame(create);  // refused while offline, without a reply

  client.put_frame(std::string("\x02\x00", 2));
  std::string error(1, char(130));
  put_u32(error, 6);
  put_str(error, "");
  put_u32(error, 0);
  put_u8(error, srv::STATUS_refused);
  for (const std::string &expected :
       {state_note(2, 0, 0), state_note(2, 1, 0), state_note(3, 0, 0), state_note(3, 1, 0),
        state_note(4, 0, 0), state_note(4, 1, 1), state_note(6, 0, 1), error,
        state_note(1, 0, 2), state_note(1, 1, 2)}) {
    ASSERT_TRUE(client.next(m));
    EXPECT_EQ(m, expected) << testing::PrintToString(m);
  }
  ASSERT_TRUE(daemon->wait_for_output("ses: state 1.0 -> 1.1\n"));
  const std::string &log = daemon->output();
  for (const char *line : {"ipc: state\n", "ipc: logout\n", "ses: set_reconn(no)\n",
                           "ipc: create mynet\n", "ipc: login \n"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  EXPECT_EQ(log.find("create.mynet"), std::string::npos);
  EXPECT_EQ(count(log, "ses: go_offline\n"), 1u);  // only the refusal's
}

TEST_F(ControlDaemon, MalformedRequestsAndSecondClientsLeaveItServing) {
  start_daemon();
  {
    raw_control first(dir.file("ipc_sock"));
    // Someone else's turn has to wait: refused at once.
    auto busy = quilmar({"list"});
    EXPECT_EQ(busy.status, 254);
    EXPECT_EQ(busy.out, kNotRunning);
    EXPECT_TRUE(daemon->wait_for_output("ipc: busy with another client\n"));

    for (const std::string &bad : {std::string(), std::string("\x0c"), std::string("\xc8"),
                                   std::string("\x01\x00", 2), std::string("\x02"),
                                   std::string("\x05\x06my"), std::string("\x08\x08")})
      first.put_frame(bad);
    first.put_frame("\x0a");  // a good one after them is served
    ASSERT_TRUE(daemon->wait_for_output("ipc: resolve\n"));
    EXPECT_EQ(count(daemon->output(), kInvalid), 7u);
    // A length no message can have ends this connection.
    first.put("\xff\xff\xff\xff");
    EXPECT_TRUE(first.closed_by_daemon());
  }
  EXPECT_EQ(quilmar({}).out, status_display("offline", pid));
  stop_daemon();
}

TEST_F(ControlDaemon, SocketPathTooLongStopsTheStart) {
  // cfg_path + "/ipc_sock" comes to 108 bytes, one more than fits.
  std::string base = dir.path() + "/";
  std::string long_dir = base + std::string(108 - base.size() - 9, 'd');
  ASSERT_EQ((long_dir + "/ipc_sock").size(), 108u);
  ASSERT_EQ(mkdir(long_dir.c_str(), 0700), 0);
  install_client_keys(long_dir);
  write_file(long_dir + "/config", "DummyTap yes\n");
  auto d = run_process(QUILMAR_BIN, {"-c", long_dir, "start", "debug"});
  EXPECT_EQ(d.status, 254);
  EXPECT_NE(d.out.find("ipc: the size of path '" + long_dir + "/ipc_sock' is invalid\n"),
            std::string::npos)
      << d.out;
  auto r = run_process(QUILMAR_BIN, {"-c", long_dir, "list"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, kNotRunning);
}

}  // namespace
