// The virtual LAN packet path: frames from the host through the tap to the
// peers' tunnels, ARP answered locally, and packets from peers onto the tap
// with the Ethernet header the host expects.
#include <gtest/gtest.h>

#include "common/util.h"
#include "tunnel_fixture.h"

namespace {

std::string hex_of(const std::string &bytes) { return hex_text(bytes, bytes.size()); }

// An ARP packet behind an Ethernet header, padded to the Ethernet minimum.
std::string arp_frame(const std::string &eth_dst, uint16_t op, const std::string &sha,
                      uint32_t spa, const std::string &tha, uint32_t tpa, uint16_t htype = 1) {
  std::string f = ether(eth_dst, sha, 0x0806);
  f += char(htype >> 8);
  f += char(htype & 0xff);
  f += std::string("\x08\x00\x06\x04", 4);
  f += char(op >> 8);
  f += char(op & 0xff);
  f += sha + be32_text(spa) + tha + be32_text(tpa);
  return f + std::string(18, '\0');
}

const std::string kBroadcastMac(6, '\xff');

TEST_F(TunnelTest, ArpIsAnsweredForPeersWithTunnels) {
  login_with_peers();
  logged.clear();
  from_tap(arp_frame(kBroadcastMac, 1, kHostMac, kSelf, std::string(6, '\0'), kP2));
  ASSERT_EQ(tap->written.size(), 1u);
  EXPECT_EQ(hex_of(tap->written[0]),
            hex_of(arp_frame(kHostMac, 2, mac_of(kP2), kP2, kHostMac, kSelf)));
  EXPECT_EQ(tap->written[0].size(), 60u) << "written at the length it came with";
  EXPECT_EQ(logged_text(), "");

  from_tap(arp_frame(kBroadcastMac, 1, kHostMac, kSelf, std::string(6, '\0'), kSelf));
  from_tap(arp_frame(kBroadcastMac, 1, kHostMac, kSelf, std::string(6, '\0'), 0x0500004d));
  from_tap(arp_frame(kHostMac, 2, kHostMac, kSelf, mac_of(kP2), kP2));
  from_tap(arp_frame(kBroadcastMac, 1, kHostMac, kSelf, std::string(6, '\0'), kP2, 6));
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "tap: arp - gratitious\n",
                        "tap: arp - unknown peer 5.0.0.77\n",
                        "tap: arp - ht:0001 proto:0800 hl:6 pl:4 op:0002\n",
                        "tap: arp - ht:0006 proto:0800 hl:6 pl:4 op:0001\n",
                    }));
  EXPECT_EQ(tap->written.size(), 1u);
  // Nothing of it went to a peer.
  EXPECT_EQ(p2.recv(0), "");
  EXPECT_EQ(p3.recv(0), "");
}

