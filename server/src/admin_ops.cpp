// The administration commands on clients, enrolment requests and
// statistics, and the dispatch of every command (see admin_ops.h).
#include "admin_ops.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <map>

#include "common/util.h"
#include "enrolment.h"

using json = nlohmann::ordered_json;

namespace {

json client_list(const admin_request &req, store &db, admin_live *live) {
  std::map<uint32_t, std::vector<std::string>> networks_of;
  for (const membership_rec &m : db.memberships()) networks_of[m.identity].push_back(m.network);
  json out = json::array();
  for (const account_rec &a : db.accounts()) {
    client_presence p;
    const bool online = live && live->presence(a.identity, p);
    if (req.online_only && !online) continue;
    const int64_t seen = std::max(a.last_seen, live ? live->last_seen(a.identity) : 0);
    out.push_back({{"address", ip_to_text(a.identity)},
                   {"nickname", a.nickname},
                   {"key_id", key_id_of(a.public_key)},
                   {"enrolled", iso_time(a.first_seen)},
                   {"last_seen", iso_time(seen)},
                   {"online", online},
                   {"endpoint", online && !p.endpoint.empty() ? json(p.endpoint) : json()},
                   {"networks", networks_of[a.identity]},
                   {"online_in", p.online_in}});
  }
  return admin_ok(out);
}

json client_remove(const std::string &address, store &db, admin_live *live) {
  uint32_t id = 0;
  std::string error;
  account_rec a;
  if (!admin_address(address, id, error)) return admin_error(error);
  if (!db.find_account(id, a)) return admin_error("no client " + address);
  std::string owned;
  for (const network_rec &n : db.networks())
    if (n.owner == id) owned += (owned.empty() ? "" : ", ") + n.name;
  if (!owned.empty())
    return admin_error(address + " owns " + owned +
                       ": give each another owner (networks set-owner) or delete it first");
  const std::vector<std::string> networks = db.networks_of(id);
  if (db.remove_account(id) != STORE_ok)
    return admin_error("the store could not remove " + address);
  if (live) live->client_removed(id, networks);
  return admin_ok({{"address", address}, {"nickname", a.nickname}, {"networks", networks}});
}

json pending_list(store &db) {
  json out = json::array();
  for (const pending_rec &p : db.pending())
    out.push_back({{"key_id", p.key_id},
                   {"nickname", p.nickname},
                   {"source", p.source},
                   {"requested", iso_time(p.requested)},
                   {"approved", p.approved}});
  return admin_ok(out);
}

json pending_decide(const std::string &key_id, bool approve, store &db) {
  std::string id = key_id;
  std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::tolower(c); });
  pending_rec p;
  if (!db.find_pending(id, p)) return admin_error("no enrolment waits under key ID " + key_id);
  store_result r = approve ? db.approve_pending(id) : db.remove_pending(id);
  if (r != STORE_ok) return admin_error("the store could not change the request of " + id);
  return admin_ok({{"key_id", id}, {"nickname", p.nickname}});
}

json stats(store &db, admin_live *live) {
  json out = json::object();
  out["running"] = live != nullptr;
  for (const stat_entry &s : collect_stats(db, live)) out[s.key] = s.value;
  return admin_ok(out);
}

}  // namespace

bool admin_address(const std::string &text, uint32_t &identity, std::string &error) {
  if (text_to_ip(text.c_str(), identity)) return true;
  error = "'" + text + "' is not a client address (a.b.c.d)";
  return false;
}

json iso_time(int64_t seconds) {
  if (seconds <= 0) return json();
  time_t t = time_t(seconds);
  struct tm tm;
  char text[32];
  if (!gmtime_r(&t, &tm) || !strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm)) return json();
  return text;
}

json admin_execute(const admin_request &req, store &db, admin_live *live) {
  const std::vector<std::string> &a = req.args;
  const std::string &cmd = req.command;
  if (cmd == "clients list" && a.empty()) return client_list(req, db, live);
  if (cmd == "clients remove" && a.size() == 1) return client_remove(a[0], db, live);
  if (cmd == "clients pending" && a.empty()) return pending_list(db);
  if (cmd == "clients approve" && a.size() == 1) return pending_decide(a[0], true, db);
  if (cmd == "clients reject" && a.size() == 1) return pending_decide(a[0], false, db);
  if (cmd == "stats" && a.empty()) return stats(db, live);
  if (cmd.compare(0, 9, "networks ") == 0) return admin_network_command(req, db, live);
  return admin_error("unknown command '" + cmd + "' with " + std::to_string(a.size()) +
                     " operands");
}

std::vector<stat_entry> collect_stats(store &db, admin_live *live) {
  const live_figures f = live ? live->figures() : live_figures();
  const store_counts c = db.counts();
  return {
      {"clients_connected", "Connections from clients, logged in or not.", false,
       f.clients_connected},
      {"clients_ready", "Clients logged in and synchronised.", false, f.clients_ready},
      {"logins", "Accepted logins (auth and enroll) since the start.", true, f.logins},
      {"enrolments", "New clients enrolled since the start.", true, f.enrolments},
      {"refusals", "Refused logins since the start.", true, f.refusals},
      {"uptime_s", "Seconds since the server started.", false, f.uptime_s},
      {"relay_pairs", "Pairs of clients the relay carries now.", false, f.relay.pairs},
      {"relay_packets", "Datagrams the relay forwarded since the start.", true, f.relay.packets},
      {"relay_bytes", "Bytes of the datagrams the relay forwarded since the start.", true,
       f.relay.bytes},
      {"relay_refused",
       "Datagrams the relay dropped as unknown, forged, replayed from elsewhere or "
       "undeliverable.",
       true, f.relay.refused},
      {"relay_limited", "Datagrams the relay dropped over a rate limit.", true, f.relay.limited},
      {"clients_enrolled", "Clients in the store.", false, c.accounts},
      {"networks", "Networks in the store.", false, c.networks},
      {"enrolments_pending", "Keys waiting for an administrator's approval.", false, c.pending},
  };
}
