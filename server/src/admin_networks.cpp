// The administration commands on networks: list, show, delete, set-owner,
// set-password, ban and unban (see admin_ops.h).
#include <map>
#include <set>

#include "admin_ops.h"
#include "common/util.h"
#include "hub.h"

using json = nlohmann::ordered_json;

namespace {

// Who is online in which network, asked of the running server once per
// client.
class presence_cache {
 public:
  explicit presence_cache(admin_live *live) : live(live) {}
  bool online_in(uint32_t identity, const std::string &net) {
    if (!live) return false;
    auto it = nets.find(identity);
    if (it == nets.end()) {
      client_presence p;
      std::set<std::string> in;
      if (live->presence(identity, p)) in.insert(p.online_in.begin(), p.online_in.end());
      it = nets.emplace(identity, std::move(in)).first;
    }
    return it->second.count(net) != 0;
  }

 private:
  admin_live *live;
  std::map<uint32_t, std::set<std::string>> nets;
};

json network_list(store &db, admin_live *live) {
  std::map<std::string, std::vector<uint32_t>> members;
  for (const membership_rec &m : db.memberships()) members[m.network].push_back(m.identity);
  presence_cache presence(live);
  json out = json::array();
  for (const network_rec &n : db.networks()) {
    size_t online = 0;
    for (uint32_t id : members[n.name]) online += presence.online_in(id, n.name);
    out.push_back({{"name", n.name},
                   {"owner", ip_to_text(n.owner)},
                   {"members", members[n.name].size()},
                   {"online", online}});
  }
  return admin_ok(out);
}

json network_show(const network_rec &n, store &db, admin_live *live) {
  presence_cache presence(live);
  json members = json::array(), banned = json::array();
  for (uint32_t id : db.members(n.name)) {
    account_rec a;
    db.find_account(id, a);
    members.push_back({{"address", ip_to_text(id)},
                       {"nickname", a.nickname},
                       {"online", presence.online_in(id, n.name)}});
  }
  for (uint32_t id : db.banned(n.name)) banned.push_back(ip_to_text(id));
  return admin_ok(
      {{"name", n.name}, {"owner", ip_to_text(n.owner)}, {"members", members}, {"banned", banned}});
}

json network_delete(const network_rec &n, store &db, admin_live *live) {
  const size_t members = db.members(n.name).size();
  if (db.delete_network(n.name) != STORE_ok)
    return admin_error("the store could not delete " + n.name);
  if (live) live->network_deleted(n.name);
  return admin_ok({{"name", n.name}, {"members", members}});
}

json network_set_password(network_rec n, const std::string &password, store &db, admin_live *live) {
  if (password.empty()) return admin_error("the new password is empty");
  if (password.size() > MAX_PASSWORD)
    return admin_error("the new password is longer than " + std::to_string(MAX_PASSWORD) +
                       " bytes");
  const uint32_t iterations =
      live ? live->password_iterations() : server_config().pbkdf2_iterations;
  set_network_password(n, password, iterations);
  if (db.set_password(n) != STORE_ok)
    return admin_error("the store could not change the password of " + n.name);
  return admin_ok({{"name", n.name}});
}

// The commands that name a network and a client.
json network_and_client(const admin_request &req, const network_rec &n, store &db,
                        admin_live *live) {
  const std::string &address = req.args[1];
  uint32_t id = 0;
  std::string error;
  account_rec a;
  if (!admin_address(address, id, error)) return admin_error(error);
  if (!db.find_account(id, a)) return admin_error("no client " + address);
  const json done = {{"name", n.name}, {"address", address}, {"nickname", a.nickname}};
  const bool banned = db.is_banned(n.name, id);

  if (req.command == "networks unban") {
    if (!banned) return admin_error(address + " is not banned from " + n.name);
    if (db.unban(n.name, id) != STORE_ok)
      return admin_error("the store could not unban " + address);
    return admin_ok(done);
  }
  if (req.command == "networks ban") {
    if (n.owner == id)
      return admin_error(address + " owns " + n.name + ": give it another owner first");
    if (banned) return admin_error(address + " is banned from " + n.name + " already");
    if (db.ban(n.name, id) != STORE_ok) return admin_error("the store could not ban " + address);
    if (live) live->member_banned(n.name, id);
    return admin_ok(done);
  }
  // set-owner
  if (banned) return admin_error(address + " is banned from " + n.name + "; unban it first");
  if (n.owner == id) return admin_ok(done);
  const bool joined = !db.is_member(n.name, id);
  if (db.set_owner(n.name, id) != STORE_ok)
    return admin_error("the store could not change the owner of " + n.name);
  if (live) live->owner_changed(n.name, id, joined);
  return admin_ok(done);
}

}  // namespace

json admin_network_command(const admin_request &req, store &db, admin_live *live) {
  const std::string &cmd = req.command;
  const size_t operands = req.args.size();
  if (cmd == "networks list" && operands == 0) return network_list(db, live);
  const bool one = operands == 1, two = operands == 2;
  const bool known =
      (one &&
       (cmd == "networks show" || cmd == "networks delete" || cmd == "networks set-password")) ||
      (two && (cmd == "networks set-owner" || cmd == "networks ban" || cmd == "networks unban"));
  if (!known) return admin_error("unknown command '" + cmd + "'");
  network_rec n;
  if (!db.find_network(req.args[0], n)) return admin_error("no network '" + req.args[0] + "'");
  if (cmd == "networks show") return network_show(n, db, live);
  if (cmd == "networks delete") return network_delete(n, db, live);
  if (cmd == "networks set-password") return network_set_password(n, req.password, db, live);
  return network_and_client(req, n, db, live);
}
