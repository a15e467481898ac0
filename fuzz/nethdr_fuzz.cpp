// Ethernet frames from the tap: whatever the host's stack (or a program on
// the host) writes into the interface. The input is one frame, held in a
// buffer of exactly its size so that any read past it shows. Every position
// the parser reports must lie inside the frame, in header order, and the
// kind must be one of those it may produce.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "fuzz_check.h"
#include "netlib/nethdr.h"

namespace {

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool known_kind(uint32_t kind) {
  switch (kind) {
    case NH_incomplete:
    case NH_ether | NH_incomplete:
    case NH_ip4 | NH_incomplete:
    case NH_ip4_udp | NH_incomplete:
    case NH_ether:
    case NH_arp:
    case NH_ip4:
    case NH_ip4_frag:
    case NH_ip4_udp:
    case NH_ip4_tcp:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<uint8_t[]> frame(new uint8_t[size ? size : 1]);
  if (size) memcpy(frame.get(), data, size);
  uint8_t *start = frame.get();
  nethdr nh;
  nethdr_parse(start, size, &nh);

  FUZZ_CHECK(nh.start == start && nh.end == start + size && nh.limit == nh.end);
  FUZZ_CHECK(known_kind(nh.kind));
  // Whatever was reached lies inside the frame, each part after the last.
  const uint8_t *last = start;
  for (const uint8_t *p : {nh.link_hdr, nh.link_payload, nh.net_hdr, nh.net_payload, nh.trans_hdr,
                           nh.trans_payload, nh.data, nh.data_end}) {
    if (!p) continue;
    FUZZ_CHECK(p >= last && p <= nh.end);
    last = p;
  }
  FUZZ_CHECK(nh.parse_end >= start && nh.parse_end <= nh.end);

  const uint32_t kind = nh.kind;
  if (kind == NH_incomplete) FUZZ_CHECK(size < 14 && !nh.link_hdr);
  if (kind == NH_arp) FUZZ_CHECK(nh.net_payload == start + 42 && size >= 42);
  if (nh_is_ip4(kind)) {
    const uint8_t *ip = nh.net_hdr;
    FUZZ_CHECK(ip == start + 14 && be16(start + 12) == 0x0800);
    const size_t ihl = (ip[0] & 0x0f) * 4u, tl = be16(ip + 2);
    FUZZ_CHECK(ihl >= 20 && tl >= ihl && 14 + tl <= size);
    FUZZ_CHECK(nh.net_payload == ip + ihl);
    if (kind == NH_ip4_frag) {
      FUZZ_CHECK(nh.trans_payload == ip + tl && !nh.data);
    } else {
      FUZZ_CHECK(nh.data && nh.data_end == nh.parse_end);
    }
    if (kind == NH_ip4_udp) {
      FUZZ_CHECK(ip[9] == 17 && nh.data_end == ip + tl);
      FUZZ_CHECK(be16(nh.trans_hdr + 4) == nh.data_end - nh.trans_hdr);
    }
    if (kind == NH_ip4_tcp) {
      FUZZ_CHECK(ip[9] == 6 && nh.data_end == ip + tl);
      FUZZ_CHECK(nh.trans_payload - nh.trans_hdr >= 20);
    }
    if (kind == NH_ip4) FUZZ_CHECK(nh.data == ip + ihl && nh.data_end == ip + tl);
  }
  return 0;
}
