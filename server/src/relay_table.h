// The relay's forwarding table: which pairs of clients the relay serves, where
// each side was last proven to be, and the fate of every datagram that
// arrives on the relay socket. It never touches a socket or a clock of its
// own: the relay thread (relay.h) hands it datagrams and the time, and sends
// what it routes; tests and benchmarks drive it directly.
//
// A pair has two sides. Tunnel datagrams begin with the receiver's SPI, which
// the server chose, so the SPI tells both where a datagram goes and who sent
// it. Only datagrams whose MAC verifies with the pair's MAC key are
// forwarded (the key is all the relay holds: it cannot decrypt). A side's
// endpoint is learnt (latched) only from proof: the one-time cookie the
// server ordered that side to punch to the relay, or a tunnel datagram that
// verifies and is newer than any verified before from that side, so that
// neither a forged nor a replayed datagram from a spoofed source address can
// take a tunnel over.
//
// Owned by one thread at a time (the relay thread once it runs); not
// thread-safe itself. Pointers to pairs stay valid until `remove`.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "crypto/digest.h"
#include "netlib/nethdr.h"

// What the relay has done, in all and for one pair.
struct relay_stats {
  uint64_t pairs = 0;    // pairs served now (in all only)
  uint64_t packets = 0;  // datagrams forwarded
  uint64_t bytes = 0;    // their UDP payload bytes
  uint64_t refused = 0;  // unknown, forged, replayed elsewhere, or undeliverable
  uint64_t limited = 0;  // over the pair's or the server's rate limit
};

// One pair as the hub orders it. Side i receives datagrams that carry
// spi[i] (its incoming identifier) and punches cookie[i] to the relay.
struct relay_pair_order {
  uint32_t identity[2] = {0, 0};
  uint32_t spi[2] = {0, 0};
  std::string cookie[2];
  std::string mac_key;  // the tunnel's MAC key (its keys share it both ways)
};

struct relay_limits {
  uint64_t pair_bps = 20000000;  // each direction of a pair; 0 = no limit
  uint64_t total_bps = 0;        // everything the relay forwards; 0 = no limit
  uint32_t silence_ms = 240000;  // a side silent this long is forgotten
};

// What happened, for the server's log.
struct relay_event {
  enum kind_t { LATCHED, SILENT, ENDED, REFUSED } kind = LATCHED;
  uint32_t identity = 0;   // the side (LATCHED, SILENT) or side 0 (ENDED, REFUSED)
  uint32_t other = 0;      // side 1 (ENDED, REFUSED)
  sockaddr_in where = {};  // LATCHED, SILENT
  bool by_cookie = false;  // LATCHED: the punch, not a tunnel datagram
  relay_stats counts;      // ENDED: what the pair carried
};

// Cookies are this long; tunnel datagrams are never shorter than 52 bytes.
constexpr size_t RELAY_COOKIE_BYTES = 16;

struct relay_side {
  uint32_t identity = 0;
  uint32_t spi = 0;       // datagrams to this side carry it
  std::string cookie;     // emptied once used
  bool latched = false;   // `at` is proven
  sockaddr_in at = {};
  uint32_t last_heard = 0;
  bool seq_seen = false;
  uint32_t top_seq = 0;    // highest sequence number verified from this side
  shaper sending;          // what this side sends through the relay
};

struct relay_pair {
  relay_side side[2];
  std::unique_ptr<digest_alg_hmac> mac;
  relay_stats counts;
};

class relay_table {
 public:
  explicit relay_table(const relay_limits &limits);

  // False (and nothing added, a REFUSED event) when an SPI or a cookie is
  // in use already or the MAC key is unusable.
  bool add(const relay_pair_order &order);
  // Forgets the pair that either SPI leads to; an ENDED event follows.
  void remove(uint32_t spi);
  void remove_all();

  // The fate of one datagram of `len` bytes from `from` at `now` (ms): the
  // pair to count it against, with `to` set, when it is to be forwarded
  // unchanged; null when it is dropped (a cookie is used up here too).
  relay_pair *route(const uint8_t *data, size_t len, const sockaddr_in &from, uint32_t now,
                    sockaddr_in &to);
  // A routed datagram the system took (`taken`) or would not send.
  void sent(relay_pair *pair, size_t len, bool taken);
  // Forgets sides silent for longer than the limit allows.
  void sweep(uint32_t now);

  const relay_stats &totals() const { return all; }
  std::vector<relay_event> events;  // the owner takes them

 private:
  struct lead {
    relay_pair *pair;
    int side;
  };
  bool usable(const relay_pair_order &order) const;
  bool authentic(relay_pair &p, const uint8_t *data, size_t len);
  relay_pair *refuse(relay_pair &p);  // counts; null
  void latch(relay_side &s, const sockaddr_in &from, uint32_t now, bool by_cookie);
  relay_pair *take_cookie(const uint8_t *data, size_t len, const sockaddr_in &from, uint32_t now);

  relay_limits limits;
  std::unordered_map<uint32_t, std::unique_ptr<relay_pair>> pairs;  // by side 0's SPI
  std::unordered_map<uint32_t, lead> by_spi;
  std::unordered_map<std::string, lead> by_cookie;
  shaper total;
  relay_stats all;
};
