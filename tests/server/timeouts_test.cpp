// The server's clock-driven housekeeping, in-process with the clock moved
// forward: logins that stall, ready clients that fall silent, clients
// behind NAT whose punch never arrives, refused clients that linger.
#include <gtest/gtest.h>

#include "event_loop.h"
#include "inproc_client.h"
#include "keys.h"
#include "log_capture.h"

namespace {

class Timeouts : public LoggedTest {
 protected:
  void SetUp() override {
    LoggedTest::SetUp();
    msg_crypto_dh_exponent_bytes = 40;
    ASSERT_TRUE(demo_keys(pub, pri));
    server_config cfg;
    cfg.listen_addr = INADDR_LOOPBACK;
    cfg.port = 0;
    h.reset(new hub(cfg, open_sqlite_store(":memory:"), pub, pri));
    ASSERT_TRUE(h->start());
    run_idle(1);
  }
  void TearDown() override {
    h.reset();
    LoggedTest::TearDown();
  }
  // Moves the clock on and lets the once-a-second sweep run.
  void pass(uint32_t ms) {
    time_ms_skew(ms);
    run_idle(3);
  }
  // Status of the last discovery reply in the outbox, 0 if none.
  uint8_t disc_status(inproc_client &c) {
    std::string frame;
    return c.reply(srv::MSG_discovery, frame) ? uint8_t(frame[9]) : 0;
  }
  bool logged_in(inproc_client &c) { return c.helo(h->fingerprint) && c.enroll(pub); }
  // A new connection, logged in, discovered at 127.0.0.1:5000 and synced.
  void make_ready(inproc_client &c) {
    c.attach(*h);
    ASSERT_TRUE(logged_in(c));
    c.discovery(0x7f000001, 5000);
    ASSERT_EQ(disc_status(c), srv::STATUS_ok);
    ASSERT_TRUE(c.sync());
  }

  rsa_public_key pub;
  rsa_private_key pri;
  std::unique_ptr<hub> h;
};

TEST_F(Timeouts, StalledLoginIsEnded) {
  inproc_client c;
  c.attach(*h);
  pass(59000);
  EXPECT_EQ(h->connection_count(), 1u);
  pass(2000);
  EXPECT_EQ(h->connection_count(), 0u);
  EXPECT_TRUE(logged_line("srv: (127.0.0.1:40000): login took too long, closing\n"));
}

TEST_F(Timeouts, SilentReadyClientIsEndedKeepAlivesKeepItOn) {
  inproc_client c;
  ASSERT_NO_FATAL_FAILURE(make_ready(c));
  for (int i = 0; i < 4; i++) {
    pass(90000);
    c.feed(std::string(1, char(srv::MSG_keepalive)));
  }
  EXPECT_EQ(h->connection_count(), 1u);
  pass(301000);
  EXPECT_EQ(h->connection_count(), 0u);
  EXPECT_TRUE(logged_prefix("srv: 5."));
  EXPECT_NE(logged_text().find("silent too long, closing"), std::string::npos);
}

TEST_F(Timeouts, NatClientWithoutPunchIsAskedAgainThenGuessed) {
  inproc_client c;
  c.attach(*h);
  ASSERT_TRUE(logged_in(c));
  for (int attempt = 0; attempt < 2; attempt++) {
    c.discovery(0x0a010203, 5000);
    std::string frame;
    ASSERT_TRUE(c.reply(srv::MSG_punch, frame));
    pass(3100);
    EXPECT_EQ(disc_status(c), srv::STATUS_disc_retry);
  }
  c.discovery(0x0a010203, 5000);
  pass(3100);
  EXPECT_EQ(disc_status(c), srv::STATUS_ok);
  EXPECT_NE(logged_text().find("sent no punch; assuming 127.0.0.1:5000"), std::string::npos);
  EXPECT_TRUE(c.sync());
}

TEST_F(Timeouts, PunchThroughTheUdpSocketSettlesDiscovery) {
  inproc_client c;
  c.attach(*h);
  ASSERT_TRUE(logged_in(c));
  c.discovery(0x0a010203, 5000);
  std::string frame;
  ASSERT_TRUE(c.reply(srv::MSG_punch, frame));
  msg_reader r(frame);
  srv::frame_type(r);
  // One cookie to each of the server's two UDP ports.
  std::vector<srv::punch_record> punch = srv::get_punch(r);
  ASSERT_EQ(punch.size(), 2u);
  EXPECT_EQ(punch[0].target.addr, 0x7f000001u);
  EXPECT_EQ(punch[0].target.port, h->bound_port());
  EXPECT_NE(punch[1].target.port, h->bound_port());
  EXPECT_EQ(punch[1].payload, punch[0].payload);

  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in self = loopback_addr(0);
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr *>(&self), sizeof self), 0);
  socklen_t len = sizeof self;
  getsockname(udp, reinterpret_cast<sockaddr *>(&self), &len);
  sockaddr_in to = loopback_addr(punch[0].target.port);
  // Noise first: it changes nothing.
  sendto(udp, "noise", 5, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  for (const srv::punch_record &p : punch) {
    to = loopback_addr(p.target.port);
    sendto(udp, p.payload.data(), p.payload.size(), 0, reinterpret_cast<sockaddr *>(&to),
           sizeof to);
  }
  EXPECT_TRUE(run_until([&] { return !c.c->outbox.empty(); }));
  EXPECT_EQ(disc_status(c), srv::STATUS_ok);
  EXPECT_EQ(c.c->public_ep.port, ntohs(self.sin_port));
  EXPECT_EQ(c.c->mapping, MAPPING_keeps_port);
  close(udp);
}

TEST_F(Timeouts, WrongPasswordsAreForgottenInTime) {
  inproc_client c;
  ASSERT_NO_FATAL_FAILURE(make_ready(c));
  std::string join(1, char(srv::MSG_join));
  srv::put_join(join, {"nowhere", "guess"});
  c.feed(join);
  EXPECT_EQ(h->guesses_from.size(), 1u);
  EXPECT_EQ(h->guesses_at.size(), 1u);
  pass(31000);
  EXPECT_EQ(h->guesses_from.size(), 0u);
  EXPECT_EQ(h->guesses_at.size(), 0u);
}

TEST_F(Timeouts, RefusedClientIsLetGo) {
  inproc_client c;
  c.attach(*h);
  EXPECT_FALSE(c.helo(std::string(20, 'x')));
  pass(5000);
  EXPECT_EQ(h->connection_count(), 1u);
  pass(6000);
  EXPECT_EQ(h->connection_count(), 0u);
  EXPECT_TRUE(logged_line("srv: (127.0.0.1:40000): refused, closing\n"));
}

}  // namespace
