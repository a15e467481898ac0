// The session's login against the scripted server: the whole sequence for a
// new and for an enrolled client, and what each refusal or failure does.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "clisrv/server_msg.h"
#include "common/codec.h"
#include "hosts_override.h"
#include "session_fixture.h"

namespace {

const uint32_t kIdentity = 0x05010203;  // 5.1.2.3
const uint32_t kEnrolled = 0x05000009;  // 5.0.0.9
const std::string kEnrolledState = "Identity   5.0.0.9\nAutoLogin  yes\n";

std::string connecting_line(const test_server &server, const char *address = "127.0.0.1") {
  return std::string("ses: connecting to ") + address + ":" + std::to_string(server.port) + " ..\n";
}

TEST_F(SessionTest, NewClientEnrollsAndBecomesReady) {
  start("Nickname   alice\n");
  srv::helo_msg helo;
  srv::enroll_msg enroll;
  srv::endpoint announced;
  uint32_t stamp = 99;
  std::string probe_answer;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    helo = c->answer_helo();
    enroll = c->answer_enroll(kIdentity);
    announced = c->answer_discovery();
    c->answer_sync(srv::STATUS_ok, &stamp);
    probe_answer = c->barrier();
  });
  std::string state_at_enrolment;
  reports.on_state = [&](uint32_t state, uint8_t sub) {
    if (state == STATE_enroll && sub == 1) state_at_enrolment = state_file();
  };
  s->go_online();
  ASSERT_TRUE(script_done());

  EXPECT_EQ(lines_with("ses: state "),
            state_lines({"1.1", "2.0", "2.1", "3.0", "3.1", "4.0", "4.1", "5.0", "5.1", "7.0",
                         "7.1", "8.0", "8.1", "9.0", "9.1", "10.1"}));
  EXPECT_EQ(reports.events.size(), 15u);
  EXPECT_EQ(reports.events.back(), "state 10.1");
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_TRUE(s->reconnect);

  // What the server was told.
  const config &cfg = current_config;
  EXPECT_EQ(helo.version, 2);
  EXPECT_EQ(helo.fingerprint, cfg.server_key_digest);
  varint_lengths = false;
  EXPECT_EQ(helo.fingerprint, key_fingerprint(server.pub));
  varint_lengths = true;
  EXPECT_EQ(helo.nonce.size(), 128u);
  EXPECT_EQ(enroll.nickname, "alice");
  EXPECT_EQ(enroll.version, "quilmar-lnx-0.9.9.9-17");
  EXPECT_TRUE(enroll.key.n == cfg.client_pub.n && enroll.key.e == cfg.client_pub.e);
  EXPECT_EQ(announced.addr, 0x7f000001u);
  EXPECT_EQ(announced.port, ntohs(s->local_addr.sin_port));
  EXPECT_NE(announced.port, 0);
  EXPECT_GE(s->udp_sock.fd, 0);
  EXPECT_EQ(stamp, 0u);
  // No datagram has arrived yet: the probe's source is all zero.
  EXPECT_EQ(probe_answer.substr(4), std::string(6, '\0'));

  EXPECT_EQ(state_at_enrolment, "Identity   5.1.2.3\nNickname   alice\n");
  EXPECT_EQ(state_file(), "Identity   5.1.2.3\nNickname   alice\nAutoLogin  yes\n");
  EXPECT_EQ(cfg.identity, kIdentity);

  for (const char *line :
       {"ses: go_online\n", "ses: resolved 127.0.0.1 -> 127.0.0.1\n", "ses: sending helo ..\n",
        "ses: received helo.ok\n", "ses: sending enroll alice ..\n",
        "ses: received enrl.ok 5.1.2.3\n", "ses: sending discovery\n", "ses: received disc.ok\n",
        "ses: tap is ready\n", "ses: purging state ..\n", "ses: sending sync ..\n",
        "ses: recieved sync.ok\n", "ses: ready\n", "ses: set_reconn(yes)\n"})
    EXPECT_TRUE(logged_line(line)) << line;
  EXPECT_TRUE(logged_line(connecting_line(server)));
  EXPECT_TRUE(logged_line("ses: udp sock -- " + endpoint_text(s->local_addr) + "\n"));
  EXPECT_TRUE(logged_prefix("ses: io_ready -- 127.0.0.1:"));
  EXPECT_TRUE(evl_timer_running(&s->server_keepalive_timer));
  EXPECT_EQ(s->server_keepalive_timer.period, 90000u);
}

