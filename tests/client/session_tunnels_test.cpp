// Peer tunnels: a session and scripted peers exchanging tunnel datagrams
// over loopback UDP, with the server introducing, replacing and dropping
// the tunnels.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/util.h"
#include "tunnel_fixture.h"

namespace {

std::string loop_text(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

std::string hex_of(const std::string &bytes) { return hex_text(bytes, bytes.size()); }

std::string peer_unreachable_body(uint32_t vip) {
  std::string b;
  put_u32(b, vip);
  put_u8(b, 3);
  return b;
}

// A UDP socket that tells, for each datagram, the TTL it came with and
// when the kernel took it in (so that the spacing seen is the sender's).
struct stamped_sink {
  struct datagram {
    std::string payload;
    int ttl = -1;
    double at_ms = 0;
  };
  stamped_sink() {
    sockaddr_in sa = peer_end::loopback(0);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
    const int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
  }
  ~stamped_sink() { close(fd); }
  void drain(std::vector<datagram> &into) {
    char buf[2048];
    alignas(cmsghdr) char control[256];
    iovec iov = {buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    for (;;) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
      if (n < 0) return;
      datagram d{std::string(buf, size_t(n))};
      for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        timeval tv;
        if (c->cmsg_type == IP_TTL) memcpy(&d.ttl, CMSG_DATA(c), sizeof d.ttl);
        if (c->cmsg_type == SO_TIMESTAMP) memcpy(&tv, CMSG_DATA(c), sizeof tv);
        if (c->cmsg_type == SO_TIMESTAMP) d.at_ms = tv.tv_sec * 1e3 + tv.tv_usec / 1e3;
      }
      into.push_back(d);
    }
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
};

srv::punch_record punch_to(uint16_t port, uint16_t count, uint8_t ttl, const std::string &payload) {
  srv::punch_record r;
  r.target = {INADDR_LOOPBACK, port};
  r.count = count;
  r.ttl = ttl;
  r.payload = payload;
  return r;
}

// Everything a peer may send arrives where it belongs: packets on the tap,
// keep-alives in the log, the rest ignored or reported; broken datagrams
// are dropped with their line and change nothing.
TEST_F(TunnelTest, DatagramsFromAPeer) {
  login_with_peers();
  EXPECT_TRUE(logged_line("ses: adding tunnel for 5.0.0.2\n"));
  EXPECT_TRUE(logged_line("ses: adding tunnel for 5.0.0.3\n"));
  tunnel *t = s->find_tunnel(kP2);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->addr, uint32_t(INADDR_LOOPBACK));
  EXPECT_EQ(t->port, p2.port);
  EXPECT_EQ(t->mc->in_spi, p2.to_session);
  EXPECT_EQ(t->mc->out_spi, p2.from_session);
  EXPECT_EQ(s->find_tunnel_by_spi(p2.to_session), t);
  EXPECT_EQ(s->find_tunnel_by_spi(p3.to_session), s->find_tunnel(kP3));
  EXPECT_EQ(s->tunnels.front(), t) << "in order of creation";

  // A packet goes onto the tap behind an Ethernet header to the tap's own
  // address, from the peer's.
  const std::string ping = ip4_packet(kP2, kSelf, 84);
  const std::string first = p2.datagram("\x80" + ping);
  p2.send_raw(first, session_udp);
  ASSERT_TRUE(tap_frames(1));
  EXPECT_EQ(t->rx_bytes, first.size());
  EXPECT_EQ(hex_of(tap->written[0]),
            hex_of(ether(std::string(reinterpret_cast<char *>(tap->mac), 6), mac_of(kP2), 0x0800) +
                   ping));

  // A keep-alive is logged and counted, and is no reason to skip our own.
  logged.clear();
  p2.send_raw(p2.datagram("\x84"), session_udp);
  ASSERT_TRUE(logged_soon("udp: tunnel keepalive << 5.0.0.2\n"));
  EXPECT_EQ(t->rx_count, 2u);
  EXPECT_EQ(t->last_tx, 0u);
  EXPECT_NE(t->last_rx, 0u);

  // Reserved numbers pass silently; others are reported with the frame.
  logged.clear();
  p2.send_raw(p2.datagram("\x81whatever"), session_udp);
  p2.send_raw(p2.datagram("\x85"), session_udp);
  const uint32_t seq = p2.tx->tx_seq;
  p2.send_raw(p2.datagram("\x90" "abc"), session_udp);
  ASSERT_TRUE(logged_soon("udp: unsupported p2p protocol 144 from 5.0.0.2\n")) << logged_text();
  EXPECT_EQ(logged_text(), "udp: unsupported p2p protocol 144 from 5.0.0.2\npkt: " +
                               hex_of(be32_text(p2.to_session) + be32_text(seq) + "\x90" "abc") +
                               "\n");
  EXPECT_EQ(t->rx_count, 5u);

  // A message without even a protocol number.
  logged.clear();
  forget_log_limits();  // the line of the kind above would hold it back
  p2.send_raw(p2.datagram(""), session_udp);
  ASSERT_TRUE(run_until([&] { return logged.size() >= 3; }));
  EXPECT_TRUE(logged_prefix("assert pkt.size() > 8 in ../client/src/session_tunnels.cpp:"))
      << logged_text();
  EXPECT_TRUE(logged_line("udp: unsupported p2p protocol 0 from 5.0.0.2\n"));

  // Too short to be anything: not a word about it. Unknown SPI: one line.
  logged.clear();
  p2.send_raw(std::string("\x0b\xad\xf0\x0d", 4) + std::string(24, 'x'), session_udp);
  p2.send_raw(std::string("\x0b\xad\xf0\x0d", 4) + std::string(25, 'x'), session_udp);
  ASSERT_TRUE(logged_soon("udp: unknown spi 0badf00d from " + loop_text(p2.port) + "\n"));
  EXPECT_EQ(logged.size(), 1u) << logged_text();

  // One flipped bit: refused, and the tunnel stays.
  logged.clear();
  std::string spoilt = p2.datagram("\x80" + ping);
  spoilt[20] ^= 0x01;
  p2.send_raw(spoilt, session_udp);
  ASSERT_TRUE(logged_soon("udp: failed to decrypt - spi 5.0.0.2, addr " + loop_text(p2.port) +
                          ", tun " + loop_text(p2.port) + "\n"))
      << logged_text();
  EXPECT_EQ(s->find_tunnel(kP2), t);
  EXPECT_EQ(tap->written.size(), 1u);

  // From another endpoint: taken, logged, and the tunnel keeps its own.
  logged.clear();
  p3.send_raw(p2.datagram("\x80" + ping), session_udp);
  ASSERT_TRUE(tap_frames(2));
  EXPECT_EQ(logged_text(), "udp: tunnel addr change for 5.0.0.2 from " + loop_text(p2.port) +
                               " to " + loop_text(p3.port) + "\n");
  EXPECT_EQ(t->port, p2.port);
  // Replies still go to the recorded endpoint.
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + ip4_packet(kSelf, kP2, 40));
  const std::string reply = p2.recv();
  EXPECT_EQ(p2.open(reply).substr(0, 1), "\x80");
  EXPECT_EQ(p3.recv(0), "");
  EXPECT_EQ(t->tx_count, 1u);
  // The counters the user can inspect: the broken datagrams by reason.
  EXPECT_EQ(t->tx_bytes, reply.size());
  EXPECT_EQ(t->rx_count, 7u);
  EXPECT_EQ(t->auth_failed, 1u);
  EXPECT_EQ(t->bad_packets, 2u) << "protocol 144 and the empty message";
  EXPECT_EQ(t->keepalives_rx, 1u);
}

