// The cluster's registration, heartbeat and hand-off, and what this server
// tells the others. Notifications are lines of space-separated fields, the
// sender's ID first; names and frames travel in hex, since a notification
// is text.
#include "cluster.h"

#include <cstring>

#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

constexpr uint32_t HEARTBEAT_MS = 2000;
constexpr uint32_t DEAD_AFTER_MS = 6000;  // as the others judge, in the DELETE below
const char CHANNEL[] = "quilmar_cluster";

}  // namespace

std::string cluster_hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2 + 1);
  // Never empty: fields are split on spaces.
  if (bytes.empty()) return "-";
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::unique_ptr<cluster> cluster::join(hub &h, const std::string &conninfo) {
  std::unique_ptr<pg_connection> sync = pg_connection::open(conninfo);
  if (!sync) return nullptr;
  std::unique_ptr<pg_async> link = pg_async::open(conninfo);
  if (!link) return nullptr;
  std::unique_ptr<cluster> c(new cluster(h, std::move(link), std::move(sync)));
  c->conninfo = conninfo;
  if (!c->register_self()) return nullptr;
  return c;
}

cluster::cluster(hub &h, std::unique_ptr<pg_async> l, std::unique_ptr<pg_connection> s)
    : h(h), link(std::move(l)), sync(std::move(s)) {
  attach_link();
  beat.cb = this;
  beat.period = HEARTBEAT_MS;
}

void cluster::attach_link() {
  link->on_notify = [this](const std::string &payload) { apply(payload); };
  link->on_lost = []() {
    log_write("cluster: without the database this server cannot reach the others\n");
  };
}

// A new notification connection after the old one failed. What was told
// meanwhile is lost: the remote clients are dropped and everyone is asked
// to tell again, and ours are told anew.
bool cluster::reconnect() {
  std::unique_ptr<pg_async> fresh = pg_async::open(conninfo);
  if (!fresh) return false;
  link = std::move(fresh);
  attach_link();
  log_write("cluster: connected to the database again\n");
  std::vector<connection *> all;
  for (auto &r : remotes) all.push_back(r.second);
  for (connection *c : all) drop_remote(c);
  link->submit(std::string("LISTEN ") + CHANNEL);
  tell("hello");
  announce_all();
  return true;
}

cluster::~cluster() {
  evl_timer_stop(&beat);
  for (auto &r : remotes) delete r.second;
}

bool cluster::register_self() {
  public_ep.addr = h.cfg.public_address.addr ? h.cfg.public_address.addr : h.cfg.listen_addr;
  public_ep.port = h.cfg.public_address.port ? h.cfg.public_address.port : h.bound_port();
  if (!public_ep.addr)
    log_write("cluster: give --public-address (or -l) so that the other servers can hand "
              "clients to this one\n");
  for (int attempt = 0; attempt < 20 && !self; attempt++) {
    uint32_t id;
    random_bytes(&id, sizeof id);
    id &= 0x7fffffff;
    if (!id) continue;
    // The lowest free slot; two servers registering at once collide on it
    // and the loser tries again.
    pg_result r = sync->run(
        "INSERT INTO server (id, address, port, slot, heartbeat) "
        "SELECT $1, $2, $3, min(s), now() FROM generate_series(1, 255) s "
        "WHERE s NOT IN (SELECT slot FROM server) RETURNING slot",
        {id, public_ep.addr, int64_t(public_ep.port)});
    if (r.rows() == 1) {
      self = id;
      slot_ = uint8_t(r.integer(0, 0));
    } else if (r.failure() != STORE_exists) {
      return false;
    }
  }
  if (!self) {
    log_write("cluster: no slot free for this server (at most 255 in a cluster)\n");
    return false;
  }
  h.spi_slot = slot_;
  last_beat = evl_now;
  log_write("cluster: this server is %08x (slot %u), reached at %s:%u\n", self, slot_,
            ip_to_text(public_ep.addr).c_str(), public_ep.port);
  link->submit(std::string("LISTEN ") + CHANNEL);
  // The others answer with their clients.
  tell("hello");
  evl_timer_start(&beat);
  return true;
}

void cluster::tell(const std::string &text) {
  link->submit("SELECT pg_notify($1, $2)",
               {pg_param(std::string(CHANNEL), 25),
                pg_param(std::to_string(self) + " " + text, 25)});
}

void cluster::ready(const connection &c) {
  // It was another server's until now.
  auto old = remotes.find(c.identity);
  if (old != remotes.end()) drop_remote(old->second);
  tell("ready " + std::to_string(c.identity) + " " + std::to_string(c.public_ep.addr) + " " +
       std::to_string(c.public_ep.port) + " " + std::to_string(c.announced.addr) + " " +
       std::to_string(c.announced.port) + " " + std::to_string(int(c.mapping)));
}

void cluster::online(const connection &c, const std::string &net) {
  tell("online " + std::to_string(c.identity) + " " + cluster_hex(net));
}

void cluster::offline(const connection &c, const std::string &net) {
  tell("offline " + std::to_string(c.identity) + " " + cluster_hex(net));
}

void cluster::gone(const connection &c) { tell("gone " + std::to_string(c.identity)); }

void cluster::joined(const std::string &net, uint32_t who) {
  if (!applying) tell("joined " + std::to_string(who) + " " + cluster_hex(net));
}