TEST_F(SessionTest, EnrolledClientAuthenticatesWithItsSignature) {
  start(kEnrolledState);
  srv::auth_msg auth;
  bool signed_by_client = false;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->answer_helo();
    auth = c->answer_auth();
    signed_by_client = c->client_signed(auth.signature, current_config.client_pub);
    c->answer_discovery();
    c->answer_sync();
    c->barrier();
  });
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_EQ(auth.identity, kEnrolled);
  EXPECT_EQ(auth.version, "quilmar-lnx-0.9.9.9-17");
  EXPECT_TRUE(signed_by_client);
  EXPECT_EQ(lines_with("ses: state "),
            state_lines({"1.1", "2.0", "2.1", "3.0", "3.1", "4.0", "4.1", "6.0", "6.1", "7.0",
                         "7.1", "8.0", "8.1", "9.0", "9.1", "10.1"}));
  EXPECT_TRUE(logged_line("ses: sending auth 5.0.0.9 ..\n"));
  EXPECT_TRUE(logged_line("ses: received auth.ok\n"));
}

// A tap device that answers a configuration only when the test says so.
struct held_tap : tapdev {
  explicit held_tap(tapdev_cb *o) : owner(o) {}
  bool open() override { return true; }
  void close() override {}
  bool bring_up() override { return true; }
  void bring_down() override {}
  void configure(uint32_t address, uint32_t) override { asked = address; }
  int write(const void *, int length) override { return length; }
  tapdev_cb *owner;
  uint32_t asked = 0;
};

TEST_F(SessionTest, LoginWaitsForTheTapDeviceAndFailsWithIt) {
  start();
  delete s->tap;
  auto *tap = new held_tap(s.get());
  s->tap = tap;
  server.run([&](test_server &srv) {
    test_conn *c = srv.accept();
    if (!c) return;
    c->answer_helo();
    c->answer_enroll(kIdentity);
    c->answer_discovery();
    c->barrier();
    pause(1);
    c->wait_closed();
  });
  s->go_online();
  ASSERT_TRUE(reached(1));
  EXPECT_EQ(tap->asked, kIdentity);
  EXPECT_EQ(s->state, STATE_conf);
  EXPECT_EQ(s->sub, 0);
  EXPECT_FALSE(logged_line("ses: tap is ready\n"));
  tap->owner->on_configured(false);
  ASSERT_TRUE(script_done());
  EXPECT_TRUE(logged_line("ses: tap configuration failed\n"));
  EXPECT_TRUE(logged_line("ses: error 8  0 1\n"));
  EXPECT_EQ(s->state, STATE_offline);
}

TEST_F(SessionTest, RefusedHeloGoesOfflineAndRetriesLater) {
  start();
  bool closed = false;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->answer_helo(srv::STATUS_refused);
    closed = c->wait_closed();
  });
  s->set_reconn(true);
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_TRUE(closed);
  EXPECT_EQ(reports.others(), std::vector<std::string>{"error 6  0 2"});
  EXPECT_TRUE(logged_line("ses: error 6  0 2\n"));
  EXPECT_EQ(s->state, STATE_offline);
  EXPECT_EQ(s->sub, 1);
  // A refusal that is not final leaves reconnection on.
  EXPECT_TRUE(s->reconnect);
  EXPECT_TRUE(evl_timer_running(&s->reconnect_timer));
  EXPECT_TRUE(logged_prefix("ses: reconnect in "));
  EXPECT_EQ(s->mc, nullptr);
  EXPECT_EQ(s->pipe, nullptr);
}

TEST_F(SessionTest, AuthRefusedForGoodStopsReconnecting) {
  start(kEnrolledState + "OnlineNet  home\n");
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->answer_helo();
    c->answer_auth(srv::STATUS_bad_key);
    c->wait_closed();
  });
  s->set_reconn(true);
  s->go_online();
  ASSERT_TRUE(script_done());
  ASSERT_TRUE(run_until([&] { return s->state == STATE_offline && s->sub == 1; }));
  EXPECT_TRUE(logged_line("ses: error 6  0 7\n"));
  EXPECT_FALSE(s->reconnect);
  EXPECT_FALSE(evl_timer_running(&s->reconnect_timer));
  EXPECT_FALSE(logged_prefix("ses: reconnect in "));
  EXPECT_TRUE(logged_line("ses: purging state ..\n"));
  std::vector<std::string> tail(logged.end() - 6, logged.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "ses: error 6  0 7\n", "ses: set_reconn(no)\n", "ses: go_offline\n",
                      "ses: state 6.0 -> 1.0\n", "ses: state 1.0 -> 1.1\n",
                      "ses: purging state ..\n"}));
  EXPECT_EQ(state_file(), "Identity   5.0.0.9\nOnlineNet  home\n");
}