// A burst larger than a wake-up's budget, queued before the session looks:
// the datagrams come several per system call, yet each is handled exactly
// as on its own, in order and with its own sender, good and bad mixed;
// the bad ones are told once for each kind.
TEST_F(TunnelTest, ABurstOfDatagramsIsHandledOneByOneInOrder) {
  login_with_peers();
  logged.clear();
  const std::string unknown = std::string("\x0b\xad\xf0\x0d", 4) + std::string(40, 'u');
  std::vector<std::string> packets;
  const std::vector<std::string> expected_first = {
      "udp: unknown spi 0badf00d from " + loop_text(p3.port) + "\n",
      "udp: failed to decrypt - spi 5.0.0.2, addr " + loop_text(p2.port) + ", tun " +
          loop_text(p2.port) + "\n",
      "udp: tunnel addr change for 5.0.0.2 from " + loop_text(p2.port) + " to " +
          loop_text(p3.port) + "\n",
  };
  const int kDatagrams = 150;
  for (int i = 0; i < kDatagrams; ++i) {
    const std::string packet = ip4_packet(kP2, kSelf, 40 + size_t(i), 17, char('A' + i % 26));
    switch (i % 4) {
      case 0:
        p2.send_raw(p2.datagram("\x80" + packet), session_udp);
        packets.push_back(packet);
        break;
      case 1:
        p3.send_raw(unknown, session_udp);
        break;
      case 2: {
        std::string spoilt = p2.datagram("\x80" + packet);
        spoilt[30] ^= 0x40;
        p2.send_raw(spoilt, session_udp);
        break;
      }
      case 3:
        // The peer's own datagram, from another endpoint.
        p3.send_raw(p2.datagram("\x80" + packet), session_udp);
        packets.push_back(packet);
        break;
    }
  }
  ASSERT_TRUE(tap_frames(packets.size())) << tap->written.size() << "\n" << logged_text();
  // Each kind is told once, the rest counted: the burst cannot fill the
  // log. (Should it straddle a second, a kind may come once more, with
  // its count.)
  ASSERT_TRUE(run_until([&] { return logged.size() >= 3; }));
  EXPECT_EQ(std::vector<std::string>(logged.begin(), logged.begin() + 3), expected_first);
  for (const std::string &line : logged)
    EXPECT_TRUE(std::count(expected_first.begin(), expected_first.end(), line) ||
                line.find(" more suppressed\n") != std::string::npos)
        << line;
  EXPECT_LT(logged.size(), 20u) << logged_text();
  ASSERT_EQ(tap->written.size(), packets.size());
  for (size_t i = 0; i < packets.size(); ++i)
    EXPECT_EQ(hex_of(tap->written[i].substr(14)), hex_of(packets[i])) << i;
  EXPECT_EQ(s->find_tunnel(kP2)->rx_count, packets.size());
  EXPECT_EQ(s->find_tunnel(kP2)->port, p2.port);
}

