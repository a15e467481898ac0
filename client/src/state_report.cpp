#include "client/state_report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

#include "client/cli_texts.h"
#include "client/session.h"
#include "common/util.h"

namespace {

// Keys in the order written here, which is the order a reader expects.
using json = nlohmann::ordered_json;

const char *state_name(uint32_t state) {
  static const char *const names[] = {"offline", "resolve",   "connect", "helo", "enroll",
                                      "auth",    "discovery", "conf",    "sync", "ready"};
  if (state < STATE_offline || state > STATE_ready) return "unknown";
  return names[state - STATE_offline];
}

json address_or_null(uint32_t ip) { return ip ? json(ip_to_text(ip)) : json(nullptr); }

json age_or_null(uint32_t age) { return age == AGE_never ? json(nullptr) : json(age); }

std::string endpoint_of(const ipc_reply &member) {
  return ip_to_text(member.tunnel_addr) + ":" + std::to_string(member.tunnel_port);
}

json tunnel_json(const tunnel_report &t) {
  json dropped;
  dropped["authentication"] = t.auth_failed;
  dropped["replay"] = t.replayed;
  dropped["shaper"] = t.shaper_dropped;
  dropped["bad_packet"] = t.bad_packets;
  json j;
  j["tx_packets"] = t.tx_packets;
  j["tx_bytes"] = t.tx_bytes;
  j["rx_packets"] = t.rx_packets;
  j["rx_bytes"] = t.rx_bytes;
  j["dropped"] = dropped;
  j["last_rx_ms"] = age_or_null(t.last_rx_age);
  return j;
}

json member_json(const ipc_reply &m) {
  json j;
  j["address"] = ip_to_text(m.addr);
  j["nickname"] = m.nickname;
  j["online"] = m.online != 0;
  j["reported"] = m.reported != 0;
  j["endpoint"] = m.has_tunnel ? json(endpoint_of(m)) : json(nullptr);
  j["tunnel"] = m.has_tunnel ? tunnel_json(m.tunnel) : json(nullptr);
  return j;
}

// Invalid UTF-8 is replaced rather than thrown at us.
std::string document(const json &j) {
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// Each member with a tunnel once, where it first shows.
std::vector<const ipc_reply *> peers_with_tunnels(const state_report &report) {
  std::vector<const ipc_reply *> peers;
  std::set<uint32_t> seen;
  for (const auto &n : report.networks)
    for (const ipc_reply &m : n.members)
      if (m.has_tunnel && seen.insert(m.addr).second) peers.push_back(&m);
  return peers;
}

std::string human_bytes(uint64_t count) {
  if (count < 1024) return std::to_string(count) + " B";
  static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = double(count) / 1024;
  size_t unit = 0;
  for (; value >= 1024 && unit + 1 < sizeof units / sizeof *units; unit++) value /= 1024;
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string time_ago(uint32_t ms) {
  if (ms == AGE_never) return "never";
  const uint32_t s = ms / 1000;
  if (s == 0) return "now";
  if (s < 60) return std::to_string(s) + " s ago";
  if (s < 3600) return std::to_string(s / 60) + " min ago";
  if (s < 86400) return std::to_string(s / 3600) + " h ago";
  return std::to_string(s / 86400) + " d ago";
}

// Columns as wide as their widest cell, two blanks apart; the byte counts
// to the right, the last column without trailing blanks.
std::string table(const std::vector<std::array<std::string, 6>> &rows) {
  std::array<size_t, 6> width{};
  for (const auto &row : rows)
    for (size_t c = 0; c < row.size(); c++) width[c] = std::max(width[c], row[c].size());
  std::string out;
  for (const auto &row : rows) {
    for (size_t c = 0; c < row.size(); c++) {
      const std::string pad(width[c] - row[c].size(), ' ');
      const bool right = c == 3 || c == 4;
      if (c == row.size() - 1)
        out += row[c];
      else
        out += (right ? pad + row[c] : row[c] + pad) + "  ";
    }
    out += "\n";
  }
  return out;
}

}  // namespace

bool state_report::take(const ipc_reply &r) {
  switch (r.code) {
    case IPC_inspect_self:
      self = r;
      return true;
    case IPC_inspect_network:
      networks.push_back({r, {}});
      return true;
    case IPC_inspect_member:
      if (!networks.empty()) networks.back().members.push_back(r);
      return true;
    case IPC_inspect_end:
      complete = true;
      return true;
    default:
      return false;
  }
}

std::string state_json(const state_report &report) {
  const ipc_reply &self = report.self;
  json networks = json::array();
  for (const auto &n : report.networks) {
    json members = json::array();
    for (const ipc_reply &m : n.members) members.push_back(member_json(m));
    json j;
    j["name"] = n.network.name;
    j["owner"] = address_or_null(n.network.owner);
    j["online"] = n.network.online != 0;
    j["members"] = members;
    networks.push_back(j);
  }
  json j;
  j["identity"] = address_or_null(self.identity);
  j["nickname"] = self.nickname;
  j["state"] = state_name(self.state);
  j["server"] = self.server + ":" + std::to_string(self.server_port);
  j["interface"] = self.interface.empty() ? json(nullptr) : json(self.interface);
  j["networks"] = networks;
  return document(j);
}

std::string network_names(const state_report &report) {
  std::string out;
  for (const auto &n : report.networks)
    if (printable(n.network.name) == n.network.name) out += n.network.name + "\n";
  return out;
}

std::string peers_table(const state_report &report) {
  std::vector<std::array<std::string, 6>> rows;
  rows.push_back({"ADDRESS", "NICKNAME", "ENDPOINT", "RECEIVED", "SENT", "LAST DATAGRAM"});
  for (const ipc_reply *m : peers_with_tunnels(report)) {
    std::string nickname = printable(m->nickname).substr(0, 25);
    rows.push_back({ip_to_text(m->addr), nickname.empty() ? "-" : nickname, endpoint_of(*m),
                    human_bytes(m->tunnel.rx_bytes), human_bytes(m->tunnel.tx_bytes),
                    time_ago(m->tunnel.last_rx_age)});
  }
  return table(rows);
}

std::string peers_json(const state_report &report) {
  json rows = json::array();
  for (const ipc_reply *m : peers_with_tunnels(report)) {
    json j;
    j["address"] = ip_to_text(m->addr);
    j["nickname"] = m->nickname;
    j["endpoint"] = endpoint_of(*m);
    j["rx_bytes"] = m->tunnel.rx_bytes;
    j["tx_bytes"] = m->tunnel.tx_bytes;
    j["last_rx_ms"] = age_or_null(m->tunnel.last_rx_age);
    j["last_keepalive_ms"] = age_or_null(m->tunnel.last_keepalive_age);
    rows.push_back(j);
  }
  return document(rows);
}
