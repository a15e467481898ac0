// Cutting large TCP segments and joining small ones: the packets must be
// the ones the kernel's own segmentation makes (checked by hand here, and
// against the kernel itself where we may create tap interfaces), and what
// may not be joined passes untouched.
#include "netlib/tcp_offload.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "process.h"
#include "tcp_frames.h"

namespace {

using namespace tcpf;

const uint8_t ACK = 0x10, PSH = 0x08, FIN = 0x01, CWR = 0x80;
const std::string kTimestamps("\x01\x01\x08\x0a\x00\x00\x10\x00\x00\x00\x20\x00", 12);

std::vector<std::string> cut(const std::string &frame, size_t mss) {
  tso_plan plan;
  std::vector<std::string> out;
  if (!tso_prepare(reinterpret_cast<const uint8_t *>(frame.data()), frame.size(), mss, plan))
    return out;
  std::vector<uint8_t> buf(plan.payload_off + mss);
  for (unsigned i = 0; i < plan.count; ++i) {
    size_t n = tso_build(reinterpret_cast<const uint8_t *>(frame.data()), plan, i, buf.data());
    out.emplace_back(reinterpret_cast<char *>(buf.data()), n);
  }
  return out;
}

// Joins `frames` as far as they go; what the coalescer finishes with, its
// header first, and how many were taken.
std::string join(const std::vector<std::string> &frames, size_t &taken) {
  static std::vector<uint8_t> area(VNET_HDR_SIZE + 65550);
  tcp_coalescer c;
  c.buf = area.data();
  c.capacity = area.size() - VNET_HDR_SIZE;
  taken = 0;
  for (const std::string &f : frames) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(f.data());
    if (c.len == 0 && coalesce_candidate(p, f.size())) {
      coalesce_start(c, p, f.size());
    } else if (!coalesce_append(c, p, f.size())) {
      break;
    }
    ++taken;
  }
  if (c.len == 0) return "";
  size_t n = coalesce_finish(c);
  return std::string(reinterpret_cast<char *>(area.data()), n);
}

segment_fields big_segment() {
  segment_fields s;
  s.seq = 0xfffff000;  // runs across 2^32
  s.id = 0xfffe;
  s.options = kTimestamps;
  s.payload = pattern(5000);
  s.flags = ACK | PSH | FIN | CWR;
  return s;
}

TEST(TcpOffload, ALargeSegmentIsCutAsTheStackWould) {
  const segment_fields s = big_segment();
  const std::string frame = tcp_frame(s);
  const std::vector<std::string> packets = cut(frame, 1388);
  ASSERT_EQ(packets.size(), 4u);
  std::string payload;
  for (size_t i = 0; i < packets.size(); ++i) {
    const std::string &p = packets[i];
    const size_t chunk = i < 3 ? 1388 : 5000 - 3 * 1388;
    ASSERT_EQ(p.size(), 14 + 20 + 32 + chunk) << i;
    EXPECT_EQ(get16(p, 16), 20 + 32 + chunk);
    EXPECT_EQ(get16(p, 18), uint16_t(0xfffe + i)) << "identifier " << i;
    EXPECT_TRUE(ip_checksum_ok(p)) << i;
    EXPECT_TRUE(tcp_checksum_ok(p)) << i;
    EXPECT_EQ(get32(p, 38), uint32_t(0xfffff000u + 1388 * i)) << "sequence " << i;
    const uint8_t flags = uint8_t(p[47]);
    EXPECT_EQ(flags, i == 0 ? (ACK | CWR) : i == 3 ? (ACK | PSH | FIN) : ACK) << i;
    payload += p.substr(66);
  }
  EXPECT_EQ(payload, s.payload);
  // A segment no larger than the size stays one packet, unchanged.
  EXPECT_EQ(cut(frame, 5000), std::vector<std::string>{frame});
}