// A captured datagram sent again is not delivered again; reordering within
// the window is fine; a new peer.ok starts a new window, whose numbers run
// across 2^32 without a hitch.
TEST_F(TunnelTest, ReplayedDatagramsAreDeliveredOnce) {
  const std::string again = p2.peer_ok_body();
  login_with_peers("", [=](test_conn *c) {
    c->send(srv::MSG_peer, again);
    c->barrier();
    pause(2);
  });
  tunnel *t = s->find_tunnel(kP2);
  auto packet = [](char mark) { return "\x80" + ip4_packet(kP2, kSelf, 30, 1, mark); };
  const std::string d0 = p2.datagram(packet('0'));
  const std::string d1 = p2.datagram(packet('1'));
  const std::string d2 = p2.datagram(packet('2'));
  const std::string old = p2.datagram(packet('o'));  // number 3, held back
  for (const std::string *d : {&d2, &d0, &d0, &d1, &d2, &d1}) p2.send_raw(*d, session_udp);
  // Something after them, so that everything before has been seen.
  p2.send_raw(p2.datagram("\x84"), session_udp);
  ASSERT_TRUE(logged_soon("udp: tunnel keepalive << 5.0.0.2\n"));
  ASSERT_EQ(tap->written.size(), 3u);
  EXPECT_EQ(tap->written[0].back(), '2');
  EXPECT_EQ(tap->written[1].back(), '0');
  EXPECT_EQ(tap->written[2].back(), '1');
  EXPECT_EQ(t->replayed, 3u);
  EXPECT_EQ(t->rx_count, 4u) << "replays are not accepted datagrams";
  EXPECT_TRUE(logged_line("udp: replayed datagram dropped - spi 5.0.0.2, addr " +
                          loop_text(p2.port) + ", seq 0, 1 so far\n"))
      << logged_text();
  int told = 0;
  for (auto &line : logged) told += line.rfind("udp: replayed datagram dropped", 0) == 0;
  EXPECT_GE(told, 1);
  EXPECT_LE(told, 3);

  // Far ahead, then the one held back: behind the window now.
  p2.tx->tx_seq = 5000;
  p2.send_raw(p2.datagram(packet('f')), session_udp);
  ASSERT_TRUE(tap_frames(4));
  p2.send_raw(old, session_udp);
  p2.send_raw(p2.datagram("\x84"), session_udp);
  ASSERT_TRUE(run_until([&] { return t->rx_count == 6; }));
  EXPECT_EQ(tap->written.size(), 4u);
  EXPECT_EQ(t->replayed, 4u);

  // A new peer.ok: a new tunnel and a new window; the peer's numbers start
  // just before the wrap and go on across it.
  ASSERT_TRUE(reached(2));
  EXPECT_TRUE(logged_line("ses: deleting tunnel for 5.0.0.2\n"));
  t = s->find_tunnel(kP2);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->replayed, 0u);
  p2.rekey();
  p2.tx->tx_seq = 0xfffffffe;
  for (char mark : {'w', 'x', 'y', 'z'}) p2.send_raw(p2.datagram(packet(mark)), session_udp);
  ASSERT_TRUE(tap_frames(8));
  EXPECT_EQ(tap->written[7].back(), 'z');
  EXPECT_EQ(t->rx_window.top, 1u);
  EXPECT_EQ(t->replayed, 0u);
}

