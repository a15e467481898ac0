// What one stranger, identity, source address or network may make the
// single-threaded server do, so that nobody can make it spend seconds or
// memory on them while others wait:
//
//   - a source address holds at most cfg.max_unauthenticated connections
//     that have not logged in, each of which may send cfg.prelogin_bytes
//     before it has (frames of that size at most);
//   - a source address enrols cfg.enrolments_per_hour identities an hour;
//   - an identity hashes passwords (create, join) from HASH_BUDGET;
//   - wrong join passwords are counted per source address and per network
//     (identities are free), and a join is not even tried past either;
//   - a connection changes its presence from PRESENCE_CHANGES, topped up at
//     sync with one change per network it restores.
//
// The tables belong to the hub and are pruned by its sweep once a bucket
// has refilled; the counts of connections not logged in follow the
// connections (adopt, login, reap).
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

bool hub::admit_source(uint32_t addr) {
  auto it = unauthenticated.find(addr);
  if (it == unauthenticated.end() || it->second < cfg.max_unauthenticated) return true;
  refused_sources++;  // logged by the sweep, not once per attempt
  return false;
}

void hub::count_unauthenticated(connection &c, bool counted) {
  if (c.unauthenticated == counted) return;
  c.unauthenticated = counted;
  if (counted) {
    unauthenticated[c.tcp_peer.addr]++;
    return;
  }
  auto it = unauthenticated.find(c.tcp_peer.addr);
  if (it != unauthenticated.end() && --it->second == 0) unauthenticated.erase(it);
  if (c.pipe && c.state >= CONN_discovery) c.pipe->set_limit(MAX_CLIENT_FRAME);
}

bool hub::may_enroll(connection &c) {
  if (enrolments.take(c.tcp_peer.addr, evl_now)) return true;
  log_write("srv: %s refused enroll: %u enrolments from %s this hour\n", c.name().c_str(),
            cfg.enrolments_per_hour, ip_to_text(c.tcp_peer.addr).c_str());
  return false;
}

bool hub::may_hash(connection &c) { return hashes.take(c.identity, evl_now); }

bool hub::may_guess(connection &c, const std::string &net) {
  if (guesses_from.has(c.tcp_peer.addr, evl_now) && guesses_at.has(net, evl_now)) return true;
  log_write("srv: %s denied join of %s: too many wrong passwords\n", c.name().c_str(),
            escaped_text(net).c_str());
  return false;
}

void hub::count_wrong_guess(connection &c, const std::string &net) {
  guesses_from.take(c.tcp_peer.addr, evl_now);
  guesses_at.take(net, evl_now);
}

bool hub::may_change_presence(connection &c) {
  return c.presence_changes.take(PRESENCE_CHANGES, evl_now);
}

void hub::prune_budgets() {
  enrolments.prune(evl_now);
  hashes.prune(evl_now);
  guesses_from.prune(evl_now);
  guesses_at.prune(evl_now);
  introductions.prune(evl_now);
  if (refused_sources) {
    log_write("srv: refused %zu connections from addresses with %zu not logged in\n",
              refused_sources, cfg.max_unauthenticated);
    refused_sources = 0;
  }
}
