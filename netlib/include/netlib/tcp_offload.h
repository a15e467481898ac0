// TCP offloads between a tap with a virtio-net header and the tunnel, on
// byte buffers only: the tap hands us TCP/IPv4 segments of up to 64 KiB,
// which are cut into packets of the interface's MTU exactly as the stack
// would have sent them (`tso_prepare`, `tso_build`); in the other direction
// consecutive in-order segments of one flow are joined into one large frame
// that the tap's kernel side takes as if it had received them one by one
// (`tcp_coalescer`). Anything else (not TCP/IPv4, fragments, IP options on
// a frame to join) passes untouched.
//
// Nothing here allocates; frames are the caller's, as are the coalescer's
// buffer and the packets built.
#pragma once

#include <cstddef>
#include <cstdint>

// The header a tap with IFF_VNET_HDR puts in front of every frame, in host
// byte order.
struct vnet_hdr {
  uint8_t flags = 0;
  uint8_t gso_type = 0;
  uint16_t hdr_len = 0;    // bytes of headers up to the TCP payload
  uint16_t gso_size = 0;   // payload bytes per packet to cut
  uint16_t csum_start = 0;   // where the partial checksum's range starts
  uint16_t csum_offset = 0;  // where its field is, from csum_start
};
constexpr size_t VNET_HDR_SIZE = 10;
enum : uint8_t {
  VNET_F_NEEDS_CSUM = 1,
  VNET_GSO_NONE = 0,
  VNET_GSO_TCPV4 = 1,
  VNET_GSO_ECN = 0x80,
};
void vnet_hdr_read(const uint8_t *in, vnet_hdr &h);
void vnet_hdr_write(const vnet_hdr &h, uint8_t *out);

// The Internet checksum's running sum over `len` bytes, added to `sum`;
// `fold_checksum` turns a sum into the 16-bit value (not yet complemented).
uint64_t checksum_add(uint64_t sum, const uint8_t *p, size_t len);
uint16_t fold_checksum(uint64_t sum);

// Completes a checksum left partial: sums the frame from `start` to its end
// (the field at start + offset holds the pseudo-header's sum) and stores the
// result there. False, with nothing changed, when either lies outside.
bool csum_complete(uint8_t *frame, size_t len, size_t start, size_t offset);

// How a TCP/IPv4 frame (Ethernet header first) is cut into packets of at
// most `mss` payload bytes.
struct tso_plan {
  size_t tcp_off = 0;      // TCP header
  size_t payload_off = 0;  // TCP payload
  size_t payload_len = 0;
  size_t mss = 0;
  unsigned count = 0;      // packets
};
// False when `frame` is no complete, unfragmented TCP/IPv4 packet, or
// `mss` is 0.
bool tso_prepare(const uint8_t *frame, size_t len, size_t mss, tso_plan &plan);
// Writes packet `index` of the plan into `out` (room for payload_off + mss
// bytes) and returns its length: headers copied, IPv4 length, identifier
// (one more per packet) and checksum, TCP sequence number, FIN and PSH
// only on the last packet, CWR only on the first, and the TCP checksum.
size_t tso_build(const uint8_t *frame, const tso_plan &plan, unsigned index, uint8_t *out);

// Joins segments of one TCP flow, as the kernel's receive offload would:
// each with the same addresses, ports, IPv4 and TCP headers (but length,
// identifier, checksum and sequence), valid checksums, payload, and flags
// ACK (PSH on the last one), each following the one before in sequence.
// The first one's payload size is the size of all but the last; a shorter
// one or a PSH ends the frame.
struct tcp_coalescer {
  uint8_t *buf = nullptr;  // VNET_HDR_SIZE + capacity bytes of the caller's
  size_t capacity = 0;     // for the frame; at most 65535 + 14 is used
  size_t len = 0;          // frame bytes held behind the header room; 0: none
  unsigned segments = 0;
  size_t tcp_off = 0, payload_off = 0, mss = 0;
  uint32_t next_seq = 0;
  uint16_t next_id = 0;
  bool ended = false;
};
// Whether `frame` is a segment that may be joined with others.
bool coalesce_candidate(const uint8_t *frame, size_t len);
// Starts a new frame with a candidate (nothing may be held).
void coalesce_start(tcp_coalescer &c, const uint8_t *frame, size_t len);
// Appends a candidate to the frame held when it follows it; false, with
// nothing changed, when it does not.
bool coalesce_append(tcp_coalescer &c, const uint8_t *frame, size_t len);
// Completes the frame held, with its header in front (at c.buf), and
// returns the bytes to write; the coalescer is empty afterwards. A single
// segment goes unchanged behind an empty header.
size_t coalesce_finish(tcp_coalescer &c);