// A second peer.ok replaces the tunnel, SPI table entry included; too
// little key material leaves the peer without one; peer.unreachable
// deletes it.
// A tunnel deleted while datagrams for it are held back (during a drain
// of the tap): they go out first, as they would have without holding back.
TEST_F(TunnelTest, DeletingATunnelSendsWhatWasHeldBackForIt) {
  login_with_peers("", [=](test_conn *c) {
    c->send(srv::MSG_peer, peer_unreachable_body(kP2));
    c->barrier();
    pause(2);
  });
  s->on_frames_begin();
  const std::string ping = ip4_packet(kSelf, kP2, 60);
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + ping);
  EXPECT_EQ(p2.recv(0), "");
  ASSERT_TRUE(reached(2));
  EXPECT_EQ(s->find_tunnel(kP2), nullptr);
  EXPECT_EQ(p2.open(p2.recv()), "\x80" + ping);
  s->on_frames_end();
  EXPECT_EQ(p2.recv(0), "");
}

TEST_F(TunnelTest, PeerOkReplacesAndUnreachableDeletes) {
  peer_end p2b(kP2, 0x00002211, 0x00002212, keymat_of('c'));
  peer_end p3short(kP3, 0x00003311, 0x00003312, keymat_of('d', 51));
  const std::string replace = p2b.peer_ok_body(), too_short = p3short.peer_ok_body();
  login_with_peers("", [=](test_conn *c) {
    c->send(srv::MSG_peer, replace);
    c->send(srv::MSG_peer, too_short);
    c->barrier();
    pause(2);
    c->send(srv::MSG_peer, peer_unreachable_body(kP2));
    c->barrier();
    pause(3);
  });
  const std::string before = p2.datagram("\x84");
  logged.clear();
  ASSERT_TRUE(reached(2));
  EXPECT_EQ(lines_with("ses: "),
            (std::vector<std::string>{
                "ses: deleting tunnel for 5.0.0.2\n",
                "ses: received peer.ok 5.0.0.2 -- " + loop_text(p2b.port) + "\n",
                "ses: adding tunnel for 5.0.0.2\n",
                "ses: deleting tunnel for 5.0.0.3\n",
                "ses: received peer.ok 5.0.0.3 -- " + loop_text(p3short.port) + "\n",
                "ses: no enough keymat (51)\n",
            }));
  EXPECT_EQ(s->find_tunnel(kP3), nullptr);
  EXPECT_EQ(s->find_tunnel_by_spi(p3.to_session), nullptr);
  EXPECT_EQ(s->tunnels.size(), 1u);
  EXPECT_EQ(s->find_tunnel_by_spi(p2.to_session), nullptr);
  EXPECT_EQ(s->find_tunnel(kP2)->port, p2b.port);

  logged.clear();
  p2.send_raw(before, session_udp);
  ASSERT_TRUE(logged_soon("udp: unknown spi 00002201 from " + loop_text(p2.port) + "\n"));
  p2b.send_raw(p2b.datagram("\x84"), session_udp);
  ASSERT_TRUE(logged_soon("udp: tunnel keepalive << 5.0.0.2\n"));

  logged.clear();
  ASSERT_TRUE(reached(3));
  EXPECT_EQ(lines_with("ses: "), (std::vector<std::string>{
                                     "ses: deleting tunnel for 5.0.0.2\n",
                                     "ses: received peer.unreachable 5.0.0.2\n",
                                 }));
  EXPECT_TRUE(s->tunnels.empty());
  EXPECT_TRUE(s->tunnels_by_addr.empty());
  EXPECT_TRUE(s->tunnels_by_spi.empty());
  forget_log_limits();  // an unknown SPI was told less than a second ago
  p2b.send_raw(p2b.datagram("\x84"), session_udp);
  ASSERT_TRUE(logged_soon("udp: unknown spi 00002211 from " + loop_text(p2b.port) + "\n"));
  EXPECT_EQ(s->find_peer(kP2, false)->server_reported, 1u);
}

