// Who is online where, and the introductions that follow from it: every two
// ready clients online in a common network get a tunnel (mirrored
// identifiers and the same keys; paths.cpp tells them where to send); when
// they no longer share an online network the tunnel is called off.
//
// Going offline is told at once. Going online is told (published) at once
// too, unless the identity was introduced less than a second ago: then it
// waits in `unpublished` for the publisher timer, and whatever a burst of
// toggles left is told once, with one punch per pair. Every punch stalls
// the daemons it reaches for a moment, so one member toggling must not
// make its co-members punch more than about once a second.
//
// online_in holds published clients only, and a pair exists exactly while
// two clients share a network both have published: a go-online that waits
// is not yet a reason for a tunnel on either side.
#include <memory>

#include "cluster.h"
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

constexpr size_t KEYMAT_BYTES = 104;

bool shares_membership(const connection &a, const connection &b) {
  for (const std::string &net : a.member_of)
    if (b.member_of.count(net)) return true;
  return false;
}

void send_unreachable(connection &to, const connection &other) {
  std::string frame = srv::frame_begin(srv::MSG_peer);
  put_u32(frame, other.identity);
  put_u8(frame, srv::STATUS_refused);
  to.send(frame);
}

}  // namespace

network_snapshot read_network(store &db, const std::string &name) {
  network_snapshot view;
  network_rec n;
  view.found = db.find_network(name, n);
  if (!view.found) return view;
  view.owner = n.owner;
  view.members = db.members(name);
  return view;
}

void hub::send_network(connection &c, const std::string &name, const network_snapshot &view) {
  if (!view.found) return;
  std::vector<uint32_t> online;
  auto it = online_in.find(name);
  if (it != online_in.end())
    for (connection *o : it->second) online.push_back(o->identity);
  std::string frame = srv::frame_begin(srv::MSG_network);
  put_str(frame, name);
  srv::put_network_owner(frame, view.owner);
  srv::put_network_members(frame, srv::NET_member_added, view.members);
  if (!online.empty()) srv::put_network_members(frame, srv::NET_member_online, online);
  c.send(frame);
}

void hub::tell_members(const std::string &net, uint8_t tag, uint32_t who, connection *except) {
  auto it = watchers.find(net);
  if (it == watchers.end()) return;
  std::string item;
  put_str(item, net);
  srv::put_network_members(item, tag, {who});
  // A copy: a failed send only marks its connection, but stay safe.
  std::vector<connection *> to(it->second.begin(), it->second.end());
  for (connection *w : to) {
    if (w == except) continue;
    std::string frame = srv::frame_begin(srv::MSG_network) + item;
    w->send(frame);
  }
}

void hub::go_online(connection &c, const std::string &net) {
  c.online.insert(net);
  if (unpublished.count(&c)) return;
  c.publish_at = evl_now + introductions.wait_ms(c.identity, evl_now);
  unpublished.insert(&c);
  // The timer is due at the earliest publish_at; without a wait it fires in
  // the next pass of the loop, so go-onlines that arrive together (those
  // after a sync) are told together.
  const uint32_t wait = c.publish_at - evl_now;
  if (!evl_timer_running(&publisher) || time_not_after(evl_now + wait, publisher.due)) {
    publisher.period = wait;
    evl_timer_start(&publisher);
  }
}

void hub::publish_due() {
  std::vector<connection *> due;
  for (connection *c : unpublished)
    if (time_not_after(c->publish_at, evl_now)) due.push_back(c);
  for (connection *c : due) {
    unpublished.erase(c);
    publish_online(*c);
  }
  evl_timer_stop(&publisher);
  if (unpublished.empty()) return;
  uint32_t next = (*unpublished.begin())->publish_at;
  for (connection *c : unpublished)
    if (time_not_after(c->publish_at, next)) next = c->publish_at;
  publisher.period = next - evl_now;
  evl_timer_start(&publisher);
}