void cluster::removed(const std::string &net, uint32_t who) {
  if (applying) return;
  tell("removed " + std::to_string(who) + " " + cluster_hex(net));
  // A member of another server is out here at once: its tunnels with our
  // clients end now, not when its server has told us.
  auto it = remotes.find(who);
  if (it != remotes.end()) h.forget_membership(*it->second, net);
}

void cluster::deleted(const std::string &net) {
  if (applying) return;
  tell("deleted 0 " + cluster_hex(net));
  for (auto &r : remotes)
    if (r.second->member_of.count(net)) h.forget_membership(*r.second, net);
}

void cluster::owner_changed(const std::string &net, uint32_t owner, bool joined) {
  if (!applying)
    tell("owner " + std::to_string(owner) + " " + cluster_hex(net) + " " +
         std::to_string(int(joined)));
}

void cluster::client_removed(uint32_t who, const std::vector<std::string> &nets) {
  if (applying) return;
  // One notification per network: a notification holds at most 8000 bytes.
  const std::string text = "unenrolled " + std::to_string(who);
  if (nets.empty()) tell(text + " -");
  for (const std::string &net : nets) tell(text + " " + cluster_hex(net));
}

void cluster::pair_made(connection &remote, const connection &local) {
  const pair_rec &p = remote.pairs[const_cast<connection *>(&local)];
  std::string text = "pair " + std::to_string(remote.identity) + " " +
                     std::to_string(local.identity) + " " + std::to_string(p.spi_in) + " " +
                     std::to_string(p.spi_out);
  for (const std::string &frame : remote.outbox) text += " " + cluster_hex(frame);
  remote.outbox.clear();
  tell(text);
}

void cluster::announce_all() {
  for (connection *c : h.conns) {
    if (c->closing || c->state != CONN_ready) continue;
    ready(*c);
    for (const std::string &net : c->published) online(*c, net);
  }
}

void cluster::on_timer(evl_timer *) { heartbeat(); }

void cluster::heartbeat() {
  if (left) return;
  if (!link->healthy()) {
    // The others declare us dead by now: our clients are better served by
    // one of them, which they reach on their next attempt.
    if (evl_now - last_beat > DEAD_AFTER_MS && !h.conns.empty()) {
      log_write("cluster: no database for %u s; ending every connection\n",
                (evl_now - last_beat) / 1000);
      for (connection *c : h.conns) h.kill(c, "server cut off from the cluster");
    }
    if (!reconnect()) return;
  }
  link->submit("UPDATE server SET heartbeat = now() WHERE id = $1", {self},
               [this](const pg_result &r) {
                 if (r.ok() && r.changed() != 0) last_beat = evl_now;
                 if (!r.ok() || r.changed() != 0) return;
                 // The others took us for dead and dropped our clients: they
                 // must log in again to be seen.
                 log_write("cluster: the others declared this server dead; its clients "
                           "log in again\n");
                 for (connection *c : h.conns) h.kill(c, "server declared dead");
                 link->submit("INSERT INTO server (id, address, port, slot, heartbeat) "
                              "VALUES ($1, $2, $3, $4, now())",
                              {self, public_ep.addr, int64_t(public_ep.port), int64_t(slot_)});
                 tell("hello");
               });
  link->submit("DELETE FROM server WHERE heartbeat < now() - interval '6 seconds' RETURNING id",
               {}, [this](const pg_result &r) {
                 for (int i = 0; i < r.rows(); i++) {
                   const uint32_t dead = uint32_t(r.integer(i, 0));
                   log_write("cluster: server %08x stopped heartbeating; its clients are "
                             "offline\n", dead);
                   tell("dead " + std::to_string(dead));
                   drop_server(dead);
                 }
               });
}

bool cluster::hand_off() {
  pg_result r = sync->run(
      "SELECT address, port FROM server WHERE id <> $1 AND address <> 0 "
      "AND heartbeat > now() - interval '6 seconds' ORDER BY random()",
      {self});
  std::vector<srv::endpoint> live;
  for (int i = 0; i < r.rows(); i++)
    live.push_back({uint32_t(r.integer(i, 0)), uint16_t(r.integer(i, 1))});
  if (live.empty()) {
    log_write("cluster: no live server to hand the clients to\n");
    return false;
  }
  size_t next = 0;
  h.redirect_all = live[0];  // for those who connect meanwhile
  for (connection *c : h.conns) {
    if (c->closing || c->state == CONN_done) continue;
    const srv::endpoint &to = live[next++ % live.size()];
    std::string frame = srv::frame_begin(srv::MSG_redirect);
    put_u8(frame, srv::STATUS_again);
    srv::put_endpoint(frame, to);
    c->send(frame);
    c->state = CONN_done;
    log_write("srv: %s handed to %s:%u\n", c->name().c_str(), ip_to_text(to.addr).c_str(),
              to.port);
  }
  return true;
}

void cluster::leave() {
  if (left) return;
  left = true;
  evl_timer_stop(&beat);
  tell("dead " + std::to_string(self));
  link->drain(2000);
  sync->run("DELETE FROM server WHERE id = $1", {self});
  log_write("cluster: server %08x left the cluster\n", self);
}