TEST_F(SessionTest, StatusFourConnectsAgainAtOnceWithoutALookup) {
  start(kEnrolledState);
  server.run([&](test_server &srv) {
    auto first = srv.accept();
    if (!first) return;
    first->answer_helo(srv::STATUS_again);
    auto second = srv.accept();
    if (!second) return;
    second->login();
    second->barrier();
  });
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_EQ(lines_with("ses: resolved ").size(), 1u);
  EXPECT_EQ(lines_with(connecting_line(server)).size(), 2u);
  EXPECT_FALSE(logged_prefix("ses: reconnect in "));
  std::vector<std::string> states = lines_with("ses: state ");
  auto refused = std::find(states.begin(), states.end(), "ses: state 4.0 -> 1.0\n");
  ASSERT_NE(refused, states.end());
  EXPECT_EQ(std::vector<std::string>(refused, refused + 3),
            state_lines({"4.0", "1.0", "1.1", "3.0"}));
}

TEST_F(SessionTest, RedirectLeadsToTheOtherServer) {
  test_server other("127.0.0.2", &server);
  start(kEnrolledState);
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->answer_helo();
    c->answer_auth();
    std::string body = status_body(srv::STATUS_again);
    srv::put_endpoint(body, {0x7f000002, other.port});
    body += "trailing bytes are not looked at";
    c->send(srv::MSG_redirect, body);
    c->wait_closed();
  });
  other.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login();
    c->barrier();
  });
  s->go_online();
  ASSERT_TRUE(run_until([&] { return server.done() && other.done(); }));
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_TRUE(logged_line("ses: redirect to 127.0.0.2:" + std::to_string(other.port) + "\n"));
  EXPECT_TRUE(logged_line(connecting_line(other, "127.0.0.2")));
  EXPECT_TRUE(logged_line("ses: error 6  0 4\n"));
  EXPECT_EQ(lines_with("ses: resolved ").size(), 1u);
  EXPECT_EQ(ntohl(s->server_addr.sin_addr.s_addr), 0x7f000002u);
  other.stopping = true;
}

TEST_F(SessionTest, DiscoveryRetryOpensTheSocketAgain) {
  start(kEnrolledState);
  std::vector<srv::endpoint> announced;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->answer_helo();
    c->answer_auth();
    announced.push_back(c->answer_discovery(srv::STATUS_disc_retry));
    announced.push_back(c->answer_discovery());
    c->answer_sync();
    c->barrier();
  });
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_TRUE(logged_line("ses: received disc.retry\n"));
  EXPECT_EQ(lines_with("ses: udp sock -- ").size(), 2u);
  EXPECT_EQ(lines_with("ses: sending discovery\n").size(), 2u);
  ASSERT_EQ(announced.size(), 2u);
  EXPECT_EQ(announced[1].port, ntohs(s->local_addr.sin_port));
  std::vector<std::string> states = lines_with("ses: state ");
  auto first = std::find(states.begin(), states.end(), "ses: state 6.1 -> 7.0\n");
  ASSERT_NE(first, states.end());
  EXPECT_EQ(std::vector<std::string>(first, first + 4),
            state_lines({"6.1", "7.0", "7.1", "7.0", "7.1"}));
}

TEST_F(SessionTest, DiscoveryFailureIsARefusal) {
  start(kEnrolledState);
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->answer_helo();
    c->answer_auth();
    c->answer_discovery(3);
    c->wait_closed();
  });
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_TRUE(logged_line("ses: received disc.failed\n"));
  EXPECT_TRUE(logged_line("ses: error 6  0 3\n"));
  EXPECT_EQ(s->udp_sock.fd, -1);
}

// After a login, a frame spoilt in one of several ways; each takes the
// session offline with its own error kind.
class BrokenFrame : public SessionTest {
 protected:
  void login_then(std::function<void(test_conn &)> spoil) {
    start(kEnrolledState);
    server.run([&, spoil](test_server &srv) {
      auto c = srv.accept();
      if (!c) return;
      c->login();
      c->barrier();
      spoil(*c);
      c->wait_closed();
    });
    s->go_online();
    ASSERT_TRUE(script_done());
    ASSERT_EQ(s->state, STATE_offline);
  }
};

TEST_F(BrokenFrame, BadMacIsACryptoError) {
  login_then([](test_conn &c) {
    std::string frame = c.protected_frame(srv::MSG_create, status_body(1));
    frame[frame.size() - 1] ^= 1;
    c.send_raw(frame);
  });
  EXPECT_TRUE(logged_line("ses: error 7  0 1\n"));
  EXPECT_TRUE(reports.others() == std::vector<std::string>{"error 7  0 1"});
  // Once ready, every loss of the connection is followed by a new login.
  EXPECT_TRUE(logged_prefix("ses: reconnect in "));
}

TEST_F(BrokenFrame, MissingStatusIsAParseError) {
  login_then([](test_conn &c) { c.send(srv::MSG_sync, ""); });
  EXPECT_TRUE(logged_line("ses: error 4  0 1\n"));
}