TEST(TcpOffload, WhatMayNotBeJoinedPassesAlone) {
  segment_fields s = big_segment();
  s.flags = ACK;
  const std::vector<std::string> packets = cut(tcp_frame(s), 1000);
  ASSERT_EQ(packets.size(), 5u);
  size_t taken;
  auto variant = [&](size_t at, const std::function<void(std::string &)> &change) {
    std::vector<std::string> v = packets;
    change(v[at]);
    join(v, taken);
    return taken;
  };
  auto refix = [](std::string &p) {  // valid checksums again after a change
    set16(p, 24, 0);
    set16(p, 24, uint16_t(~sum16(p, 14, 34)));
    set16(p, 50, 0);
    set16(p, 50, uint16_t(~sum16(p, 34, p.size(), sum16(p, 26, 34) + 6 + uint32_t(p.size() - 34))));
  };
  EXPECT_EQ(variant(2, [](std::string &p) { p[70] ^= 1; }), 2u) << "bad checksum";
  EXPECT_EQ(variant(2, [&](std::string &p) { set32(p, 38, get32(p, 38) + 1); refix(p); }), 2u)
      << "out of sequence";
  EXPECT_EQ(variant(3, [&](std::string &p) { p[35] = 1; refix(p); }), 3u) << "another port";
  EXPECT_EQ(variant(2, [&](std::string &p) { p[58] ^= 1; refix(p); }), 2u) << "other options";
  // A shorter segment or a PSH ends the frame, and is its last.
  EXPECT_EQ(variant(1, [&](std::string &p) { p.resize(p.size() - 10); set16(p, 16, get16(p, 16) - 10); refix(p); }), 2u);
  EXPECT_EQ(variant(1, [&](std::string &p) { p[47] = char(ACK | PSH); refix(p); }), 2u);

  // Fragments, other protocols, a bare ACK: neither cut nor joined.
  std::string fragment = packets[0];
  set16(fragment, 20, 0x2000);  // more fragments
  refix(fragment);
  std::string udp = packets[0];
  udp[23] = 17;
  std::string bare = tcp_frame(segment_fields());
  for (const std::string &f : {fragment, udp, bare})
    EXPECT_FALSE(coalesce_candidate(reinterpret_cast<const uint8_t *>(f.data()), f.size()));
  EXPECT_TRUE(cut(fragment, 100).empty());
  EXPECT_TRUE(cut(udp, 100).empty());
}

