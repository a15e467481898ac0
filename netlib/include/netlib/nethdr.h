// The packet path's pure parts, free of sockets and devices: the Ethernet,
// ARP and IPv4 header checker `nethdr_parse`, the byte-rate limiter
// `shaper`, and the replay window that keeps each received tunnel datagram
// from being accepted twice.
//
// Nothing here allocates or keeps a pointer past the call: a `nethdr` points
// into the caller's frame buffer and is valid only as long as that buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// nethdr kinds: a type value in the low bits, NH_incomplete in bit 31 when
// the frame was cut short or a header failed its checks.
enum : uint32_t {
  NH_incomplete = 0x80000000u,
  NH_ether = 0x01,      // Ethernet, neither ARP nor IPv4 (flagged: ARP/IPv4 cut short)
  NH_arp = 0x11,        // at least 28 bytes of ARP
  NH_ip4 = 0x21,        // IPv4, neither UDP nor TCP (flagged: IPv4 inconsistent)
  NH_ip4_frag = 0x121,  // an IPv4 fragment
  NH_ip4_udp = 0x321,   // IPv4/UDP (flagged: the UDP length disagrees)
  NH_ip4_tcp = 0x421,   // IPv4/TCP
};

constexpr size_t ETH_HEADER = 14;
constexpr size_t ARP_PACKET = 28;

// Positions in the parsed frame. Members the parser did not reach are null.
struct nethdr {
  uint8_t *start = nullptr;  // the frame
  uint8_t *end = nullptr;
  uint32_t kind = 0;
  uint8_t *link_hdr = nullptr;  // Ethernet header
  uint8_t *link_payload = nullptr;
  uint8_t *net_hdr = nullptr;  // ARP or IPv4 header
  uint8_t *net_payload = nullptr;
  uint8_t *trans_hdr = nullptr;  // UDP or TCP header
  uint8_t *trans_payload = nullptr;
  uint8_t *data = nullptr;  // what the innermost header carries
  uint8_t *data_end = nullptr;
  uint8_t *parse_end = nullptr;  // data end when complete, else where parsing stopped
  uint8_t *limit = nullptr;      // the frame end again
};

// Any complete kind whose low byte is 0x21 is an IPv4 packet.
inline bool nh_complete(uint32_t kind) { return !(kind & NH_incomplete); }
inline bool nh_is_ip4(uint32_t kind) { return nh_complete(kind) && (kind & 0xff) == NH_ip4; }

// Parses `length` bytes at `pkt` into `nh` (reset first). Never reads
// outside the frame. Null arguments are logged and leave `nh` untouched.
void nethdr_parse(uint8_t *pkt, size_t length, nethdr *nh);

// A byte-rate limiter: the bucket holds one second's worth of bits and
// drains continuously; a packet arriving at an empty bucket is always
// admitted. Rate 0 admits everything. 64-bit, so that any configured
// bytes-per-second value times 8 fits.
struct shaper {
  uint64_t rate = 0;   // bits per second
  uint64_t level = 0;  // bits in the bucket
  uint32_t last = 0;   // clock reading of the last update, in ms
};

// Whether `bytes` more may pass at time `now` (ms, the loop clock); counts
// them in when so. The two-argument form uses evl_now.
bool admit(shaper &s, uint32_t bytes, uint32_t now);
bool admit(shaper &s, uint32_t bytes);

// Sequence numbers seen on one tunnel, compared in serial arithmetic
// (modulo 2^32), so a long-lived tunnel keeps working across the wrap.
// A ring of bits behind the highest number accepted; numbers further back
// than REPLAY_WINDOW are refused. Zero-initialised means empty: the first
// number accepted anchors the window.
constexpr uint32_t REPLAY_BLOCKS = 32;  // a power of two
constexpr uint32_t REPLAY_WINDOW = (REPLAY_BLOCKS - 1) * 64;  // 1984 numbers

struct replay_window {
  bool started = false;
  uint32_t top = 0;  // highest number accepted
  uint64_t ring[REPLAY_BLOCKS] = {};
};

// True, and `seq` recorded, when it was neither accepted before nor lies
// behind the window; false otherwise (nothing changes then).
bool replay_accept(replay_window &w, uint32_t seq);
// Forgets every number: the next one accepted anchors the window anew.
void replay_reset(replay_window &w);
