// The tables of networks and peers: look-ups, the server messages that
// fill them (network, evicted, peer.ok/peer.unreachable, info), releasing
// peers that no network shares with us any more, and purging everything.
// Both sides of each relation change together: a peer is in a network's
// members exactly when the network is in the peer's networks, and likewise
// for online and online_in.
#include <algorithm>
#include <vector>

#include "client/config.h"
#include "client/session.h"
#include "clisrv/server_msg.h"
#include "common/log.h"
#include "common/util.h"

peer *session::find_peer(uint32_t vip, bool add) {
  for (peer *p : peers)
    if (p->vip == vip) return p;
  if (!add) return nullptr;
  peer *p = new peer;
  p->vip = vip;
  peers.push_back(p);
  log_write("ses: adding peer %s\n", ip_to_text(vip).c_str());
  return p;
}

network *session::find_network(const std::string &name, bool add) {
  for (network *n : networks)
    if (n->name == name) return n;
  if (!add) return nullptr;
  network *n = new network;
  n->name = name;
  networks.push_back(n);
  return n;
}

tunnel *session::find_tunnel(uint32_t peer_addr) {
  auto it = tunnels_by_addr.find(peer_addr);
  return it == tunnels_by_addr.end() ? nullptr : it->second;
}

void session::delete_tunnel(uint32_t peer_addr) {
  tunnel *t = find_tunnel(peer_addr);
  if (!t) return;
  log_write("ses: deleting tunnel for %s\n", ip_to_text(peer_addr).c_str());
  auto by_spi = tunnels_by_spi.find(t->mc ? t->mc->in_spi : 0);
  if (by_spi != tunnels_by_spi.end() && by_spi->second == t) tunnels_by_spi.erase(by_spi);
  tunnels_by_addr.erase(peer_addr);
  tunnels.remove(t);
  flush_datagrams();  // datagrams held back may still name the tunnel
  delete t->mc;
  delete t;
  peer *p = find_peer(peer_addr, false);
  QUILMAR_ASSERT(p);
  if (p) p->server_reported = 0;
}

bool session::release_peer(peer *p) {
  for (network *n : p->online_in)
    if (current_config.online_nets.count(n->name)) return true;  // still reachable
  delete_tunnel(p->vip);
  p->server_reported = 0;
  if (!p->networks.empty()) return true;
  log_write("ses: deleting peer %s\n", ip_to_text(p->vip).c_str());
  peers.remove(p);
  // No network should point at it any more; make sure none does.
  for (network *n : networks) {
    n->members.erase(p);
    n->online.erase(p);
  }
  delete p;
  return false;
}

void session::recheck_peers() {
  auto it = peers.begin();
  while (it != peers.end()) {
    if (release_peer(*it)) {
      ++it;
    } else {
      it = peers.begin();  // the list changed under us
    }
  }
}

void session::purge_state() {
  log_write("ses: purging state ..\n");
  flush_datagrams();
  for (tunnel *t : tunnels) {
    delete t->mc;
    delete t;
  }
  tunnels.clear();
  tunnels_by_addr.clear();
  tunnels_by_spi.clear();
  evl_timer_stop(&tunnel_keepalive_timer);
  for (peer *p : peers) delete p;
  peers.clear();
  for (network *n : networks) delete n;
  networks.clear();
  pending.clear();
  run_command(current_config.on_offline);
}

void session::drop_network(network *n) {
  config &cfg = current_config;
  // Releasing a peer may delete it, and with it its entry in the set.
  std::vector<peer *> members(n->members.begin(), n->members.end());
  n->members.clear();
  n->online.clear();
  for (peer *p : members) {
    p->online_in.erase(n);
    p->networks.erase(n);
    release_peer(p);
  }
  cfg.online_nets.erase(n->name);
  networks.remove(n);
  delete n;
  save_state(cfg);
}