TEST_F(BrokenFrame, ExtraByteIsAParseError) {
  login_then([](test_conn &c) { c.send(srv::MSG_delete, status_body(18) + "x"); });
  EXPECT_TRUE(logged_line("ses: error 4  0 18\n"));
  EXPECT_EQ(reports.others(), std::vector<std::string>{"error 4  0 18"});
}

TEST_F(BrokenFrame, LoginReplyOutOfTurnIsAStateError) {
  login_then([](test_conn &c) { c.send(srv::MSG_helo, status_body(1)); });
  EXPECT_TRUE(logged_line("ses: error 5  0 1\n"));
}

TEST_F(BrokenFrame, OverlongFrameIsAConnectionError) {
  login_then([](test_conn &c) {
    std::string word;
    put_u32(word, srv::MAX_FRAME + 1);
    c.send_raw(word);
  });
  EXPECT_TRUE(logged_line("ses: error 2 too big " + std::to_string(srv::MAX_FRAME + 1) + " 1\n"));
}

TEST_F(SessionTest, UnknownTypeIsLoggedAndIgnored) {
  start(kEnrolledState);
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login();
    c->send(30, "");
    c->send(srv::MSG_keepalive, "");
    c->barrier();
  });
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_TRUE(logged_line("ses: unhandled msg 30\n"));
  EXPECT_TRUE(logged_line("ses: unhandled msg 15\n"));
}

TEST_F(SessionTest, LostConnectionLogsInAgainAfterTheDelay) {
  start("Nickname   alice\n");
  std::chrono::steady_clock::time_point lost, back;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login(kIdentity);
    c->barrier();
    lost = std::chrono::steady_clock::now();
    c->close();
    auto again = srv.accept(std::chrono::seconds(6));
    back = std::chrono::steady_clock::now();
    if (!again) return;
    again->login();  // enrolled now: auth
    again->barrier();
  });
  s->go_online();
  ASSERT_TRUE(script_done(std::chrono::seconds(30)));
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_TRUE(logged_line("ses: error 2 io_close 0 1\n"));
  std::vector<std::string> delays = lines_with("ses: reconnect in ");
  ASSERT_EQ(delays.size(), 1u);
  unsigned delay = 0;
  ASSERT_EQ(sscanf(delays[0].c_str(), "ses: reconnect in %u msec", &delay), 1);
  EXPECT_GE(delay, 1000u);
  EXPECT_LE(delay, 3000u);
  EXPECT_GE(back - lost, std::chrono::milliseconds(delay - 50));
  EXPECT_EQ(lines_with("ses: resolved ").size(), 2u);
  EXPECT_TRUE(logged_line("ses: sending auth 5.1.2.3 ..\n"));
}

// A server name with several addresses: each connection attempt takes the
// next one, so a dead server costs one attempt, not every attempt.
TEST_F(SessionTest, ServerNameWithSeveralAddressesIsTriedInTurn) {
  hosts_override hosts("127.0.0.2 servers.test\n127.0.0.1 servers.test\n");
  if (!hosts.ready) GTEST_SKIP() << "needs a private mount namespace (root or user namespaces)";
  start(kEnrolledState, "ServerAddress servers.test:" + std::to_string(server.port) + "\n");
  server.run([&](test_server &srv) {
    auto c = srv.accept(std::chrono::seconds(8));
    if (!c) return;
    c->login();
    c->barrier();
  });
  s->set_reconn(true);  // as a login that asks to keep trying
  s->go_online();
  ASSERT_TRUE(script_done(std::chrono::seconds(30)));
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_EQ(lines_with("ses: resolved "),
            (std::vector<std::string>{"ses: resolved servers.test -> 127.0.0.2\n",
                                      "ses: resolved servers.test -> 127.0.0.1\n"}));
  EXPECT_TRUE(logged_line("ses: error 2 connect " + std::to_string(ECONNREFUSED) + " 0\n"));
}

TEST_F(SessionTest, RefusedConnectionIsAConnectionError) {
  start(kEnrolledState);
  // Nobody listens on the port any more.
  uint16_t port = server.port;
  server.stopping = true;
  {
    test_server gone;
    port = gone.port;
  }
  write_file(dir.file("config"), "ServerAddress 127.0.0.1:" + std::to_string(port) + "\n");
  ASSERT_TRUE(load_config(current_config));
  s->go_online();
  ASSERT_TRUE(run_until([&] { return !reports.others().empty(); }));
  EXPECT_EQ(reports.others()[0], "error 2 connect " + std::to_string(ECONNREFUSED) + " 0");
  EXPECT_EQ(s->state, STATE_offline);
}

}  // namespace
