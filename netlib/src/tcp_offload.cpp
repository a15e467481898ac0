// Cutting and joining TCP/IPv4 segments for a tap with offloads. Frames
// start with their Ethernet header; IPv4 without options in joined frames.
// Every field is read and written big-endian through the helpers below.
#include "netlib/tcp_offload.h"

#include <algorithm>
#include <cstring>

namespace {

const size_t ETH = 14;
const uint8_t TCP_FIN = 0x01, TCP_PSH = 0x08, TCP_ACK = 0x10, TCP_CWR = 0x80;

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put16(uint8_t *p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
void put32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// The sum of the IPv4 pseudo-header of a TCP segment of `tcp_len` bytes.
uint64_t pseudo_sum(const uint8_t *ip, size_t tcp_len) {
  return checksum_add(0, ip + 12, 8) + 6 + tcp_len;
}

void set_ip_checksum(uint8_t *ip, size_t ip_len) {
  put16(ip + 10, 0);
  put16(ip + 10, static_cast<uint16_t>(~fold_checksum(checksum_add(0, ip, ip_len))));
}

// Where the TCP header and payload of an unfragmented TCP/IPv4 frame lie;
// false when it is none, or is cut short. `ip_total` is the IPv4 length.
bool tcp_layout(const uint8_t *frame, size_t len, size_t &tcp_off, size_t &payload_off,
                size_t &ip_total) {
  if (len < ETH + 20 || be16(frame + 12) != 0x0800) return false;
  const uint8_t *ip = frame + ETH;
  const size_t ip_len = size_t(ip[0] & 0x0f) * 4;
  if ((ip[0] >> 4) != 4 || ip_len < 20 || ip[9] != 6) return false;
  if (be16(ip + 6) & 0x3fff) return false;  // a fragment (MF, or an offset)
  ip_total = be16(ip + 2);
  if (ip_total > len - ETH || ip_total < ip_len + 20) return false;
  const size_t tcp_len = size_t(ip[ip_len + 12] >> 4) * 4;
  if (tcp_len < 20 || ip_len + tcp_len > ip_total) return false;
  tcp_off = ETH + ip_len;
  payload_off = tcp_off + tcp_len;
  return true;
}

}  // namespace

void vnet_hdr_read(const uint8_t *in, vnet_hdr &h) {
  h.flags = in[0];
  h.gso_type = in[1];
  memcpy(&h.hdr_len, in + 2, 2);
  memcpy(&h.gso_size, in + 4, 2);
  memcpy(&h.csum_start, in + 6, 2);
  memcpy(&h.csum_offset, in + 8, 2);
}

void vnet_hdr_write(const vnet_hdr &h, uint8_t *out) {
  out[0] = h.flags;
  out[1] = h.gso_type;
  memcpy(out + 2, &h.hdr_len, 2);
  memcpy(out + 4, &h.gso_size, 2);
  memcpy(out + 6, &h.csum_start, 2);
  memcpy(out + 8, &h.csum_offset, 2);
}

uint64_t checksum_add(uint64_t sum, const uint8_t *p, size_t len) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // The sum does not care for byte order: words are added as they lie in
  // memory, 32 bits at a time into 64 (no carry is lost below 4 GiB), and
  // the folded result is turned big-endian once.
  uint64_t native = 0;
  for (; len >= 8; p += 8, len -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    native += (w & 0xffffffff) + (w >> 32);
  }
  if (len >= 4) {
    uint32_t w;
    memcpy(&w, p, 4);
    native += w;
    p += 4;
    len -= 4;
  }
  if (len >= 2) {
    uint16_t w;
    memcpy(&w, p, 2);
    native += w;
    p += 2;
    len -= 2;
  }
  if (len) native += p[0];
  const uint16_t folded = fold_checksum(native);
  return sum + static_cast<uint16_t>(folded << 8 | folded >> 8);
#else
  while (len >= 4) {
    sum += be32(p);
    p += 4;
    len -= 4;
  }
  if (len >= 2) {
    sum += be16(p);
    p += 2;
    len -= 2;
  }
  if (len) sum += uint32_t(p[0]) << 8;
  return sum;
#endif
}

