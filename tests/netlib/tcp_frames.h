// TCP/IPv4 frames built by hand for the offload tests, and checks written
// independently of the code under test (plain 16-bit sums).
#pragma once

#include <cstdint>
#include <string>

namespace tcpf {

inline uint16_t get16(const std::string &s, size_t at) {
  return uint16_t(uint8_t(s[at]) << 8 | uint8_t(s[at + 1]));
}
inline uint32_t get32(const std::string &s, size_t at) {
  return uint32_t(get16(s, at)) << 16 | get16(s, at + 2);
}
inline void set16(std::string &s, size_t at, uint16_t v) {
  s[at] = char(v >> 8);
  s[at + 1] = char(v);
}
inline void set32(std::string &s, size_t at, uint32_t v) {
  set16(s, at, uint16_t(v >> 16));
  set16(s, at + 2, uint16_t(v));
}

// The ones' complement sum of `s` from `from` to `to`, 16 bits at a time.
inline uint32_t sum16(const std::string &s, size_t from, size_t to, uint32_t sum = 0) {
  for (size_t i = from; i < to; i += 2)
    sum += uint32_t(uint8_t(s[i])) << 8 | (i + 1 < to ? uint8_t(s[i + 1]) : 0);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return sum;
}
// Whether the IPv4 header at 14 and the TCP checksum of the frame hold.
inline bool ip_checksum_ok(const std::string &f) {
  return sum16(f, 14, 14 + size_t(f[14] & 0x0f) * 4) == 0xffff;
}
inline bool tcp_checksum_ok(const std::string &f) {
  const size_t tcp = 14 + size_t(f[14] & 0x0f) * 4;
  const size_t end = 14 + get16(f, 16);
  uint32_t pseudo = sum16(f, 26, 34) + 6 + uint32_t(end - tcp);
  return sum16(f, tcp, end, pseudo) == 0xffff;
}

struct segment_fields {
  uint32_t src = 0x0a010002, dst = 0x0a020002;
  uint16_t sport = 40000, dport = 5201;
  uint32_t seq = 1000, ack = 77;
  uint8_t flags = 0x10;  // ACK
  uint16_t id = 0x1234;
  bool dont_fragment = true;
  uint8_t ttl = 64;
  std::string options;  // TCP options, a multiple of 4 bytes
  std::string payload;
  std::string dst_mac = std::string("\x02\x00\x00\x00\x00\x02", 6);
  std::string src_mac = std::string("\x02\x00\x00\x00\x00\x01", 6);
};

// A frame with valid checksums, as the stack would send it.
inline std::string tcp_frame(const segment_fields &s) {
  std::string f = s.dst_mac + s.src_mac + std::string("\x08\x00", 2);
  std::string ip(20, '\0'), tcp(20, '\0');
  ip[0] = 0x45;
  set16(ip, 2, uint16_t(20 + 20 + s.options.size() + s.payload.size()));
  set16(ip, 4, s.id);
  set16(ip, 6, s.dont_fragment ? 0x4000 : 0);
  ip[8] = char(s.ttl);
  ip[9] = 6;
  set32(ip, 12, s.src);
  set32(ip, 16, s.dst);
  set16(tcp, 0, s.sport);
  set16(tcp, 2, s.dport);
  set32(tcp, 4, s.seq);
  set32(tcp, 8, s.ack);
  tcp[12] = char((20 + s.options.size()) / 4 << 4);
  tcp[13] = char(s.flags);
  set16(tcp, 14, 502);
  f += ip + tcp + s.options + s.payload;
  set16(f, 24, uint16_t(~sum16(f, 14, 34)));
  const size_t end = f.size();
  set16(f, 50, uint16_t(~sum16(f, 34, end, sum16(f, 26, 34) + 6 + uint32_t(end - 34))));
  return f;
}

inline std::string pattern(size_t n, unsigned seed = 7) {
  std::string p(n, '\0');
  for (size_t i = 0; i < n; ++i) p[i] = char((i * 131 + seed) >> 3);
  return p;
}

}  // namespace tcpf
