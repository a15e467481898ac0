// What the session does with its UDP socket and timers once logged in:
// server frames that come by UDP, the probe of our public endpoint, hole
// punching, and the server keep-alive.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/front.h"
#include "clisrv/server_msg.h"
#include "common/codec.h"
#include "session_fixture.h"

namespace {

const std::string kEnrolled = "Identity   5.0.0.9\nAutoLogin  yes\n";

// A UDP socket of the test's own on 127.0.0.1.
struct udp_socket {
  udp_socket() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ~udp_socket() { close(fd); }
  void send_to(const sockaddr_in &to, const std::string &bytes) {
    EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                     sizeof to),
              ssize_t(bytes.size()));
  }
  // The next datagram, or "" when none comes in time.
  std::string receive(int timeout_ms = 5000) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return "";
    char buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : "";
  }
  int fd;
  uint16_t port;
};

TEST_F(SessionTest, ServerFramesAlsoArriveByUdpAndProbesTellTheSource) {
  start(kEnrolled);
  std::string probe_answer;
  srv::endpoint client_udp;
  server.run([&](test_server &srv) {
    test_conn *c = srv.accept();
    if (!c) return;
    c->answer_helo();
    c->answer_auth();
    client_udp = c->answer_discovery();
    c->answer_sync();
    c->barrier();
    pause(1);  // the test sends a datagram of its own meanwhile
    c->send_udp(srv::MSG_network, network_body("by-udp", {{srv::NET_member_added, {0x05000002}}}),
                client_udp);
    // The network message above went by UDP and may overtake or trail
    // this probe; wait until it has been seen.
    pause(2);
    probe_answer = c->barrier();
  });
  s->go_online();
  ASSERT_TRUE(reached(1));
  udp_socket stranger;
  std::string datagram(29, '\0');
  datagram[0] = '\x7e';
  stranger.send_to(s->local_addr, datagram);
  ASSERT_TRUE(run_until([&] { return logged_prefix("udp: unknown spi "); }));
  EXPECT_TRUE(logged_line("udp: unknown spi 7e000000 from 127.0.0.1:" +
                          std::to_string(stranger.port) + "\n"));
  // Too short to be anything: dropped without a word.
  stranger.send_to(s->local_addr, std::string(28, '\x7f'));

  ASSERT_TRUE(reached(2));
  ASSERT_TRUE(run_until([&] { return s->find_network("by-udp", false) != nullptr; }));
  EXPECT_TRUE(logged_line("ses: received network by-udp\n"));
  ASSERT_TRUE(script_done());
  EXPECT_EQ(lines_with("udp: unknown spi ").size(), 1u);

  // The probe reports where the last datagram came from: the server's own
  // UDP socket, whose port the test does not know, on 127.0.0.1.
  msg_reader r(probe_answer);
  r.get_bytes(4);
  srv::endpoint source = srv::get_endpoint(r);
  EXPECT_EQ(source.addr, 0x7f000001u);
  EXPECT_EQ(source.port, ntohs(s->udp_from.sin_port));
  EXPECT_NE(source.port, stranger.port);
}

TEST_F(SessionTest, PunchSendsEachPayloadAndRestoresTheTimeToLive) {
  start(kEnrolled);
  udp_socket target;
  server.run([&](test_server &srv) {
    test_conn *c = srv.accept();
    if (!c) return;
    c->login();
    std::vector<srv::punch_record> records(2);
    records[0].target = {0x7f000001, target.port};
    records[0].count = 1;
    records[0].ttl = 7;
    records[0].payload = "first";
    records[1] = records[0];
    records[1].ttl = 0;
    records[1].payload = "second";
    std::string body;
    srv::put_punch(body, records);
    c->send(srv::MSG_punch, body);
    c->barrier();
  });
  int ttl_before = 0;
  socklen_t len = sizeof ttl_before;
  s->go_online();
  ASSERT_TRUE(run_until([&] { return s->udp_sock.fd >= 0; }));
  getsockopt(s->udp_sock.fd, IPPROTO_IP, IP_TTL, &ttl_before, &len);
  ASSERT_TRUE(script_done());
  // The datagrams are paced by the session's loop, which must run.
  std::vector<std::string> got;
  ASSERT_TRUE(run_until([&] {
    const std::string d = target.receive(0);
    if (!d.empty()) got.push_back(d);
    return got.size() == 2;
  }));
  EXPECT_EQ(got, (std::vector<std::string>{"first", "second"}));
  ASSERT_TRUE(run_until([&] { return !evl_timer_running(&s->punch_timer); }));
  int ttl_after = 0;
  getsockopt(s->udp_sock.fd, IPPROTO_IP, IP_TTL, &ttl_after, &len);
  EXPECT_EQ(ttl_after, ttl_before);
  EXPECT_EQ(s->state, STATE_ready);
}

TEST_F(SessionTest, PunchBeforeDiscoveryIsAStateError) {
  start(kEnrolled);
  server.run([&](test_server &srv) {
    test_conn *c = srv.accept();
    if (!c) return;
    c->answer_helo();
    std::string body;
    srv::put_punch(body, {});
    c->send(srv::MSG_punch, body);
    c->wait_closed();
  });
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_TRUE(logged_line("ses: error 5  0 1\n"));
}

TEST_F(SessionTest, KeepaliveGoesOutOnlyWhileReady) {
  start(kEnrolled);
  current_config.server_keepalive = 40;  // instead of 90 s
  std::atomic<int> keepalives{0};
  bool closed = false;
  server.run([&](test_server &srv) {
    test_conn *c = srv.accept();
    if (!c) return;
    c->login();
    for (int i = 0; i < 2; i++) {
      client_msg m = c->expect(srv::MSG_keepalive);
      if (m.type == srv::MSG_keepalive && m.body.empty()) keepalives++;
    }
    closed = c->wait_closed();
  });
  s->go_online();
  ASSERT_TRUE(run_until([&] { return s->state == STATE_ready; }));
  ASSERT_TRUE(run_until([&] { return keepalives == 2; }));
  s->set_reconn(false);
  s->go_offline();
  ASSERT_TRUE(script_done());
  EXPECT_EQ(keepalives, 2);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(evl_timer_running(&s->server_keepalive_timer));
}

TEST(RateLimits, BytesPerSecondBecomeBitsWithoutWrapping) {
  session s(nullptr);
  config cfg;
  cfg.tx_rate = 4294967295u;
  cfg.rx_rate = 1000;
  set_rate_limits(s, cfg);
  EXPECT_EQ(s.tx_shaper.rate, 34359738360ull);
  EXPECT_EQ(s.rx_shaper.rate, 8000u);
}

}  // namespace