void hub::publish_online(connection &c) {
  if (c.closing) return;
  std::vector<std::string> fresh;
  for (const std::string &net : c.online)
    if (!c.published.count(net)) fresh.push_back(net);
  if (fresh.empty()) return;
  introductions.take(c.identity, evl_now);
  for (const std::string &net : fresh) {
    c.published.insert(net);
    online_in[net].insert(&c);
    tell_members(net, srv::NET_member_online, c.identity, &c);
    if (cl) cl->online(c, net);
  }
  refresh_pairs(c);
}

void hub::go_offline(connection &c, const std::string &net) {
  c.online.erase(net);
  if (!c.published.erase(net)) return;
  if (cl && !c.remote_server) cl->offline(c, net);
  auto it = online_in.find(net);
  if (it != online_in.end()) {
    it->second.erase(&c);
    if (it->second.empty()) online_in.erase(it);
  }
  tell_members(net, srv::NET_member_offline, c.identity, &c);
  refresh_pairs(c);
}

void hub::add_membership(connection &c, const std::string &net, const network_snapshot &view) {
  c.member_of.insert(net);
  watchers[net].insert(&c);
  send_network(c, net, view);
}

void hub::add_membership(connection &c, const std::string &net) {
  c.member_of.insert(net);
  watchers[net].insert(&c);
  // Not a request of the client's: its frames need not wait.
  auto view = std::make_shared<network_snapshot>();
  const uint64_t serial = c.serial;
  jobs->post([view, net](store &db) { *view = read_network(db, net); },
             [this, view, net, serial] {
               auto it = by_serial.find(serial);
               if (it == by_serial.end() || it->second->closing) return;
               if (it->second->member_of.count(net)) send_network(*it->second, net, *view);
             });
}

void hub::forget_membership(connection &c, const std::string &net) {
  go_offline(c, net);
  c.member_of.erase(net);
  auto it = watchers.find(net);
  if (it != watchers.end()) {
    it->second.erase(&c);
    if (it->second.empty()) watchers.erase(it);
  }
}

void hub::refresh_pairs(connection &c) {
  std::set<connection *> wanted;
  if (!c.closing && c.state == CONN_ready) {
    for (const std::string &net : c.published) {
      auto it = online_in.find(net);
      if (it == online_in.end()) continue;
      for (connection *o : it->second)
        if (o != &c && !o->closing && o->identity != c.identity) wanted.insert(o);
    }
  }
  std::vector<connection *> gone;
  for (auto &p : c.pairs)
    if (!wanted.count(p.first)) gone.push_back(p.first);
  for (connection *o : gone) end_pair(c, *o);

  for (connection *o : wanted) {
    if (c.pairs.count(o)) continue;
    // Of a pair across servers, the server of the lower identity makes it;
    // the other server takes it from there.
    connection *remote = c.remote_server ? &c : o->remote_server ? o : nullptr;
    connection *local = remote == &c ? o : &c;
    if (remote && (local->remote_server || local->identity > remote->identity)) continue;
    pair_rec mine, theirs;
    mine.spi_in = theirs.spi_out = new_spi();
    mine.spi_out = theirs.spi_in = new_spi();
    std::string keymat;
    random_string(keymat, KEYMAT_BYTES);
    c.pairs[o] = mine;
    o->pairs[&c] = theirs;
    if (remote) remote->capture = true;
    introduce(c, *o, keymat);
    if (remote) {
      remote->capture = false;
      cl->pair_made(*remote, *local);
    }
  }
}

void hub::end_pair(connection &a, connection &b) {
  auto it = a.pairs.find(&b);
  if (it == a.pairs.end()) return;
  if (it->second.relayed) relay->drop_pair(it->second.spi_in);
  free_spi(it->second.spi_in);
  free_spi(it->second.spi_out);
  a.pairs.erase(it);
  b.pairs.erase(&a);
  // A client that no longer shares a network with the other has dropped
  // its record of it already; it has nothing to hear.
  if (shares_membership(a, b)) {
    send_unreachable(a, b);
    send_unreachable(b, a);
  }
}

void hub::depart(connection &c) {
  std::vector<std::string> nets(c.member_of.begin(), c.member_of.end());
  for (const std::string &net : nets) forget_membership(c, net);
  std::vector<connection *> others;
  for (auto &p : c.pairs) others.push_back(p.first);
  for (connection *o : others) end_pair(c, *o);
}