// IPv4 from the host goes to the tunnel of its destination, or of the peer
// whose hardware address the frame is for; what does not parse cleanly,
// or has nowhere to go, goes nowhere.
TEST_F(TunnelTest, PacketsFromTheHostGoToTheirPeer) {
  login_with_peers();
  // A small packet in a padded frame: the padding travels along.
  const std::string ping = ip4_packet(kSelf, kP2, 28);
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + ping + std::string(18, '\0'));
  EXPECT_EQ(hex_of(p2.open(p2.recv())), hex_of("\x80" + ping + std::string(18, '\0')));
  EXPECT_EQ(s->find_tunnel(kP2)->tx_count, 1u);

  // For an address behind the peer, sent to the peer's hardware address.
  const std::string routed = ip4_packet(kSelf, 0x08080808, 60, 17);
  std::string routed_udp = routed;
  put16_at(routed_udp, 24, 40);  // the UDP length that matches
  from_tap(ether(mac_of(kP3), kHostMac, 0x0800) + routed_udp);
  EXPECT_EQ(p3.open(p3.recv()), "\x80" + routed_udp);

  // Nowhere to go, or not clean enough to send: nothing leaves.
  std::string udp_mismatch = routed_udp;
  put16_at(udp_mismatch, 24, 41);
  std::string short_header = ping;
  short_header[0] = 0x44;
  const std::string cut = ip4_packet(kSelf, kP2, 100).substr(0, 60);
  for (const std::string &frame :
       {ether(kHostMac, kHostMac, 0x0800) + ip4_packet(kSelf, 0x08080808, 40),
        ether(mac_of(kP2), kHostMac, 0x0800) + udp_mismatch,
        ether(mac_of(kP2), kHostMac, 0x0800) + short_header,
        ether(mac_of(kP2), kHostMac, 0x0800) + cut, ether(mac_of(kP2), kHostMac, 0x86dd) + ping,
        std::string("\x00\xff\x05", 3)})
    from_tap(frame);
  // A fragment does go: the peer's stack puts it together.
  std::string fragment = ip4_packet(kSelf, kP2, 48, 17);
  put16_at(fragment, 6, 0x2000);
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + fragment);
  EXPECT_EQ(p2.open(p2.recv()), "\x80" + fragment);
  EXPECT_EQ(p2.recv(0), "");
  EXPECT_EQ(p3.recv(0), "");
  EXPECT_EQ(logged_text().find("p2p:"), std::string::npos) << logged_text();
}

// Frames read in one drain of the tap: their datagrams are held back and go
// out together, at the latest when the drain ends, each exactly as it would
// have gone alone (order per peer, contents, counts), floods included.
TEST_F(TunnelTest, DatagramsOfOneTapDrainGoOutTogetherUnchanged) {
  login_with_peers();
  std::vector<std::string> to_p2, to_p3;
  s->on_frames_begin();
  for (int i = 0; i < 40; ++i) {
    const uint32_t dst = i % 10 == 9 ? 0x05ffffffu : (i % 3 ? kP2 : kP3);
    const std::string packet = ip4_packet(kSelf, dst, 40 + size_t(i) * 30, 1, char('a' + i));
    from_tap(ether(dst == kP3 ? mac_of(kP3) : mac_of(kP2), kHostMac, 0x0800) + packet);
    if (dst != kP3) to_p2.push_back("\x80" + packet);
    if (dst != kP2) to_p3.push_back("\x80" + packet);
    if (i == 0) {
      EXPECT_EQ(p2.recv(0), "") << "held back while the drain goes on";
      EXPECT_EQ(p3.recv(0), "");
    }
  }
  s->on_frames_end();
  for (size_t i = 0; i < to_p2.size(); ++i) ASSERT_EQ(p2.open(p2.recv()), to_p2[i]) << i;
  for (size_t i = 0; i < to_p3.size(); ++i) ASSERT_EQ(p3.open(p3.recv()), to_p3[i]) << i;
  EXPECT_EQ(p2.recv(0), "");
  EXPECT_EQ(p3.recv(0), "");
  EXPECT_EQ(s->find_tunnel(kP2)->tx_count, to_p2.size());
  EXPECT_EQ(s->find_tunnel(kP3)->tx_count, to_p3.size());

  // Outside a drain a frame goes at once, as before.
  const std::string ping = ip4_packet(kSelf, kP2, 28);
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + ping);
  EXPECT_EQ(p2.open(p2.recv(0)), "\x80" + ping);
}

TEST_F(TunnelTest, BroadcastAndMulticastGoToEveryTunnel) {
  login_with_peers();
  for (uint32_t dst : {0x05ffffffu, 0xffffffffu, 0xe00000fbu, 0xefc80102u}) {
    const std::string packet = ip4_packet(kSelf, dst, 64, 1, 'b');
    from_tap(ether(kBroadcastMac, kHostMac, 0x0800) + packet);
    EXPECT_EQ(p2.open(p2.recv()), "\x80" + packet) << std::hex << dst;
    EXPECT_EQ(p3.open(p3.recv()), "\x80" + packet) << std::hex << dst;
  }
  // Not a broadcast address of ours: only where its hardware address says.
  from_tap(ether(mac_of(kP3), kHostMac, 0x0800) + ip4_packet(kSelf, 0x0501ffff, 40));
  EXPECT_NE(p3.recv(), "");
  EXPECT_EQ(p2.recv(0), "");
}

