// nethdr_parse against hand-built frames: every kind, and every way a frame
// can be cut short or carry a header that fails its checks.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "netlib/nethdr.h"

namespace {

// An Ethernet header to 00:ff:05:01:02:03 from 02:00:00:00:00:01.
std::string eth(uint16_t type) {
  std::string f("\x00\xff\x05\x01\x02\x03\x02\x00\x00\x00\x00\x01", 12);
  f += char(type >> 8);
  f += char(type & 0xff);
  return f;
}

void put16(std::string &s, size_t at, uint16_t v) {
  s[at] = char(v >> 8);
  s[at + 1] = char(v & 0xff);
}

// An IPv4 header of `ihl` bytes (options zero) with total length `tl`,
// protocol `proto`, from 5.1.2.4 to 5.1.2.3.
std::string ip4(size_t ihl, uint16_t tl, uint8_t proto, uint16_t frag = 0) {
  std::string h(ihl, '\0');
  h[0] = char(0x40 | (ihl / 4));
  put16(h, 2, tl);
  put16(h, 6, frag);
  h[8] = 64;
  h[9] = char(proto);
  h.replace(12, 4, "\x05\x01\x02\x04", 4);
  h.replace(16, 4, "\x05\x01\x02\x03", 4);
  return h;
}

std::string udp(uint16_t ul) {
  std::string h("\x30\x39\x00\x35\x00\x00\x00\x00", 8);
  put16(h, 4, ul);
  return h;
}

std::string tcp(size_t header_len) {
  std::string h(header_len, '\0');
  h[12] = char((header_len / 4) << 4);
  return h;
}

struct parsed {
  std::string frame;
  nethdr nh;
  explicit parsed(std::string f) : frame(std::move(f)) {
    nethdr_parse(reinterpret_cast<uint8_t *>(&frame[0]), frame.size(), &nh);
  }
  uint8_t *at(size_t offset) { return reinterpret_cast<uint8_t *>(&frame[0]) + offset; }
};

class NethdrTest : public LoggedTest {};

TEST_F(NethdrTest, ShorterThanAnEthernetHeader) {
  for (size_t len : {0, 1, 13}) {
    parsed p(std::string(len, '\x08'));
    EXPECT_EQ(p.nh.kind, NH_incomplete) << len;
    EXPECT_EQ(p.nh.start, p.at(0));
    EXPECT_EQ(p.nh.end, p.at(len));
    EXPECT_EQ(p.nh.limit, p.at(len));
    EXPECT_EQ(p.nh.parse_end, p.at(0));
    EXPECT_EQ(p.nh.link_hdr, nullptr);
  }
}

TEST_F(NethdrTest, OtherEthernetTypesAreCompleteFramesOfKindOne) {
  parsed ipv6(eth(0x86dd) + std::string(40, '\0'));
  EXPECT_EQ(ipv6.nh.kind, uint32_t(NH_ether));
  EXPECT_EQ(ipv6.nh.link_hdr, ipv6.at(0));
  EXPECT_EQ(ipv6.nh.link_payload, ipv6.at(14));
  EXPECT_EQ(ipv6.nh.parse_end, ipv6.at(14));
  EXPECT_EQ(ipv6.nh.net_hdr, nullptr);
  parsed bare(eth(0x88cc));
  EXPECT_EQ(bare.nh.kind, uint32_t(NH_ether));
}

TEST_F(NethdrTest, ArpNeedsTwentyEightBytes) {
  parsed shorter(eth(0x0806) + std::string(27, '\0'));
  EXPECT_EQ(shorter.nh.kind, NH_ether | NH_incomplete);
  EXPECT_EQ(shorter.nh.net_hdr, nullptr);
  EXPECT_EQ(shorter.nh.parse_end, shorter.at(14));

  parsed whole(eth(0x0806) + std::string(28, '\0'));
  EXPECT_EQ(whole.nh.kind, uint32_t(NH_arp));
  EXPECT_EQ(whole.nh.net_hdr, whole.at(14));
  EXPECT_EQ(whole.nh.net_payload, whole.at(42));
  EXPECT_EQ(whole.nh.parse_end, whole.at(42));

  parsed padded(eth(0x0806) + std::string(46, '\0'));
  EXPECT_EQ(padded.nh.kind, uint32_t(NH_arp));
  EXPECT_EQ(padded.nh.end, padded.at(60));
}

TEST_F(NethdrTest, Ip4HeaderThatCannotBeRead) {
  // Fewer than 20 bytes after the Ethernet header.
  parsed cut(eth(0x0800) + ip4(20, 20, 1).substr(0, 19));
  EXPECT_EQ(cut.nh.kind, NH_ether | NH_incomplete);
  EXPECT_EQ(cut.nh.net_hdr, nullptr);
  // A header length under 20.
  std::string small = ip4(20, 20, 1);
  small[0] = 0x44;
  parsed under(eth(0x0800) + small);
  EXPECT_EQ(under.nh.kind, NH_ether | NH_incomplete);
  // A header length beyond the frame.
  std::string big = ip4(20, 40, 1) + std::string(20, '\0');
  big[0] = 0x4f;  // 60 bytes of header, 40 present
  parsed beyond(eth(0x0800) + big);
  EXPECT_EQ(beyond.nh.kind, NH_ether | NH_incomplete);
  EXPECT_EQ(beyond.nh.parse_end, beyond.at(14));
}

TEST_F(NethdrTest, Ip4TotalLengthMustFit) {
  parsed below_header(eth(0x0800) + ip4(20, 19, 1));
  EXPECT_EQ(below_header.nh.kind, NH_ip4 | NH_incomplete);
  EXPECT_EQ(below_header.nh.net_hdr, below_header.at(14));
  EXPECT_EQ(below_header.nh.net_payload, below_header.at(34));
  EXPECT_EQ(below_header.nh.parse_end, below_header.at(34));

  parsed cut(eth(0x0800) + ip4(20, 60, 1) + std::string(39, '\0'));
  EXPECT_EQ(cut.nh.kind, NH_ip4 | NH_incomplete);
  EXPECT_EQ(cut.nh.data, nullptr);
}

TEST_F(NethdrTest, Ip4OtherProtocolCarriesItsPayloadAsData) {
  // An ICMP echo of 28 bytes in a frame padded to the Ethernet minimum.
  parsed p(eth(0x0800) + ip4(20, 28, 1) + std::string(8, '\x11') + std::string(18, '\0'));
  EXPECT_EQ(p.nh.kind, uint32_t(NH_ip4));
  EXPECT_TRUE(nh_is_ip4(p.nh.kind));
  EXPECT_EQ(p.nh.net_payload, p.at(34));
  EXPECT_EQ(p.nh.data, p.at(34));
  EXPECT_EQ(p.nh.data_end, p.at(42));
  EXPECT_EQ(p.nh.parse_end, p.at(42));
  EXPECT_EQ(p.nh.end, p.at(60));
  EXPECT_EQ(p.nh.trans_hdr, nullptr);

  // Options move the payload.
  parsed opts(eth(0x0800) + ip4(24, 32, 47) + std::string(8, '\0'));
  EXPECT_EQ(opts.nh.kind, uint32_t(NH_ip4));
  EXPECT_EQ(opts.nh.data, opts.at(38));
  EXPECT_EQ(opts.nh.data_end, opts.at(46));
}

TEST_F(NethdrTest, FragmentsAreCompleteWhateverTheirProtocol) {
  // More fragments, a UDP first piece whose UDP length covers more than it.
  parsed first(eth(0x0800) + ip4(20, 36, 17, 0x2000) + udp(100) + std::string(8, '\0'));
  EXPECT_EQ(first.nh.kind, uint32_t(NH_ip4_frag));
  EXPECT_EQ(first.nh.trans_hdr, first.at(34));
  EXPECT_EQ(first.nh.trans_payload, first.at(50));
  EXPECT_EQ(first.nh.parse_end, first.at(50));
  EXPECT_TRUE(nh_is_ip4(first.nh.kind));
  // A later piece: offset non-zero, too short for any header.
  parsed later(eth(0x0800) + ip4(20, 23, 6, 0x00b9) + std::string(3, '\0'));
  EXPECT_EQ(later.nh.kind, uint32_t(NH_ip4_frag));
}

TEST_F(NethdrTest, Udp) {
  parsed ok(eth(0x0800) + ip4(20, 33, 17) + udp(13) + "hello");
  EXPECT_EQ(ok.nh.kind, uint32_t(NH_ip4_udp));
  EXPECT_EQ(ok.nh.trans_hdr, ok.at(34));
  EXPECT_EQ(ok.nh.trans_payload, ok.at(42));
  EXPECT_EQ(ok.nh.data, ok.at(42));
  EXPECT_EQ(ok.nh.data_end, ok.at(47));
  EXPECT_EQ(ok.nh.parse_end, ok.at(47));

  parsed empty(eth(0x0800) + ip4(20, 28, 17) + udp(8) + std::string(18, '\0'));
  EXPECT_EQ(empty.nh.kind, uint32_t(NH_ip4_udp));
  EXPECT_EQ(empty.nh.data, empty.nh.data_end);

  // No room for the UDP header inside the packet.
  parsed no_header(eth(0x0800) + ip4(20, 27, 17) + std::string(7, '\0'));
  EXPECT_EQ(no_header.nh.kind, NH_ip4 | NH_incomplete);
  EXPECT_EQ(no_header.nh.trans_hdr, nullptr);

  // The UDP length disagrees with the IPv4 total length, both ways.
  parsed longer(eth(0x0800) + ip4(20, 33, 17) + udp(14) + "hello");
  EXPECT_EQ(longer.nh.kind, NH_ip4_udp | NH_incomplete);
  EXPECT_EQ(longer.nh.trans_payload, longer.at(42));
  EXPECT_EQ(longer.nh.data, nullptr);
  EXPECT_EQ(longer.nh.parse_end, longer.at(42));
  parsed shorter(eth(0x0800) + ip4(20, 33, 17) + udp(12) + "hello");
  EXPECT_EQ(shorter.nh.kind, NH_ip4_udp | NH_incomplete);
  parsed under(eth(0x0800) + ip4(20, 33, 17) + udp(7) + "hello");
  EXPECT_EQ(under.nh.kind, NH_ip4_udp | NH_incomplete);
  EXPECT_FALSE(nh_is_ip4(under.nh.kind));
}

TEST_F(NethdrTest, Tcp) {
  parsed ok(eth(0x0800) + ip4(20, 48, 6) + tcp(24) + "data");
  EXPECT_EQ(ok.nh.kind, uint32_t(NH_ip4_tcp));
  EXPECT_EQ(ok.nh.trans_hdr, ok.at(34));
  EXPECT_EQ(ok.nh.trans_payload, ok.at(58));
  EXPECT_EQ(ok.nh.data, ok.at(58));
  EXPECT_EQ(ok.nh.data_end, ok.at(62));
  EXPECT_EQ(ok.nh.parse_end, ok.at(62));

  // Fewer than 20 bytes of TCP header in the packet.
  parsed no_header(eth(0x0800) + ip4(20, 39, 6) + tcp(20).substr(0, 19));
  EXPECT_EQ(no_header.nh.kind, NH_ip4 | NH_incomplete);
  // A data offset under 20 bytes.
  std::string low = tcp(20);
  low[12] = 0x40;
  parsed under(eth(0x0800) + ip4(20, 40, 6) + low);
  EXPECT_EQ(under.nh.kind, NH_ip4 | NH_incomplete);
  EXPECT_EQ(under.nh.trans_hdr, nullptr);
  // A data offset beyond the packet.
  std::string high = tcp(20);
  high[12] = char(0xf0);
  parsed beyond(eth(0x0800) + ip4(20, 40, 6) + high + std::string(40, '\0'));
  EXPECT_EQ(beyond.nh.kind, NH_ip4 | NH_incomplete);
}

TEST_F(NethdrTest, NullArgumentsAreLogged) {
  nethdr nh;
  nethdr_parse(nullptr, 10, &nh);
  uint8_t byte = 0;
  nethdr_parse(&byte, 1, nullptr);
  int asserts = 0;
  for (auto &line : lines()) asserts += line.rfind("assert pkt && nh in ", 0) == 0;
  EXPECT_EQ(asserts, 2) << logged_text();
  EXPECT_EQ(nh.start, nullptr);
}

}  // namespace
