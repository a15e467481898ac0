// What a client's NAT does to its UDP socket, learnt during discovery. A
// client behind NAT is ordered to punch our two UDP ports, one after the
// other, from the socket it announced, with one cookie. The source of the
// punch to the first port is where peers can reach it; when the punch to
// the second port comes from the same public port, its NAT keeps one port
// for every destination, and peers can use it. When it comes from another,
// the NAT maps a port per destination, and only the relay can carry that
// client's tunnels (paths.cpp decides).
//
// Runs on the hub's thread, like the rest of the login; a connection waits
// in CONN_discovery until its punches came or their time is up (the sweep
// calls check_discovery).
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

constexpr int DISCOVERY_ATTEMPTS = 3;
// The client pauses about 60 ms between the two punches; this is plenty.
constexpr uint32_t SECOND_PUNCH_WAIT_MS = 1000;

std::string text_of(const srv::endpoint &e) {
  return ip_to_text(e.addr) + ":" + std::to_string(e.port);
}

const char *mapping_text(nat_mapping m) {
  switch (m) {
    case MAPPING_keeps_port:
      return "keeps its port for every destination";
    case MAPPING_per_destination:
      return "maps ports per destination";
    default:
      return "no punch came to the second port";
  }
}

}  // namespace

srv::endpoint hub::seen_from(const connection &c, uint16_t local_port) const {
  srv::endpoint e;
  e.addr = cfg.public_address.addr ? cfg.public_address.addr : c.tcp_local.addr;
  e.port = local_port;
  // A port forward may put our first port elsewhere; the others keep theirs.
  if (local_port == port && cfg.public_address.port) e.port = cfg.public_address.port;
  return e;
}

void hub::probe_mapping(connection &c) {
  random_string(c.cookie, 12);
  c.cookie.replace(0, 4, "qdsc");
  by_cookie[c.cookie] = &c;
  c.public_ep = c.probe_ep = srv::endpoint();
  std::vector<srv::punch_record> records(1);
  records[0].target = seen_from(c, port);
  records[0].count = 1;
  records[0].payload = c.cookie;
  if (probe_udp.fd >= 0) {
    records.push_back(records[0]);
    records[1].target = seen_from(c, probe_port);
  }
  std::string frame = srv::frame_begin(srv::MSG_punch);
  srv::put_punch(frame, records);
  c.send(frame);
  c.disc_deadline = evl_now + cfg.discovery_wait_ms;
}

void hub::settle_discovery(connection &c) {
  by_cookie.erase(c.cookie);
  c.cookie.clear();
  c.disc_deadline = 0;
  std::string second;
  if (!c.probe_ep.port) {
    c.mapping = MAPPING_unknown;
  } else if (c.probe_ep.addr == c.public_ep.addr && c.probe_ep.port == c.public_ep.port) {
    c.mapping = MAPPING_keeps_port;
  } else {
    c.mapping = MAPPING_per_destination;
    second = " (" + text_of(c.probe_ep) + " towards the second port)";
  }
  log_write("srv: %s is behind NAT, reached at %s; %s%s\n", c.name().c_str(),
            text_of(c.public_ep).c_str(), mapping_text(c.mapping), second.c_str());
  c.send_status(srv::MSG_discovery, srv::STATUS_ok);
  c.state = CONN_conf;
}

void hub::on_punch_datagram(const std::string &payload, const sockaddr_in &from,
                            bool second_port) {
  auto it = by_cookie.find(payload);
  if (it == by_cookie.end()) return;
  connection &c = *it->second;
  if (c.closing || c.state != CONN_discovery) return;
  (second_port ? c.probe_ep : c.public_ep) = endpoint_of(from);
  if (!c.public_ep.port) return;  // the first port's punch is the one that counts
  if (c.probe_ep.port || probe_udp.fd < 0) return settle_discovery(c);
  const uint32_t soon = evl_now + SECOND_PUNCH_WAIT_MS;
  if (time_not_after(soon, c.disc_deadline)) c.disc_deadline = soon;
}

void hub::check_discovery(connection &c) {
  if (c.state != CONN_discovery || !c.disc_deadline || !time_not_after(c.disc_deadline, evl_now))
    return;
  if (c.public_ep.port) return settle_discovery(c);
  by_cookie.erase(c.cookie);
  c.cookie.clear();
  c.disc_deadline = 0;
  if (++c.disc_attempts < DISCOVERY_ATTEMPTS) {
    // The client opens a new socket and announces it again.
    c.send_status(srv::MSG_discovery, srv::STATUS_disc_retry);
    return;
  }
  // Nothing came through; the announced port at the address we see is the
  // best guess left (right for NATs that keep ports).
  c.public_ep.addr = c.tcp_peer.addr;
  c.public_ep.port = c.announced.port;
  c.mapping = MAPPING_unknown;
  log_write("srv: %s sent no punch; assuming %s\n", c.name().c_str(),
            text_of(c.public_ep).c_str());
  c.send_status(srv::MSG_discovery, srv::STATUS_ok);
  c.state = CONN_conf;
}