// Packets from peers reach the tap with the destination the host expects:
// its own address, the Ethernet broadcast, or the multicast mapping.
TEST_F(TunnelTest, PacketsFromPeersGetTheirEthernetHeader) {
  login_with_peers();
  const std::string own(reinterpret_cast<char *>(tap->mac), 6);
  struct {
    uint32_t dst;
    std::string eth_dst;
  } cases[] = {
      {kSelf, own},
      {0x05ffffff, kBroadcastMac},
      {0xffffffff, kBroadcastMac},
      {0xefc80102, std::string("\x01\x00\x5e\x48\x01\x02", 6)},  // 239.200.1.2
      {0xe00000fb, std::string("\x01\x00\x5e\x00\x00\xfb", 6)},
      {0x08080808, own},  // neither address is compared with the peer's
  };
  for (auto &c : cases) {
    const std::string packet = ip4_packet(0x0a000001, c.dst, 64, 1, 'd');
    p2.send_raw(p2.datagram("\x80" + packet), session_udp);
    ASSERT_TRUE(tap_frames(1)) << std::hex << c.dst;
    EXPECT_EQ(hex_of(tap->written[0]), hex_of(ether(c.eth_dst, mac_of(0x0a000001), 0x0800) + packet));
    tap->written.clear();
  }

  // Sizes: 19 and 1501 are refused, 1500 makes a 1514-byte frame.
  logged.clear();
  p2.send_raw(p2.datagram("\x80" + std::string(19, 'x')), session_udp);
  p2.send_raw(p2.datagram("\x80" + ip4_packet(kP2, kSelf, 1501)), session_udp);
  p2.send_raw(p2.datagram("\x80" + ip4_packet(kP2, kSelf, 1500)), session_udp);
  ASSERT_TRUE(tap_frames(1));
  EXPECT_EQ(tap->written[0].size(), 1514u);
  EXPECT_EQ(logged, (std::vector<std::string>{"p2p: ip4 packet - bad size 19\n",
                                              "p2p: ip4 packet - bad size 1501\n"}));
}

// Both shapers at 10 bytes per second: the first packet into an empty
// bucket passes whatever its size, the next is refused.
TEST_F(TunnelTest, ShapersRefuseBeyondTheirRate) {
  login_with_peers();
  s->rx_shaper.rate = 80;
  s->tx_shaper.rate = 80;
  logged.clear();
  p2.send_raw(p2.datagram("\x80" + ip4_packet(kP2, kSelf, 1500)), session_udp);
  ASSERT_TRUE(tap_frames(1));
  p2.send_raw(p2.datagram("\x80" + ip4_packet(kP2, kSelf, 100)), session_udp);
  ASSERT_TRUE(logged_soon("p2p: rejected by RX shaper\n"));
  EXPECT_EQ(tap->written.size(), 1u);
  // 1500 bytes in, drained by a few bits at most since.
  EXPECT_LE(s->rx_shaper.level, 12000u);
  EXPECT_GT(s->rx_shaper.level, 11000u);

  const std::string packet = ip4_packet(kSelf, kP2, 1000);
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + packet);
  from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + packet);
  EXPECT_EQ(p2.open(p2.recv()), "\x80" + packet);
  EXPECT_EQ(p2.recv(0), "");
  EXPECT_TRUE(logged_line("p2p: rejected by TX shaper\n"));
  // The send shaper counts the tunnel message: the packet and its number.
  EXPECT_EQ(s->tx_shaper.level, 1001u * 8);
  EXPECT_EQ(s->find_tunnel(kP2)->shaper_dropped, 2u) << "one packet each way";
}

}  // namespace
