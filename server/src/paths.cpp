// How two clients of a new pair meet. Each is told where to send its tunnel
// datagrams (the endpoint in peer.ok) and, just before, ordered to punch
// there, so that its own NAT lets the answers in:
//
//   directly   each other's public endpoint, as discovery found it;
//   on a LAN   each other's local endpoint, when both sit behind one public
//              address and their local addresses share a private network
//              (most routers do not hairpin, so the public endpoints would
//              not do);
//   relayed    the relay's endpoint, when either NAT maps ports per
//              destination, when both share a public address but no private
//              network, or always by policy. The punch then carries a
//              one-time cookie that tells the relay where that side is
//              before its first tunnel datagram.
//
// Runs on the hub's thread; the relay learns of a pair before either client
// hears of it.
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

// Short enough that the peer drops it unread; it only opens the way
// through the NATs in between.
const char PUNCH_PAYLOAD[] = "qpun";

enum meet_path { PATH_direct, PATH_lan, PATH_relay };

bool private_address(uint32_t a) {
  return (a >> 24) == 10 || (a >> 20) == 0xac1 || (a >> 16) == 0xc0a8;
}

// One /24 inside a private block: what a home or office LAN is. Anything
// wider would be a guess, and the relay works without guessing.
bool common_private_network(uint32_t a, uint32_t b) {
  return private_address(a) && (a >> 8) == (b >> 8);
}

bool behind_nat(const connection &c) { return c.mapping != MAPPING_public; }

meet_path choose_path(const connection &a, const connection &b, relay_policy policy,
                      bool relay_up, std::string &why) {
  if (relay_up && policy == RELAY_always) {
    why = "every pair is relayed";
    return PATH_relay;
  }
  if (behind_nat(a) && behind_nat(b) && a.public_ep.addr == b.public_ep.addr) {
    if (common_private_network(a.announced.addr, b.announced.addr)) return PATH_lan;
    why = "one public address, no common private network";
  } else if (a.mapping == MAPPING_per_destination || b.mapping == MAPPING_per_destination) {
    const connection &which = a.mapping == MAPPING_per_destination ? a : b;
    why = ip_to_text(which.identity) + " maps ports per destination";
  } else {
    return PATH_direct;
  }
  return relay_up && policy == RELAY_auto ? PATH_relay : PATH_direct;
}

void send_punch(connection &to, const srv::endpoint &target, const std::string &payload) {
  srv::punch_record rec;
  rec.target = target;
  rec.count = 1;
  rec.payload = payload;
  std::string frame = srv::frame_begin(srv::MSG_punch);
  srv::put_punch(frame, {rec});
  to.send(frame);
}

void send_peer_ok(connection &to, const connection &other, const srv::endpoint &where,
                  const pair_rec &ids, const std::string &keymat) {
  std::string frame = srv::frame_begin(srv::MSG_peer);
  put_u32(frame, other.identity);
  put_u8(frame, srv::STATUS_ok);
  srv::peer_ok_msg m;
  m.public_endpoint = where;
  m.spi_in = ids.spi_in;
  m.spi_out = ids.spi_out;
  m.keymat = keymat;
  srv::put_peer_ok(frame, m);
  to.send(frame);
}

std::string relay_cookie() {
  std::string cookie;
  random_string(cookie, RELAY_COOKIE_BYTES);
  return cookie.replace(0, 4, "qrly");
}

}  // namespace

void hub::introduce(connection &a, connection &b, const std::string &keymat) {
  pair_rec &ra = a.pairs[&b], &rb = b.pairs[&a];
  const std::string ia = ip_to_text(a.identity), ib = ip_to_text(b.identity);
  std::string why;
  srv::endpoint to_a, to_b;  // where each is told to send
  std::string punch_a = PUNCH_PAYLOAD, punch_b = PUNCH_PAYLOAD;
  // A client of another server reaches our relay where we registered; with
  // no address registered it cannot, and the pair meets directly.
  const bool reachable = (!a.remote_server || a.tcp_local.addr || cfg.public_address.addr) &&
                         (!b.remote_server || b.tcp_local.addr || cfg.public_address.addr);
  switch (choose_path(a, b, cfg.relay, relay && relay->running() && reachable, why)) {
    case PATH_direct:
      to_a = b.public_ep;
      to_b = a.public_ep;
      log_write("srv: tunnel %s <-> %s\n", ia.c_str(), ib.c_str());
      break;
    case PATH_lan:
      to_a = b.announced;
      to_b = a.announced;
      log_write("srv: tunnel %s <-> %s on their LAN\n", ia.c_str(), ib.c_str());
      break;
    case PATH_relay: {
      relay_pair_order order;
      order.identity[0] = a.identity;
      order.identity[1] = b.identity;
      order.spi[0] = ra.spi_in;
      order.spi[1] = rb.spi_in;
      order.cookie[0] = punch_a = relay_cookie();
      order.cookie[1] = punch_b = relay_cookie();
      order.mac_key = mac_key_of(keymat);
      relay->add_pair(order);
      ra.relayed = rb.relayed = true;
      to_a = seen_from(a, relay->bound_port());
      to_b = seen_from(b, relay->bound_port());
      log_write("srv: relaying %s <-> %s (spi %08x, %08x): %s\n", ia.c_str(), ib.c_str(),
                ra.spi_in, rb.spi_in, why.c_str());
      break;
    }
  }
  send_punch(a, to_a, punch_a);
  send_punch(b, to_b, punch_b);
  send_peer_ok(a, b, to_a, ra, keymat);
  send_peer_ok(b, a, to_b, rb, keymat);
}
