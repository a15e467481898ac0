// Network operations of a ready client: create, delete, evict (modify),
// join, go online / offline / leave (netop), nickname change and nickname
// look-up (info). Each refusal carries the result code the client's
// command line explains; each change is in the store before the client
// hears of it, and the other members hear of it through network messages.
// What costs the server (password hashes, presence changes, guesses) is
// paid from the budgets of budgets.cpp before it is done.
#include "cluster.h"
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

constexpr size_t MIN_NAME = 4;
constexpr size_t MAX_NAME = 64;

void reply_netop(connection &c, uint8_t op, uint8_t status) {
  std::string frame = srv::frame_begin(srv::MSG_netop);
  srv::put_netop_reply(frame, {op, status});
  c.send(frame);
}

void send_evicted(connection &c, const std::string &net) {
  std::string frame = srv::frame_begin(srv::MSG_evicted);
  put_str(frame, net);
  c.send(frame);
}

}  // namespace

void hub::on_create(connection &c, msg_reader &r) {
  srv::create_msg m;
  srv::get_create(r, m);
  if (!r.at_end()) throw parser::err();
  if (m.name.size() < MIN_NAME || m.name.size() > MAX_NAME || m.password.size() > MAX_PASSWORD)
    return c.send_status(srv::MSG_create, RESULT_invalid);
  // Every refusal that needs no hash comes before the hash.
  network_rec n;
  if (db->find_network(m.name, n)) return c.send_status(srv::MSG_create, srv::RESULT_name_taken);
  if (c.member_of.size() >= cfg.max_networks)
    return c.send_status(srv::MSG_create, srv::RESULT_too_many_networks);
  if (!may_hash(c)) return c.send_status(srv::MSG_create, srv::RESULT_too_fast);
  n.name = m.name;
  n.owner = c.identity;
  set_network_password(n, m.password, cfg.pbkdf2_iterations);
  store_result result = db->add_network(n);
  if (result == STORE_exists) return c.send_status(srv::MSG_create, srv::RESULT_name_taken);
  if (result != STORE_ok) return c.send_status(srv::MSG_create, RESULT_failed);
  log_write("srv: %s created %s\n", c.name().c_str(), escaped_text(m.name).c_str());
  c.send_status(srv::MSG_create, srv::STATUS_ok);
  add_membership(c, m.name);
  if (cl) cl->joined(m.name, c.identity);
}

void hub::on_delete(connection &c, msg_reader &r) {
  std::string name = r.get_str();
  if (!r.at_end()) throw parser::err();
  network_rec n;
  if (!db->find_network(name, n)) return c.send_status(srv::MSG_delete, srv::RESULT_delete_not_found);
  if (n.owner != c.identity) return c.send_status(srv::MSG_delete, srv::RESULT_not_owner);
  if (db->delete_network(name) != STORE_ok) return c.send_status(srv::MSG_delete, RESULT_failed);
  log_write("srv: %s deleted %s\n", c.name().c_str(), escaped_text(name).c_str());
  c.send_status(srv::MSG_delete, srv::STATUS_ok);
  drop_network(name);
}

void hub::drop_network(const std::string &net) {
  if (cl) cl->deleted(net);
  // Every member, the owner too, drops the network from its tables.
  auto it = watchers.find(net);
  std::vector<connection *> members;
  if (it != watchers.end()) members.assign(it->second.begin(), it->second.end());
  for (connection *m : members) {
    forget_membership(*m, net);
    send_evicted(*m, net);
  }
}

void hub::on_modify(connection &c, msg_reader &r) {
  srv::modify_msg m;
  srv::get_modify(r, m);
  network_rec n;
  if (!db->find_network(m.name, n)) return c.send_status(srv::MSG_modify, srv::RESULT_modify_not_found);
  uint32_t member = 0;
  if (!srv::parse_evict_record(m.record, member) || n.owner != c.identity || member == n.owner)
    return c.send_status(srv::MSG_modify, srv::RESULT_modify_denied);
  store_result result = db->remove_member(m.name, member);
  if (result == STORE_missing) return c.send_status(srv::MSG_modify, srv::RESULT_modify_not_found);
  if (result != STORE_ok) return c.send_status(srv::MSG_modify, RESULT_failed);
  log_write("srv: %s evicted %s from %s\n", c.name().c_str(), ip_to_text(member).c_str(),
            escaped_text(m.name).c_str());
  c.send_status(srv::MSG_modify, srv::STATUS_ok);
  drop_member(m.name, member);
}

void hub::drop_member(const std::string &net, uint32_t member) {
  if (cl) cl->removed(net, member);
  auto gone = by_identity.find(member);
  if (gone != by_identity.end() && gone->second->member_of.count(net)) {
    forget_membership(*gone->second, net);
    send_evicted(*gone->second, net);
  }
  tell_members(net, srv::NET_member_removed, member, nullptr);
}

