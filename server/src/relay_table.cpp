// The relay's forwarding decisions: proof, latching, rate limits, counting.
#include "relay_table.h"

#include <cstring>

#include "common/util.h"

namespace {

// A protected tunnel datagram: SPI and sequence word, at least one cipher
// block, the IV and a 12-byte MAC; its ciphertext is whole blocks.
constexpr size_t HEADER_BYTES = 8;
constexpr size_t BLOCK_BYTES = 16;
constexpr size_t MAC_BYTES = 12;
constexpr size_t MIN_TUNNEL_DATAGRAM = HEADER_BYTES + 2 * BLOCK_BYTES + MAC_BYTES;
constexpr size_t MAC_KEY_BYTES = 20;

bool same_endpoint(const sockaddr_in &a, const sockaddr_in &b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

relay_table::relay_table(const relay_limits &limits) : limits(limits) {
  total.rate = limits.total_bps;
}

bool relay_table::usable(const relay_pair_order &order) const {
  if (order.mac_key.size() != MAC_KEY_BYTES || order.spi[0] == order.spi[1]) return false;
  for (int i = 0; i < 2; i++) {
    if (by_spi.count(order.spi[i])) return false;
    if (order.cookie[i].size() != RELAY_COOKIE_BYTES || by_cookie.count(order.cookie[i]))
      return false;
  }
  return order.cookie[0] != order.cookie[1];
}

bool relay_table::add(const relay_pair_order &order) {
  std::unique_ptr<relay_pair> p(new relay_pair);
  if (usable(order)) p->mac.reset(make_hmac(sha1_alg, order.mac_key, MAC_BYTES));
  if (!p->mac) {
    relay_event e;
    e.kind = relay_event::REFUSED;
    e.identity = order.identity[0];
    e.other = order.identity[1];
    events.push_back(e);
    return false;
  }
  for (int i = 0; i < 2; i++) {
    relay_side &s = p->side[i];
    s.identity = order.identity[i];
    s.spi = order.spi[i];
    s.cookie = order.cookie[i];
    s.sending.rate = limits.pair_bps;
    by_spi[s.spi] = {p.get(), i};
    by_cookie[s.cookie] = {p.get(), i};
  }
  pairs[order.spi[0]] = std::move(p);
  all.pairs = pairs.size();
  return true;
}

void relay_table::remove(uint32_t spi) {
  auto it = by_spi.find(spi);
  if (it == by_spi.end()) return;
  relay_pair *p = it->second.pair;
  relay_event e;
  e.kind = relay_event::ENDED;
  e.identity = p->side[0].identity;
  e.other = p->side[1].identity;
  e.counts = p->counts;
  events.push_back(e);
  for (relay_side &s : p->side) {
    by_spi.erase(s.spi);
    if (!s.cookie.empty()) by_cookie.erase(s.cookie);
  }
  pairs.erase(p->side[0].spi);
  all.pairs = pairs.size();
}

void relay_table::remove_all() {
  while (!pairs.empty()) remove(pairs.begin()->first);
}

bool relay_table::authentic(relay_pair &p, const uint8_t *data, size_t len) {
  if ((len - HEADER_BYTES - MAC_BYTES) % BLOCK_BYTES) return false;
  uint8_t mac[20];
  p.mac->mac(data, len - MAC_BYTES, mac);
  uint8_t diff = 0;
  for (size_t i = 0; i < MAC_BYTES; i++) diff |= mac[i] ^ data[len - MAC_BYTES + i];
  return diff == 0;
}

void relay_table::latch(relay_side &s, const sockaddr_in &from, uint32_t now, bool by_cookie) {
  s.latched = true;
  s.at = from;
  s.last_heard = now;
  relay_event e;
  e.kind = relay_event::LATCHED;
  e.identity = s.identity;
  e.where = from;
  e.by_cookie = by_cookie;
  events.push_back(e);
}

relay_pair *relay_table::take_cookie(const uint8_t *data, size_t len, const sockaddr_in &from,
                                     uint32_t now) {
  auto it = by_cookie.find(std::string(reinterpret_cast<const char *>(data), len));
  if (it == by_cookie.end()) {
    all.refused++;
    return nullptr;
  }
  relay_side &s = it->second.pair->side[it->second.side];
  s.cookie.clear();
  by_cookie.erase(it);
  latch(s, from, now, true);
  return nullptr;
}

relay_pair *relay_table::route(const uint8_t *data, size_t len, const sockaddr_in &from,
                               uint32_t now, sockaddr_in &to) {
  if (len == RELAY_COOKIE_BYTES) return take_cookie(data, len, from, now);
  if (len < MIN_TUNNEL_DATAGRAM) {
    all.refused++;
    return nullptr;
  }
  auto it = by_spi.find(get_be32(data));
  if (it == by_spi.end()) {
    all.refused++;
    return nullptr;
  }
  relay_pair &p = *it->second.pair;
  relay_side &receiver = p.side[it->second.side];
  relay_side &sender = p.side[1 - it->second.side];
  const uint32_t seq = get_be32(data + 4);
  const bool newer = !sender.seq_seen || int32_t(seq - sender.top_seq) > 0;
  const bool moved = !sender.latched || !same_endpoint(sender.at, from);
  // A replayed datagram, however genuine, proves nothing about where its
  // sender is now.
  if (!authentic(p, data, len) || (moved && !newer)) return refuse(p);
  if (moved) latch(sender, from, now, false);
  if (newer) {
    sender.seq_seen = true;
    sender.top_seq = seq;
  }
  sender.last_heard = now;
  if (!receiver.latched) return refuse(p);  // nowhere to send it yet
  if (!admit(sender.sending, uint32_t(len), now) || !admit(total, uint32_t(len), now)) {
    p.counts.limited++;
    all.limited++;
    return nullptr;
  }
  to = receiver.at;
  return &p;
}

relay_pair *relay_table::refuse(relay_pair &p) {
  p.counts.refused++;
  all.refused++;
  return nullptr;
}

void relay_table::sent(relay_pair *pair, size_t len, bool taken) {
  if (!taken) {
    refuse(*pair);
    return;
  }
  pair->counts.packets++;
  pair->counts.bytes += len;
  all.packets++;
  all.bytes += len;
}

void relay_table::sweep(uint32_t now) {
  for (auto &entry : pairs) {
    for (relay_side &s : entry.second->side) {
      if (!s.latched || now - s.last_heard <= limits.silence_ms) continue;
      s.latched = false;
      relay_event e;
      e.kind = relay_event::SILENT;
      e.identity = s.identity;
      e.where = s.at;
      events.push_back(e);
    }
  }
}