// Idle tunnels get a keep-alive each period, past a full TX shaper; with
// KeepAlive 0 the timer never runs.
TEST_F(TunnelTest, KeepAlivesGoToIdleTunnels) {
  login_with_peers("KeepAlive 5\n");
  ASSERT_TRUE(evl_timer_running(&s->tunnel_keepalive_timer));
  EXPECT_EQ(s->tunnel_keepalive_timer.period, 5000u);
  // Five seconds is the shortest period one can configure; the test needs
  // no such patience.
  current_config.keepalive = 200;
  s->tunnel_keepalive_timer.period = 200;
  evl_timer_start(&s->tunnel_keepalive_timer);
  s->tx_shaper.rate = 8;
  s->tx_shaper.level = 8;
  s->tx_shaper.last = evl_now;
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + ip4_packet(kSelf, kP2, 40));
  EXPECT_TRUE(logged_line("p2p: rejected by TX shaper\n"));
  std::string got2, got3;
  ASSERT_TRUE(run_until([&] {
    if (got2.empty()) got2 = p2.recv(0);
    if (got3.empty()) got3 = p3.recv(0);
    return !got2.empty() && !got3.empty();
  }));
  EXPECT_EQ(p2.open(got2), "\x84");
  EXPECT_EQ(p3.open(got3), "\x84");
  EXPECT_TRUE(logged_line("udp: tunnel keepalive >> 5.0.0.2\n"));
  EXPECT_TRUE(logged_line("udp: tunnel keepalive >> 5.0.0.3\n"));
  tunnel *t = s->find_tunnel(kP2);
  EXPECT_EQ(t->tx_count, 1u);
  EXPECT_NE(t->last_tx, 0u);
  // One send within the period holds the next keep-alive back.
  s->tx_shaper = shaper();
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + ip4_packet(kSelf, kP2, 40));
  EXPECT_EQ(p2.open(p2.recv()).substr(0, 1), "\x80");
}

TEST_F(TunnelTest, KeepAliveZeroSendsNone) {
  login_with_peers("KeepAlive 0\n");
  EXPECT_FALSE(evl_timer_running(&s->tunnel_keepalive_timer));
}

// The server may send frames by UDP; they carry the channel identifier in
// front and go to the server's dispatcher even when a tunnel has the same
// SPI. One that fails the channel's check is dropped: anybody can send a
// datagram, and a forged one must not take the server connection down.
TEST_F(TunnelTest, ServerChannelIdentifierGoesToTheServerPath) {
  peer_end clash(kP3, 0x51000001, 0x00003302, keymat_of('e'));
  const std::string clash_ok = clash.peer_ok_body();
  login_with_peers("", [=](test_conn *c) {
    c->send(srv::MSG_peer, clash_ok);
    c->barrier();
    pause(2);
    c->send_udp(srv::MSG_network, network_body("by-udp", {{srv::NET_member_added, {0x05000004}}}),
                srv::endpoint{INADDR_LOOPBACK, udp_port.load()});
    pause(3);
  });
  udp_port = ntohs(session_udp.sin_port);
  ASSERT_TRUE(reached(2));
  ASSERT_TRUE(s->find_tunnel_by_spi(0x51000001));
  logged.clear();
  clash.send_raw(clash.datagram("\x80" + ip4_packet(kP3, kSelf, 40)), session_udp);
  ASSERT_TRUE(logged_soon("udp: failed to decrypt server frame from " + loop_text(clash.port) + "\n"))
      << logged_text();
  EXPECT_TRUE(tap->written.empty());
  EXPECT_EQ(s->state, STATE_ready);
  EXPECT_TRUE(lines_with("ses: error").empty());

  // A genuine one is handled like any server message.
  ASSERT_TRUE(reached(3));
  ASSERT_TRUE(run_until([&] { return s->find_network("by-udp", false) != nullptr; }));
  EXPECT_TRUE(tap->written.empty());
  EXPECT_EQ(s->find_tunnel(kP3)->rx_count, 0u);
}