void session::on_network(msg_reader &r) {
  const config &cfg = current_config;
  const std::string name = r.get_str();
  log_write("ses: received network %.*s\n", static_cast<int>(name.size()), name.data());
  network *net = find_network(name, true);
  while (!r.at_end()) {
    srv::network_item item;
    if (!srv::get_network_item(r, item)) {
      log_write("ses: unknown tlv %u\n", item.tag);
      throw parser::err();
    }
    if (item.tag == srv::NET_owner) {
      log_write("ses:   owner -- %s\n", ip_to_text(item.owner).c_str());
      net->owner = item.owner;
      continue;
    }
    for (uint32_t vip : item.members) {
      if (item.tag == srv::NET_member_added || item.tag == srv::NET_member_online) {
        if (vip == cfg.identity) continue;  // we have no record of our own
        peer *p = find_peer(vip, true);
        net->members.insert(p);
        p->networks.insert(net);
        if (item.tag == srv::NET_member_online) {
          net->online.insert(p);
          p->online_in.insert(net);
        }
        log_write(item.tag == srv::NET_member_added ? "ses:   + %s\n" : "ses:   ^ %s\n",
                  ip_to_text(vip).c_str());
      } else {
        peer *p = find_peer(vip, false);
        if (!p) continue;
        net->online.erase(p);
        p->online_in.erase(net);
        if (item.tag == srv::NET_member_removed) {
          net->members.erase(p);
          p->networks.erase(net);
        }
        release_peer(p);
        log_write(item.tag == srv::NET_member_offline ? "ses:   v %s\n" : "ses:   - %s\n",
                  ip_to_text(vip).c_str());
      }
    }
  }
  // After a login, go online again wherever the user was online before.
  if (state == STATE_sync && cfg.online_nets.count(name)) netop(name, srv::NETOP_online);
}

void session::on_evicted(msg_reader &r) {
  const std::string name = r.get_str();
  must_end(r);
  log_write("ses: received evicted %.*s\n", static_cast<int>(name.size()), name.data());
  network *net = find_network(name, false);
  if (!net) {
    log_write("ses: unknown network\n");
    return;
  }
  drop_network(net);
}

void session::on_peer(msg_reader &r) {
  const uint32_t vip = r.get_u32();
  const uint8_t status = take_status(r);
  srv::peer_ok_msg m;
  if (status == srv::STATUS_ok) srv::get_peer_ok(r, m);
  must_end(r);
  delete_tunnel(vip);
  peer *p = find_peer(vip, false);
  if (!p) {
    // The server speaks of a peer we share no network with.
    QUILMAR_ASSERT(p);
    return;
  }
  p->server_reported = 1;
  if (status == srv::STATUS_ok) {
    log_write("ses: received peer.ok %s -- %s:%u\n", ip_to_text(vip).c_str(),
              ip_to_text(m.public_endpoint.addr).c_str(), m.public_endpoint.port);
    on_peer_ok(vip, m);
  } else {
    log_write("ses: received peer.unreachable %s\n", ip_to_text(vip).c_str());
  }
}

void session::on_info(msg_reader &r) {
  const uint32_t vip = r.get_u32();
  const uint8_t status = take_status(r);
  log_write("ses: received info.%s.%u\n", ip_to_text(vip).c_str(), status);
  if (status != srv::STATUS_ok) {
    must_end(r);
    return;
  }
  peer *p = find_peer(vip, false);
  if (!p) {
    log_write("ses: unknown peer\n");
    return;
  }
  while (!r.at_end()) {
    uint8_t tag = r.get_u8();
    if (tag == srv::INFO_nickname) {
      p->nickname = r.get_str();
    } else if (tag == srv::INFO_value) {
      p->info_value = r.get_u32();
    } else {
      log_write("ses: unsupported tlv %u\n", tag);
      return;  // the rest cannot be read without knowing this item
    }
  }
}

void session::request_nick(uint32_t vip) {
  // Without a connection there is nobody to ask.
  if (!pipe) return;
  srv::info_msg m;
  m.peer = vip;
  m.attribute = srv::INFO_nickname;
  std::string frame = srv::frame_begin(srv::MSG_info);
  srv::put_info(frame, m);
  if (send_msg(frame)) log_write("ses: sent info.nick for %s\n", ip_to_text(vip).c_str());
}
