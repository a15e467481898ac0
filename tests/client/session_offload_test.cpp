// The UDP socket's capacity: large buffers, datagrams of one drain sent as
// one segmented message, coalesced reads split again, and the way back to
// datagram-by-datagram where the kernel refuses. What the peers see must
// not change.
#include <gtest/gtest.h>
#include <netinet/udp.h>

#include <algorithm>
#include <fstream>

#include "tunnel_fixture.h"

namespace {

int proc_value(const char *path) {
  std::ifstream in(path);
  int v = 0;
  in >> v;
  return v;
}

int socket_buffer(int fd, int option) {
  int got = 0;
  socklen_t len = sizeof got;
  getsockopt(fd, SOL_SOCKET, option, &got, &len);
  return got / 2;  // the kernel reports twice what it grants
}

TEST_F(TunnelTest, TheSocketGetsLargeBuffersAndSaysSo) {
  login_with_peers();
  // Privileged, we get all we ask for; otherwise up to the system's cap.
  const int wanted = 4 << 20;
  const bool root = geteuid() == 0;
  const int rcv_cap = root ? wanted : std::min(wanted, proc_value("/proc/sys/net/core/rmem_max"));
  const int snd_cap = root ? wanted : std::min(wanted, proc_value("/proc/sys/net/core/wmem_max"));
  EXPECT_GE(socket_buffer(s->udp_sock.fd, SO_RCVBUF), rcv_cap);
  EXPECT_GE(socket_buffer(s->udp_sock.fd, SO_SNDBUF), snd_cap);
  EXPECT_EQ(lines_with("udp: socket buffers ").size(), 1u) << logged_text();
}

// A drain of frames for two peers, those for p2 all of one size but the
// last: runs for one peer leave as one message with UDP_SEGMENT where the
// kernel has it, and each peer still gets every datagram on its own, in
// order, each counted once.
TEST_F(TunnelTest, SameSizedDatagramsOfADrainLeaveSegmentedAndArriveOneByOne) {
  login_with_peers();
  std::vector<std::string> to_p2, to_p3;
  s->on_frames_begin();
  for (int i = 0; i < 50; ++i) {
    // Ten to p2, one to p3, and so on; p2's last one is shorter.
    const bool p3_turn = i % 11 == 10;
    const uint32_t dst = p3_turn ? kP3 : kP2;
    const size_t size = i == 49 ? 300 : 1000;
    const std::string packet = ip4_packet(kSelf, dst, size, 6, char('a' + i % 26));
    from_tap(ether(mac_of(dst), kHostMac, 0x0800) + packet);
    (p3_turn ? to_p3 : to_p2).push_back("\x80" + packet);
  }
  s->on_frames_end();
  for (size_t i = 0; i < to_p2.size(); ++i) ASSERT_EQ(p2.open(p2.recv()), to_p2[i]) << i;
  for (size_t i = 0; i < to_p3.size(); ++i) ASSERT_EQ(p3.open(p3.recv()), to_p3[i]) << i;
  EXPECT_EQ(p2.recv(0), "");
  EXPECT_EQ(p3.recv(0), "");
  EXPECT_EQ(s->find_tunnel(kP2)->tx_count, to_p2.size());
  EXPECT_EQ(s->find_tunnel(kP3)->tx_count, to_p3.size());
  if (s->udp_gso) {
    EXPECT_GE(s->udp_gso_sends, 5u);
  }
}

// A kernel that refuses the segmented send (here: a socket told to send
// without UDP checksums, with which segmentation cannot work) makes the
// session say so once and send datagram by datagram from then on; nothing
// is lost or sent twice.
TEST_F(TunnelTest, ARefusedSegmentedSendGoesAgainDatagramByDatagram) {
  login_with_peers();
  if (!s->udp_gso) GTEST_SKIP() << "this kernel has no UDP segmentation offload";
  int on = 1;
  ASSERT_EQ(setsockopt(s->udp_sock.fd, SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
  std::vector<std::string> sent;
  for (int round = 0; round < 2; ++round) {
    s->on_frames_begin();
    for (int i = 0; i < 8; ++i) {
      const std::string packet = ip4_packet(kSelf, kP2, 600, 1, char('A' + round * 8 + i));
      from_tap(ether(mac_of(kP2), kHostMac, 0x0800) + packet);
      sent.push_back("\x80" + packet);
    }
    s->on_frames_end();
  }
  for (size_t i = 0; i < sent.size(); ++i)
    ASSERT_EQ(p2.open(p2.recv()), sent[i]) << i << "\n" << logged_text();
  EXPECT_EQ(p2.recv(0), "");
  EXPECT_EQ(s->find_tunnel(kP2)->tx_count, sent.size());
  EXPECT_FALSE(s->udp_gso);
  EXPECT_EQ(lines_with("udp: segmentation offload refused").size(), 1u) << logged_text();
}

// Datagrams that the kernel hands up coalesced (same size, the last one
// shorter) are split again and handled one by one: every packet reaches
// the tap once, in order, and the replay window sees every number.
TEST_F(TunnelTest, ACoalescedReadIsSplitIntoItsDatagrams) {
  login_with_peers();
  std::vector<std::string> packets, datagrams;
  for (int i = 0; i < 12; ++i) {
    packets.push_back(ip4_packet(kP2, kSelf, i == 11 ? 100 : 1200, 17, char('a' + i)));
    datagrams.push_back(p2.datagram("\x80" + packets.back()));
  }
  // One message, cut by the sending kernel into the datagrams, which may
  // reach us as one read.
  std::vector<iovec> iov;
  for (std::string &d : datagrams) iov.push_back({&d[0], d.size()});
  alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(uint16_t))] = {};
  msghdr m{};
  m.msg_name = &session_udp;
  m.msg_namelen = sizeof session_udp;
  m.msg_iov = iov.data();
  m.msg_iovlen = iov.size();
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  cmsghdr *c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = IPPROTO_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const uint16_t segment = uint16_t(datagrams[0].size());
  memcpy(CMSG_DATA(c), &segment, sizeof segment);
  if (sendmsg(p2.fd, &m, 0) < 0) {
    // No segmentation here: the datagrams go one by one.
    for (const std::string &d : datagrams) p2.send_raw(d, session_udp);
  }
  ASSERT_TRUE(tap_frames(packets.size())) << tap->written.size();
  for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(tap->written[i].substr(14), packets[i]) << i;
  EXPECT_EQ(s->find_tunnel(kP2)->rx_count, packets.size());
  if (s->udp_gro) {
    EXPECT_GE(s->udp_gro_reads, 1u) << "the kernel coalesced nothing";
  }
  // Sent again, all of them are replays.
  for (const std::string &d : datagrams) p2.send_raw(d, session_udp);
  ASSERT_TRUE(run_until([&] { return s->find_tunnel(kP2)->replayed == datagrams.size(); }));
  EXPECT_EQ(tap->written.size(), packets.size());
}

}  // namespace