uint16_t fold_checksum(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

bool csum_complete(uint8_t *frame, size_t len, size_t start, size_t offset) {
  if (start > len || offset + 2 > len - start) return false;
  uint16_t v = static_cast<uint16_t>(~fold_checksum(checksum_add(0, frame + start, len - start)));
  // UDP (its field is 6 bytes in) sends a computed 0 as all ones: 0 there
  // means no checksum at all.
  if (v == 0 && offset == 6) v = 0xffff;
  put16(frame + start + offset, v);
  return true;
}

bool tso_prepare(const uint8_t *frame, size_t len, size_t mss, tso_plan &plan) {
  size_t ip_total;
  if (mss == 0 || !tcp_layout(frame, len, plan.tcp_off, plan.payload_off, ip_total)) return false;
  plan.payload_len = ETH + ip_total - plan.payload_off;
  plan.mss = mss;
  plan.count = plan.payload_len == 0 ? 1 : unsigned((plan.payload_len + mss - 1) / mss);
  return true;
}

size_t tso_build(const uint8_t *frame, const tso_plan &plan, unsigned index, uint8_t *out) {
  const size_t from = size_t(index) * plan.mss;
  const size_t chunk = from < plan.payload_len ? std::min(plan.mss, plan.payload_len - from) : 0;
  memcpy(out, frame, plan.payload_off);
  memcpy(out + plan.payload_off, frame + plan.payload_off + from, chunk);
  uint8_t *ip = out + ETH;
  const size_t ip_len = plan.tcp_off - ETH;
  const size_t tcp_len = plan.payload_off - plan.tcp_off + chunk;
  put16(ip + 2, static_cast<uint16_t>(ip_len + tcp_len));
  put16(ip + 4, static_cast<uint16_t>(be16(frame + ETH + 4) + index));
  set_ip_checksum(ip, ip_len);

  uint8_t *tcp = out + plan.tcp_off;
  put32(tcp + 4, be32(frame + plan.tcp_off + 4) + uint32_t(from));
  uint8_t flags = tcp[13];
  if (index + 1 < plan.count) flags &= uint8_t(~(TCP_FIN | TCP_PSH));
  if (index > 0) flags &= uint8_t(~TCP_CWR);
  tcp[13] = flags;
  put16(tcp + 16, 0);
  const uint64_t sum = checksum_add(pseudo_sum(ip, tcp_len), tcp, tcp_len);
  put16(tcp + 16, static_cast<uint16_t>(~fold_checksum(sum)));
  return plan.payload_off + chunk;
}

bool coalesce_candidate(const uint8_t *frame, size_t len) {
  size_t tcp_off, payload_off, ip_total;
  if (!tcp_layout(frame, len, tcp_off, payload_off, ip_total)) return false;
  const uint8_t *ip = frame + ETH;
  // Options in the IPv4 header, Ethernet padding or a bare ACK: alone.
  if (tcp_off != ETH + 20 || ETH + ip_total != len || payload_off == len) return false;
  const uint8_t flags = frame[tcp_off + 13];
  if (!(flags & TCP_ACK) || (flags & ~(TCP_ACK | TCP_PSH))) return false;
  // A segment that fails its checks must still fail them at the receiver,
  // not vanish into a joined frame whose checksum we compute afresh.
  if (fold_checksum(checksum_add(0, ip, 20)) != 0xffff) return false;
  const size_t tcp_len = len - tcp_off;
  return fold_checksum(checksum_add(pseudo_sum(ip, tcp_len), frame + tcp_off, tcp_len)) == 0xffff;
}

void coalesce_start(tcp_coalescer &c, const uint8_t *frame, size_t len) {
  memcpy(c.buf + VNET_HDR_SIZE, frame, len);
  c.len = len;
  c.segments = 1;
  c.tcp_off = ETH + 20;
  c.payload_off = c.tcp_off + size_t(frame[c.tcp_off + 12] >> 4) * 4;
  c.mss = len - c.payload_off;
  c.next_seq = be32(frame + c.tcp_off + 4) + uint32_t(c.mss);
  c.next_id = static_cast<uint16_t>(be16(frame + ETH + 4) + 1);
  c.ended = (frame[c.tcp_off + 13] & TCP_PSH) != 0;
}

bool coalesce_append(tcp_coalescer &c, const uint8_t *frame, size_t len) {
  if (c.len == 0 || c.ended || len <= c.payload_off) return false;
  const uint8_t *held = c.buf + VNET_HDR_SIZE;
  const uint8_t *ip = frame + ETH, *held_ip = held + ETH;
  const uint8_t *tcp = frame + c.tcp_off, *held_tcp = held + c.tcp_off;
  const size_t payload = len - c.payload_off;
  // Same link, flow and IPv4 header (but length, identifier, checksum).
  if (memcmp(frame, held, ETH) != 0 || ip[0] != held_ip[0] || ip[1] != held_ip[1] ||
      ((ip[6] ^ held_ip[6]) & 0x40) || ip[8] != held_ip[8] || ip[9] != held_ip[9] ||
      memcmp(ip + 12, held_ip + 12, 8) != 0)
    return false;
  const bool dont_fragment = ip[6] & 0x40;
  if (!dont_fragment && be16(ip + 4) != c.next_id) return false;
  // The next in sequence, with the same acknowledgement, window, options.
  if (memcmp(tcp, held_tcp, 4) != 0 || be32(tcp + 4) != c.next_seq ||
      memcmp(tcp + 8, held_tcp + 8, 5) != 0 || memcmp(tcp + 14, held_tcp + 14, 2) != 0 ||
      memcmp(tcp + 18, held_tcp + 18, c.payload_off - c.tcp_off - 18) != 0)
    return false;
  if (payload > c.mss || c.len + payload > c.capacity || c.len + payload - ETH > 65535) return false;
  if (!coalesce_candidate(frame, len)) return false;
  memcpy(c.buf + VNET_HDR_SIZE + c.len, frame + c.payload_off, payload);
  c.len += payload;
  c.segments++;
  c.next_seq += uint32_t(payload);
  c.next_id++;
  if (tcp[13] & TCP_PSH) c.buf[VNET_HDR_SIZE + c.tcp_off + 13] |= TCP_PSH;
  c.ended = payload < c.mss || (tcp[13] & TCP_PSH);
  return true;
}

size_t coalesce_finish(tcp_coalescer &c) {
  vnet_hdr h;
  uint8_t *frame = c.buf + VNET_HDR_SIZE;
  if (c.segments > 1) {
    uint8_t *ip = frame + ETH;
    put16(ip + 2, static_cast<uint16_t>(c.len - ETH));
    set_ip_checksum(ip, 20);
    // Partial, as the stack leaves it for the device: the pseudo-header's
    // sum in the field, the rest to add from csum_start on.
    put16(frame + c.tcp_off + 16, fold_checksum(pseudo_sum(ip, c.len - c.tcp_off)));
    h.flags = VNET_F_NEEDS_CSUM;
    h.gso_type = VNET_GSO_TCPV4;
    h.hdr_len = static_cast<uint16_t>(c.payload_off);
    h.gso_size = static_cast<uint16_t>(c.mss);
    h.csum_start = static_cast<uint16_t>(c.tcp_off);
    h.csum_offset = 16;
  }
  vnet_hdr_write(h, c.buf);
  const size_t total = VNET_HDR_SIZE + c.len;
  c.len = 0;
  c.segments = 0;
  c.ended = false;
  return total;
}