// ---- Against the kernel ----
//
// In a network namespace of the test's own, with forwarding on:
//
//   frames we write --> tap_in (virtio-net header)   10.1.0.1/24
//                         | forwarding: the kernel cuts large segments
//                         v
//   frames we read  <-- tap_out (no offloads)         10.2.0.1/24 -> 10.2.0.2
//
// A large segment written into tap_in leaves tap_out in the kernel's own
// packets, which must be ours byte for byte (but the TTL and the IPv4
// checksum, which forwarding changes).
class TcpOffloadKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a namespace and tap interfaces";
    if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun here";
    ip = find_program("ip");
    if (ip.empty()) GTEST_SKIP() << "needs ip (iproute2)";
    // The namespace has no name and goes with this process.
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
    in = open_tap("qoin" + std::to_string(getpid() % 100000), true);
    out = open_tap("qoout" + std::to_string(getpid() % 100000), false);
    ASSERT_TRUE(in >= 0 && out >= 0);
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"addr", "add", "10.1.0.1/24", "dev", in_name},
             {"addr", "add", "10.2.0.1/24", "dev", out_name},
             {"link", "set", in_name, "up"},
             {"link", "set", out_name, "up"},
             {"neigh", "replace", "10.2.0.2", "lladdr", "02:00:00:00:00:22", "dev", out_name,
              "nud", "permanent"}})
      ASSERT_EQ(run_process(ip, args).status, 0) << args[0] << " " << args[1];
    int fd = open("/proc/sys/net/ipv4/ip_forward", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "1", 1), 1);
    close(fd);
    ifreq ifr{};
    strncpy(ifr.ifr_name, in_name.c_str(), IFNAMSIZ - 1);
    ASSERT_EQ(ioctl(in, SIOCGIFHWADDR, &ifr), 0);
    in_mac.assign(ifr.ifr_hwaddr.sa_data, 6);
  }
  void TearDown() override {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
  }
  int open_tap(const std::string &name, bool vnet) {
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    ifreq ifr{};
    ifr.ifr_flags = short(IFF_TAP | IFF_NO_PI | (vnet ? IFF_VNET_HDR : 0));
    strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) != 0) return -1;
    (vnet ? in_name : out_name) = ifr.ifr_name;
    return fd;
  }
  // TCP/IPv4 packets read from tap_out until `count` came or a deadline.
  std::vector<std::string> forwarded(size_t count) {
    std::vector<std::string> got;
    char buf[2048];
    while (got.size() < count) {
      pollfd p = {out, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) break;
      ssize_t n = read(out, buf, sizeof buf);
      if (n > 34 && buf[12] == 0x08 && buf[13] == 0 && buf[23] == 6)
        got.emplace_back(buf, size_t(n));
    }
    return got;
  }
  // Our packets as forwarding leaves them.
  static std::string as_forwarded(std::string p) {
    p[22] = char(p[22] - 1);
    set16(p, 24, 0);
    set16(p, 24, uint16_t(~sum16(p, 14, 34)));
    return p.substr(14);
  }
  void write_with_header(const vnet_hdr &h, const std::string &frame) {
    std::string bytes(VNET_HDR_SIZE, '\0');
    vnet_hdr_write(h, reinterpret_cast<uint8_t *>(&bytes[0]));
    bytes += frame;
    ASSERT_EQ(write(in, bytes.data(), bytes.size()), ssize_t(bytes.size())) << strerror(errno);
  }

  std::string ip, in_name, out_name, in_mac;
  int in = -1, out = -1;
};

TEST_F(TcpOffloadKernel, TheKernelCutsALargeSegmentIntoOurPackets) {
  segment_fields s = big_segment();
  s.src = 0x0a010002;  // 10.1.0.2, behind tap_in
  s.dst_mac = in_mac;
  std::string frame = tcp_frame(s);
  const std::vector<std::string> ours = cut(frame, 1388);
  // As the stack hands it to a device: the TCP checksum left partial.
  set16(frame, 50, uint16_t(sum16(frame, 26, 34) + 6 + uint32_t(frame.size() - 34)));
  vnet_hdr h;
  h.flags = VNET_F_NEEDS_CSUM;
  h.gso_type = VNET_GSO_TCPV4 | VNET_GSO_ECN;  // CWR is set
  h.hdr_len = 66;
  h.gso_size = 1388;
  h.csum_start = 34;
  h.csum_offset = 16;
  write_with_header(h, frame);
  const std::vector<std::string> theirs = forwarded(ours.size());
  ASSERT_EQ(theirs.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i)
    EXPECT_EQ(theirs[i].substr(14), as_forwarded(ours[i])) << "packet " << i;
}

TEST_F(TcpOffloadKernel, TheKernelTakesOurJoinedFrameAsTheSegmentsItWasMadeOf) {
  segment_fields s = big_segment();
  s.src = 0x0a010002;
  s.dst_mac = in_mac;
  s.flags = ACK | PSH;
  const std::vector<std::string> packets = cut(tcp_frame(s), 1388);
  size_t taken;
  const std::string joined = join(packets, taken);
  ASSERT_EQ(taken, packets.size());
  ASSERT_EQ(write(in, joined.data(), joined.size()), ssize_t(joined.size())) << strerror(errno);
  const std::vector<std::string> theirs = forwarded(packets.size());
  ASSERT_EQ(theirs.size(), packets.size());
  for (size_t i = 0; i < packets.size(); ++i)
    EXPECT_EQ(theirs[i].substr(14), as_forwarded(packets[i])) << "packet " << i;
}

}  // namespace