void hub::on_join(connection &c, msg_reader &r) {
  srv::join_msg m;
  srv::get_join(r, m);
  if (!r.at_end()) throw parser::err();
  network_rec n;
  const bool found = db->find_network(m.name, n);
  if (found && n.owner == c.identity) return c.send_status(srv::MSG_join, srv::RESULT_join_owner);
  if (c.member_of.count(m.name)) return c.send_status(srv::MSG_join, srv::RESULT_already_member);
  if (db->is_banned(m.name, c.identity)) return c.send_status(srv::MSG_join, srv::RESULT_access_denied);
  if (c.member_of.size() >= cfg.max_networks)
    return c.send_status(srv::MSG_join, srv::RESULT_too_many_networks);
  if (!may_guess(c, m.name)) return c.send_status(srv::MSG_join, srv::RESULT_access_denied);
  if (!may_hash(c)) return c.send_status(srv::MSG_join, srv::RESULT_too_fast);
  // A name that does not exist costs the same hash and gets the same answer
  // as a wrong password: guessing tells nothing about which names exist.
  if (!found) n = decoy_network(cfg.pbkdf2_iterations);
  const bool right = password_matches(m.password, n);  // hashed either way
  if (!right || !found) {
    count_wrong_guess(c, m.name);
    return c.send_status(srv::MSG_join, srv::RESULT_bad_password);
  }
  if (db->members(m.name).size() >= cfg.max_members)
    return c.send_status(srv::MSG_join, srv::RESULT_network_full);
  store_result result = db->add_member(m.name, c.identity);
  if (result == STORE_exists) return c.send_status(srv::MSG_join, srv::RESULT_already_member);
  if (result != STORE_ok) return c.send_status(srv::MSG_join, RESULT_failed);
  log_write("srv: %s joined %s\n", c.name().c_str(), escaped_text(m.name).c_str());
  c.send_status(srv::MSG_join, srv::STATUS_ok);
  add_membership(c, m.name);
  tell_members(m.name, srv::NET_member_added, c.identity, &c);
  if (cl) cl->joined(m.name, c.identity);
}

void hub::on_netop(connection &c, msg_reader &r) {
  srv::netop_msg m;
  srv::get_netop(r, m);
  if (!r.at_end()) throw parser::err();
  if (m.op < srv::NETOP_online || m.op > srv::NETOP_leave) throw parser::err();
  network_rec n;
  if (!db->find_network(m.name, n)) return reply_netop(c, m.op, srv::RESULT_netop_not_found);
  if (!c.member_of.count(m.name)) return reply_netop(c, m.op, srv::RESULT_not_member);
  const bool is_online = c.online.count(m.name) != 0;
  switch (m.op) {
    case srv::NETOP_online:
      if (is_online) return reply_netop(c, m.op, srv::RESULT_already_online);
      // Over the budget the change is not made, and the client, told so in
      // the reply it waits for, keeps its tables as they are.
      if (!may_change_presence(c)) return reply_netop(c, m.op, srv::RESULT_too_fast);
      reply_netop(c, m.op, srv::STATUS_ok);
      go_online(c, m.name);
      return;
    case srv::NETOP_offline:
      if (!is_online) return reply_netop(c, m.op, srv::RESULT_already_offline);
      if (!may_change_presence(c)) return reply_netop(c, m.op, srv::RESULT_too_fast);
      reply_netop(c, m.op, srv::STATUS_ok);
      go_offline(c, m.name);
      return;
    default: {
      if (n.owner == c.identity) return reply_netop(c, m.op, srv::RESULT_owner_cannot_leave);
      store_result result = db->remove_member(m.name, c.identity);
      if (result != STORE_ok && result != STORE_missing)
        return reply_netop(c, m.op, RESULT_failed);
      log_write("srv: %s left %s\n", c.name().c_str(), escaped_text(m.name).c_str());
      reply_netop(c, m.op, srv::STATUS_ok);
      forget_membership(c, m.name);
      tell_members(m.name, srv::NET_member_removed, c.identity, &c);
      if (cl) cl->removed(m.name, c.identity);
      return;
    }
  }
}

void hub::on_change(connection &c, msg_reader &r) {
  srv::change_msg m;
  srv::get_change(r, m);
  if (!r.at_end()) throw parser::err();
  if (m.what != srv::CHANGE_nickname || m.nickname.size() > MAX_NICKNAME)
    return c.send_status(srv::MSG_change, RESULT_invalid);
  if (db->set_nickname(c.identity, m.nickname) != STORE_ok)
    return c.send_status(srv::MSG_change, RESULT_failed);
  log_write("srv: %s is now '%s'\n", c.name().c_str(), escaped_text(m.nickname).c_str());
  c.send_status(srv::MSG_change, srv::STATUS_ok);
}

void hub::on_info(connection &c, msg_reader &r) {
  srv::info_msg m;
  srv::get_info(r, m);
  if (!r.at_end()) throw parser::err();
  // Only about clients met in a common network.
  bool known = false;
  for (const std::string &net : c.member_of) {
    if (db->is_member(net, m.peer)) {
      known = true;
      break;
    }
  }
  account_rec a;
  std::string frame = srv::frame_begin(srv::MSG_info);
  put_u32(frame, m.peer);
  if (!known || m.attribute != srv::INFO_nickname || !db->find_account(m.peer, a)) {
    put_u8(frame, STATUS_not_found);
  } else {
    put_u8(frame, srv::STATUS_ok);
    put_u8(frame, srv::INFO_nickname);
    put_str(frame, a.nickname);
  }
  c.send(frame);
}
