// How a running server applies an administrator's change to its clients
// (see admin_hub.h). Each change reaches the clients through the messages
// they already understand: network items, evicted, peer.unreachable, and
// the end of a removed client's connection.
#include "admin_hub.h"

#include <ctime>

#include "cluster.h"
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

class hub_live final : public admin_live {
 public:
  explicit hub_live(hub &h) : h(h) {}

  bool presence(uint32_t identity, client_presence &p) override {
    connection *c = logged_in(identity);
    if (!c || c->state != CONN_ready) return false;
    if (c->public_ep.addr)
      p.endpoint = ip_to_text(c->public_ep.addr) + ":" + std::to_string(c->public_ep.port);
    p.online_in.assign(c->online.begin(), c->online.end());
    return true;
  }

  int64_t last_seen(uint32_t identity) override {
    auto it = h.seen.find(identity);
    return it == h.seen.end() ? 0 : it->second;
  }

  uint32_t password_iterations() override { return h.cfg.pbkdf2_iterations; }

  live_figures figures() override {
    live_figures f;
    f.clients_connected = h.conns.size();
    for (connection *c : h.conns) f.clients_ready += c->state == CONN_ready && !c->closing;
    f.logins = h.counters.logins;
    f.enrolments = h.counters.enrolments;
    f.refusals = h.counters.refusals;
    const int64_t up = int64_t(time(nullptr)) - h.started_at;
    f.uptime_s = up > 0 ? uint64_t(up) : 0;
    if (h.relay) h.relay_totals = h.relay->stats();
    f.relay = h.relay_totals;
    return f;
  }

  void client_removed(uint32_t identity, const std::vector<std::string> &networks) override {
    connection *c = logged_in(identity);
    if (c) {
      // Offline first, while it still shares its networks: its peers hear
      // peer.unreachable and drop their tunnels to it.
      std::vector<std::string> online(c->online.begin(), c->online.end());
      for (const std::string &net : online) h.go_offline(*c, net);
      std::vector<std::string> member_of(c->member_of.begin(), c->member_of.end());
      for (const std::string &net : member_of) h.forget_membership(*c, net);
      h.kill(c, "removed by the administrator");
    }
    for (const std::string &net : networks)
      h.tell_members(net, srv::NET_member_removed, identity, c);
    if (h.cl) h.cl->client_removed(identity, networks);
    log_write("srv: administrator removed %s\n", ip_to_text(identity).c_str());
  }

  void network_deleted(const std::string &name) override {
    h.drop_network(name);
    log_write("srv: administrator deleted %s\n", escaped_text(name).c_str());
  }

  void member_banned(const std::string &name, uint32_t identity) override {
    h.drop_member(name, identity);
    log_write("srv: administrator banned %s from %s\n", ip_to_text(identity).c_str(),
              escaped_text(name).c_str());
  }

  void owner_changed(const std::string &name, uint32_t owner, bool joined) override {
    connection *c = logged_in(owner);
    if (joined) {
      // A new member: it gets the whole network, the others hear of it.
      if (c && c->state == CONN_ready) h.add_membership(*c, name);
      h.tell_members(name, srv::NET_member_added, owner, c);
    }
    std::string item;
    put_str(item, name);
    srv::put_network_owner(item, owner);
    auto it = h.watchers.find(name);
    if (it != h.watchers.end()) {
      std::vector<connection *> to(it->second.begin(), it->second.end());
      for (connection *w : to) {
        std::string frame = srv::frame_begin(srv::MSG_network) + item;
        w->send(frame);
      }
    }
    if (h.cl) h.cl->owner_changed(name, owner, joined);
    log_write("srv: administrator gave %s to %s\n", escaped_text(name).c_str(),
              ip_to_text(owner).c_str());
  }

 private:
  connection *logged_in(uint32_t identity) {
    auto it = h.by_identity.find(identity);
    return it == h.by_identity.end() || it->second->closing ? nullptr : it->second;
  }

  hub &h;
};

}  // namespace

std::unique_ptr<admin_live> hub_admin_live(hub &h) { return std::make_unique<hub_live>(h); }

admin_snapshot::admin_snapshot(hub &h) : seen(h.seen.begin(), h.seen.end()) {
  std::unique_ptr<admin_live> now = hub_admin_live(h);
  for (const auto &c : h.by_identity) {
    client_presence p;
    if (now->presence(c.first, p)) ready[c.first] = p;
  }
  iterations = now->password_iterations();
  live = now->figures();
}

bool admin_snapshot::presence(uint32_t identity, client_presence &p) {
  auto it = ready.find(identity);
  if (it == ready.end()) return false;
  p = it->second;
  return true;
}

int64_t admin_snapshot::last_seen(uint32_t identity) {
  auto it = seen.find(identity);
  return it == seen.end() ? 0 : it->second;
}

void admin_snapshot::client_removed(uint32_t identity, const std::vector<std::string> &networks) {
  changes.push_back([=](admin_live &to) { to.client_removed(identity, networks); });
}

void admin_snapshot::network_deleted(const std::string &name) {
  changes.push_back([=](admin_live &to) { to.network_deleted(name); });
}

void admin_snapshot::member_banned(const std::string &name, uint32_t identity) {
  changes.push_back([=](admin_live &to) { to.member_banned(name, identity); });
}

void admin_snapshot::owner_changed(const std::string &name, uint32_t owner, bool joined) {
  changes.push_back([=](admin_live &to) { to.owner_changed(name, owner, joined); });
}

void admin_snapshot::replay(admin_live &to) {
  for (auto &change : changes) change(to);
  changes.clear();
}
