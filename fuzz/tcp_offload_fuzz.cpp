// TCP segments from the tap (cut into packets) and from peers (joined for
// the tap). Byte 0 of the input picks the payload size of the packets, the
// rest is an Ethernet frame. Whatever parses as TCP/IPv4 is cut, each
// packet must carry valid checksums and fit its buffer, and the packets
// joined again must cut into the same packets: cutting and joining undo
// each other. Anything else must be refused without a read outside the
// frame.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "netlib/tcp_offload.h"

namespace {

uint16_t fold(const uint8_t *p, size_t len, uint64_t sum) {
  return fold_checksum(checksum_add(sum, p, len));
}

// Valid IPv4 and TCP checksums over the packet's own lengths.
bool checksums_hold(const uint8_t *p, size_t len) {
  const size_t ip_len = size_t(p[14] & 0x0f) * 4;
  const size_t total = size_t(p[16]) << 8 | p[17];
  if (14 + total != len) return false;
  const uint64_t pseudo = checksum_add(0, p + 26, 8) + 6 + (total - ip_len);
  return fold(p + 14, ip_len, 0) == 0xffff && fold(p + 14 + ip_len, total - ip_len, pseudo) == 0xffff;
}

std::vector<std::string> cut(const uint8_t *frame, size_t len, size_t mss) {
  std::vector<std::string> out;
  tso_plan plan;
  if (!tso_prepare(frame, len, mss, plan)) return out;
  FUZZ_CHECK(plan.payload_off <= len && plan.payload_off + plan.payload_len <= len);
  std::vector<uint8_t> buf(plan.payload_off + mss);
  for (unsigned i = 0; i < plan.count; ++i) {
    const size_t n = tso_build(frame, plan, i, buf.data());
    FUZZ_CHECK(n <= buf.size());
    FUZZ_CHECK(checksums_hold(buf.data(), n));
    out.emplace_back(reinterpret_cast<char *>(buf.data()), n);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const size_t mss = 1 + size_t(data[0]) * 8;
  std::vector<uint8_t> frame(data + 1, data + size);
  const std::vector<std::string> packets = cut(frame.data(), frame.size(), mss);

  static std::vector<uint8_t> area(VNET_HDR_SIZE + 65536 + 14);
  tcp_coalescer c;
  c.buf = area.data();
  c.capacity = area.size() - VNET_HDR_SIZE;
  // The frame as it came, as a peer could send it.
  if (coalesce_candidate(frame.data(), frame.size()) && frame.size() <= c.capacity) {
    coalesce_start(c, frame.data(), frame.size());
    FUZZ_CHECK(!coalesce_append(c, frame.data(), frame.size()));  // not its own successor
    coalesce_finish(c);
  }
  // Its packets, which may all be joined when their flags allow.
  size_t taken = 0;
  for (const std::string &p : packets) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(p.data());
    if (taken == 0 ? !coalesce_candidate(b, p.size()) : !coalesce_append(c, b, p.size())) break;
    if (taken++ == 0) coalesce_start(c, b, p.size());
  }
  if (taken >= 2 && taken == packets.size()) {
    const size_t n = coalesce_finish(c);
    vnet_hdr h;
    vnet_hdr_read(area.data(), h);
    FUZZ_CHECK(h.gso_type == VNET_GSO_TCPV4 && h.gso_size == packets[0].size() - h.hdr_len);
    uint8_t *joined = area.data() + VNET_HDR_SIZE;
    FUZZ_CHECK(csum_complete(joined, n - VNET_HDR_SIZE, h.csum_start, h.csum_offset));
    FUZZ_CHECK(cut(joined, n - VNET_HDR_SIZE, h.gso_size) == packets);
  } else if (c.len) {
    coalesce_finish(c);
  }
  // A partial checksum anywhere: done within the frame, or refused.
  csum_complete(frame.data(), frame.size(), data[1], data[2]);
  return 0;
}