// A hostile server and a hostile peer. The server asks for an endless
// punch, 24,000 records without ports around two with one and another
// punch behind it (paced by sleeping, this froze the session for twenty
// minutes), and replays its own frames; the peer speaks in another
// member's name. The session answers and forwards all along; the punch
// datagrams leave in order, spaced, with their time-to-live; replays and
// foreign packets (StrictSource) are refused.
TEST_F(TunnelTest, AHostileServerAndPeerNeitherStallNorFoolTheSession) {
  stamped_sink sink;
  std::vector<srv::punch_record> hostile(12000, punch_to(9, 0, 0, ""));
  hostile[0].ttl = 9;  // carried on to the records after it
  hostile.push_back(punch_to(sink.port, 1, 0, "a"));
  hostile.push_back(punch_to(sink.port, 1, 4, "b"));
  hostile.insert(hostile.end(), 12000, punch_to(9, 0, 0, ""));
  std::string first, second;
  srv::put_punch(first, hostile);
  srv::put_punch(second, {punch_to(sink.port, 1, 0, "c")});
  login_with_peers("StrictSource yes\n", [&](test_conn *c) {
    c->send(srv::MSG_punch, first);
    c->send(srv::MSG_punch, second);
    const srv::endpoint to{INADDR_LOOPBACK, udp_port.load()};
    c->send_udp_raw(c->send_udp(srv::MSG_network, network_body("by-udp", {}), to), to);
    c->barrier();
    pause(2);
    const std::string frame = c->protected_frame(srv::MSG_network, network_body("by-tcp", {}));
    c->send_raw(frame + frame);
    pause(3);
  });
  udp_port = ntohs(session_udp.sin_port);
  ASSERT_TRUE(reached(2)) << "no answer while punching";
  p2.send_raw(p2.datagram("\x80" + ip4_packet(kP3, kSelf, 40)), session_udp);
  p2.send_raw(p2.datagram("\x80" + ip4_packet(kP2, kSelf, 40)), session_udp);
  ASSERT_TRUE(tap_frames(1));
  EXPECT_EQ(tap->written[0].substr(14), ip4_packet(kP2, kSelf, 40));
  EXPECT_TRUE(logged_line("p2p: ip4 packet from 5.0.0.2 with source 5.0.0.3 dropped, 1 so far\n"));
  ASSERT_TRUE(run_until([&] { return logged_prefix("udp: replayed server frame dropped - seq "); }));
  EXPECT_EQ(lines_with("ses: received network by-udp").size(), 1u);

  std::vector<stamped_sink::datagram> got;
  ASSERT_TRUE(run_until([&] { sink.drain(got); return got.size() >= 3; }));
  ASSERT_TRUE(run_until([&] { return !evl_timer_running(&s->punch_timer); }));
  int socket_ttl = 0;
  socklen_t len = sizeof socket_ttl;
  getsockopt(s->udp_sock.fd, IPPROTO_IP, IP_TTL, &socket_ttl, &len);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].payload + got[1].payload + got[2].payload, "abc");
  EXPECT_EQ(got[0].ttl, 9);
  EXPECT_EQ(got[1].ttl, 4);
  EXPECT_EQ(got[2].ttl, socket_ttl) << "the socket's own, untouched, for the next message";
  // 10 ms after a datagram and 50 more after its record (the loop's timers
  // count whole milliseconds: give or take two).
  EXPECT_GE(got[1].at_ms - got[0].at_ms, 58);
  EXPECT_GE(got[2].at_ms - got[1].at_ms, 58);

  // A frame sent twice on the connection: the second breaks the channel.
  ASSERT_TRUE(reached(3));
  ASSERT_TRUE(run_until([&] { return !lines_with("ses: error 7 ").empty(); })) << logged_text();
  EXPECT_EQ(lines_with("ses: received network by-tcp").size(), 1u);
}

}  // namespace
