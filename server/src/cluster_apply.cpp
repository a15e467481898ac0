// What the other servers of the cluster tell this one, applied to the hub:
// their ready clients become remote connections here, and their presence
// and membership changes reach our clients as their own would.
//
// A notification that does not parse, or that names a client or server we
// do not know, changes nothing: the database is shared with servers of
// other versions, and presence is told again on every change.
#include <cstdlib>
#include <sstream>

#include "admin_hub.h"
#include "cluster.h"
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

bool from_hex(const std::string &hex, std::string &out) {
  out.clear();
  if (hex == "-") return true;
  if (hex.size() % 2) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char *end = nullptr;
    const std::string two = hex.substr(i, 2);
    const long v = strtol(two.c_str(), &end, 16);
    if (*end) return false;
    out += char(v);
  }
  return true;
}

bool number(const std::string &text, uint32_t &v) {
  char *end = nullptr;
  const unsigned long n = strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || n > 0xffffffffUL) return false;
  v = uint32_t(n);
  return true;
}

}  // namespace

void cluster::apply(const std::string &payload) {
  std::vector<std::string> f;
  std::istringstream in(payload);
  for (std::string field; in >> field;) f.push_back(field);
  uint32_t from = 0, who = 0;
  if (f.size() < 2 || !number(f[0], from) || from == self) return;
  const std::string &verb = f[1];
  if (verb == "hello") return announce_all();
  if (f.size() < 3 || !number(f[2], who)) return;
  if (verb == "dead") return drop_server(who);
  if (verb == "ready") return apply_ready(from, who, f);
  if (verb == "pair") return apply_pair(from, who, f);
  if (verb == "gone") {
    auto it = remotes.find(who);
    if (it != remotes.end() && it->second->remote_server == from) drop_remote(it->second);
    return;
  }
  std::string net;
  if (f.size() < 4 || !from_hex(f[3], net)) return;
  auto it = remotes.find(who);
  connection *remote =
      it != remotes.end() && it->second->remote_server == from ? it->second : nullptr;
  applying = true;
  if (verb == "online" && remote && !remote->published.count(net)) {
    if (!remote->member_of.count(net)) remote->member_of.insert(net);
    remote->online.insert(net);
    remote->published.insert(net);
    h.online_in[net].insert(remote);
    h.tell_members(net, srv::NET_member_online, who, remote);
    h.refresh_pairs(*remote);
  } else if (verb == "offline" && remote) {
    h.go_offline(*remote, net);
  } else if (verb == "joined") {
    if (it != remotes.end()) it->second->member_of.insert(net);
    h.tell_members(net, srv::NET_member_added, who, nullptr);
  } else if (verb == "removed") {
    if (it != remotes.end()) h.forget_membership(*it->second, net);
    h.drop_member(net, who);
  } else if (verb == "deleted") {
    for (auto &r : remotes)
      if (r.second->member_of.count(net)) h.forget_membership(*r.second, net);
    h.drop_network(net);
  } else if (verb == "owner" && f.size() >= 5) {
    if (it != remotes.end() && f[4] == "1") it->second->member_of.insert(net);
    h.admin_live_view().owner_changed(net, who, f[4] == "1");
  } else if (verb == "unenrolled") {
    if (it != remotes.end()) h.forget_membership(*it->second, net);
    h.admin_live_view().client_removed(who, net.empty() ? std::vector<std::string>()
                                                        : std::vector<std::string>{net});
  }
  applying = false;
}

// A client of server `from` is ready: it is one of ours no longer, and the
// older remote record of it goes.
void cluster::apply_ready(uint32_t from, uint32_t who, const std::vector<std::string> &f) {
  uint32_t v[5];
  if (f.size() < 8) return;
  for (int i = 0; i < 5; i++)
    if (!number(f[3 + size_t(i)], v[i])) return;
  auto local = h.by_identity.find(who);
  if (local != h.by_identity.end()) h.kill(local->second, "logged in on another server");
  auto old = remotes.find(who);
  if (old != remotes.end()) drop_remote(old->second);

  sockaddr_in none = {};
  connection *c = new connection(h, nullptr, none, none);
  c->remote_server = from;
  c->identity = who;
  c->state = CONN_ready;
  c->public_ep = {v[0], uint16_t(v[1])};
  c->announced = {v[2], uint16_t(v[3])};
  c->mapping = v[4] <= MAPPING_per_destination ? nat_mapping(v[4]) : MAPPING_unknown;
  // Our relay, should a pair with it need one, is where we registered.
  c->tcp_local = public_ep;
  // Its memberships are learnt as it goes online and as they change: only
  // networks it is online in make pairs, so the store is not asked.
  remotes[who] = c;
}

// A pair made by server `from` between its client and ours: ours gets the
// punch and peer.ok it was sent there.
void cluster::apply_pair(uint32_t from, uint32_t who, const std::vector<std::string> &f) {
  uint32_t other = 0, spi_in = 0, spi_out = 0;
  if (f.size() < 6 || !number(f[3], other) || !number(f[4], spi_in) || !number(f[5], spi_out))
    return;
  auto local = h.by_identity.find(who);
  auto remote = remotes.find(other);
  if (local == h.by_identity.end() || local->second->closing ||
      local->second->state != CONN_ready || remote == remotes.end() ||
      remote->second->remote_server != from || local->second->pairs.count(remote->second))
    return;
  connection &mine = *local->second, &theirs = *remote->second;
  pair_rec p;
  p.spi_in = spi_in;
  p.spi_out = spi_out;
  // Whatever relays it, it is not our relay.
  mine.pairs[&theirs] = p;
  std::swap(p.spi_in, p.spi_out);
  theirs.pairs[&mine] = p;
  for (size_t i = 6; i < f.size(); i++) {
    std::string frame;
    if (from_hex(f[i], frame)) mine.send(frame);
  }
  log_write("srv: tunnel %s <-> %s of server %08x\n", ip_to_text(who).c_str(),
            ip_to_text(other).c_str(), from);
}

void cluster::drop_remote(connection *c) {
  h.depart(*c);
  remotes.erase(c->identity);
  delete c;
}

void cluster::drop_server(uint32_t server) {
  std::vector<connection *> gone;
  for (auto &r : remotes)
    if (r.second->remote_server == server) gone.push_back(r.second);
  for (connection *c : gone) drop_remote(c);
}
