// Network operations of a ready client: create, delete, evict (modify),
// join, go online / offline / leave (netop), nickname change and nickname
// look-up (info). Each refusal carries the result code the client's
// command line explains; each change is in the store before the client
// hears of it, and the other members hear of it through network messages.
// What costs the server (password hashes, presence changes, guesses) is
// paid from the budgets of budgets.cpp before it is done.
//
// The store's part of each runs on the store's worker (store_worker.h);
// what the client and the other members hear is decided back on the
// hub's thread. A client gone meanwhile still has its stored change told
// to the others.
#include <memory>

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

// For log lines: the connection's name, or the identity once it is gone.
std::string name_of(const connection *c, uint32_t identity) {
  return c ? c->name() : ip_to_text(identity);
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
  auto taken = std::make_shared<bool>(false);
  ask_store(c, [taken, m](store &db) {
    network_rec n;
    *taken = db.find_network(m.name, n);
  }, [this, taken, m](connection *c) {
    if (!c) return;
    if (*taken) return c->send_status(srv::MSG_create, srv::RESULT_name_taken);
    if (c->member_of.size() >= cfg.max_networks)
      return c->send_status(srv::MSG_create, srv::RESULT_too_many_networks);
    if (!may_hash(*c)) return c->send_status(srv::MSG_create, srv::RESULT_too_fast);
    store_network(*c, m);
  });
}

void hub::store_network(connection &c, const srv::create_msg &m) {
  auto result = std::make_shared<store_result>(STORE_error);
  const uint32_t owner = c.identity;
  const uint32_t iterations = cfg.pbkdf2_iterations;
  ask_store(c, [result, m, owner, iterations](store &db) {
    network_rec n;
    n.name = m.name;
    n.owner = owner;
    set_network_password(n, m.password, iterations);
    *result = db.add_network(n);
  }, [this, result, m, owner](connection *c) {
    if (*result == STORE_exists) {
      if (c) c->send_status(srv::MSG_create, srv::RESULT_name_taken);
      return;
    }
    if (*result != STORE_ok) {
      if (c) c->send_status(srv::MSG_create, RESULT_failed);
      return;
    }
    log_write("srv: %s created %s\n", name_of(c, owner).c_str(), escaped_text(m.name).c_str());
    if (c) {
      c->send_status(srv::MSG_create, srv::STATUS_ok);
      network_snapshot view;
      view.found = true;
      view.owner = owner;
      view.members = {owner};
      add_membership(*c, m.name, view);
    }
    if (cl) cl->joined(m.name, owner);
  });
}

void hub::on_delete(connection &c, msg_reader &r) {
  std::string name = r.get_str();
  if (!r.at_end()) throw parser::err();
  auto status = std::make_shared<uint8_t>(srv::STATUS_ok);
  const uint32_t who = c.identity;
  ask_store(c, [status, name, who](store &db) {
    network_rec n;
    if (!db.find_network(name, n)) *status = srv::RESULT_delete_not_found;
    else if (n.owner != who) *status = srv::RESULT_not_owner;
    else if (db.delete_network(name) != STORE_ok) *status = RESULT_failed;
  }, [this, status, name, who](connection *c) {
    if (c) c->send_status(srv::MSG_delete, *status);
    if (*status != srv::STATUS_ok) return;
    log_write("srv: %s deleted %s\n", name_of(c, who).c_str(), escaped_text(name).c_str());
    drop_network(name);
  });
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
  auto status = std::make_shared<uint8_t>(srv::STATUS_ok);
  auto member = std::make_shared<uint32_t>(0);
  const uint32_t who = c.identity;
  ask_store(c, [status, member, m, who](store &db) {
    network_rec n;
    if (!db.find_network(m.name, n)) {
      *status = srv::RESULT_modify_not_found;
      return;
    }
    if (!srv::parse_evict_record(m.record, *member) || n.owner != who || *member == n.owner) {
      *status = srv::RESULT_modify_denied;
      return;
    }
    store_result result = db.remove_member(m.name, *member);
    if (result == STORE_missing) *status = srv::RESULT_modify_not_found;
    else if (result != STORE_ok) *status = RESULT_failed;
  }, [this, status, member, m, who](connection *c) {
    if (c) c->send_status(srv::MSG_modify, *status);
    if (*status != srv::STATUS_ok) return;
    log_write("srv: %s evicted %s from %s\n", name_of(c, who).c_str(),
              ip_to_text(*member).c_str(), escaped_text(m.name).c_str());
    drop_member(m.name, *member);
  });
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
  auto n = std::make_shared<network_rec>();
  auto found = std::make_shared<bool>(false);
  auto banned = std::make_shared<bool>(false);
  const uint32_t who = c.identity;
  ask_store(c, [n, found, banned, m, who](store &db) {
    *found = db.find_network(m.name, *n);
    *banned = db.is_banned(m.name, who);
  }, [this, n, found, banned, m](connection *c) {
    if (!c) return;
    if (*found && n->owner == c->identity)
      return c->send_status(srv::MSG_join, srv::RESULT_join_owner);
    if (c->member_of.count(m.name)) return c->send_status(srv::MSG_join, srv::RESULT_already_member);
    if (*banned) return c->send_status(srv::MSG_join, srv::RESULT_access_denied);
    if (c->member_of.size() >= cfg.max_networks)
      return c->send_status(srv::MSG_join, srv::RESULT_too_many_networks);
    if (!may_guess(*c, m.name)) return c->send_status(srv::MSG_join, srv::RESULT_access_denied);
    if (!may_hash(*c)) return c->send_status(srv::MSG_join, srv::RESULT_too_fast);
    // A name that does not exist costs the same hash and gets the same
    // answer as a wrong password: guessing tells nothing about which names
    // exist.
    if (!*found) *n = decoy_network(cfg.pbkdf2_iterations);
    admit_member(*c, m, *n, *found);
  });
}

void hub::admit_member(connection &c, const srv::join_msg &m, const network_rec &n, bool found) {
  struct outcome {
    bool right = false;
    uint8_t status = srv::STATUS_ok;
    network_snapshot view;
  };
  auto out = std::make_shared<outcome>();
  const uint32_t who = c.identity;
  const size_t max_members = cfg.max_members;
  ask_store(c, [out, m, n, found, who, max_members](store &db) {
    out->right = password_matches(m.password, n) && found;  // hashed either way
    if (!out->right) return;
    if (db.members(m.name).size() >= max_members) {
      out->status = srv::RESULT_network_full;
      return;
    }
    store_result result = db.add_member(m.name, who);
    if (result == STORE_exists) out->status = srv::RESULT_already_member;
    else if (result != STORE_ok) out->status = RESULT_failed;
    else out->view = read_network(db, m.name);
  }, [this, out, m, who](connection *c) {
    if (!out->right) {
      if (!c) return;
      count_wrong_guess(*c, m.name);
      return c->send_status(srv::MSG_join, srv::RESULT_bad_password);
    }
    if (c) c->send_status(srv::MSG_join, out->status);
    if (out->status != srv::STATUS_ok) return;
    log_write("srv: %s joined %s\n", name_of(c, who).c_str(), escaped_text(m.name).c_str());
    if (c) add_membership(*c, m.name, out->view);
    tell_members(m.name, srv::NET_member_added, who, c);
    if (cl) cl->joined(m.name, who);
  });
}

void hub::on_netop(connection &c, msg_reader &r) {
  srv::netop_msg m;
  srv::get_netop(r, m);
  if (!r.at_end()) throw parser::err();
  if (m.op < srv::NETOP_online || m.op > srv::NETOP_leave) throw parser::err();
  // Going online or offline in a network of ours needs nothing from the
  // store (a deleted network is forgotten by every member at once), so
  // presence keeps moving while the store is slow.
  if (m.op != srv::NETOP_leave && c.member_of.count(m.name)) return change_presence(c, m);
  // Whether the network exists, and a leave decided and stored in one go.
  auto status = std::make_shared<uint8_t>(srv::STATUS_ok);
  const uint32_t who = c.identity;
  const bool member = c.member_of.count(m.name) != 0;
  ask_store(c, [status, m, who, member](store &db) {
    network_rec n;
    if (!db.find_network(m.name, n)) *status = srv::RESULT_netop_not_found;
    else if (!member) *status = srv::RESULT_not_member;
    else if (n.owner == who) *status = srv::RESULT_owner_cannot_leave;
    else {
      store_result result = db.remove_member(m.name, who);
      if (result != STORE_ok && result != STORE_missing) *status = RESULT_failed;
    }
  }, [this, status, m, who](connection *c) {
    if (m.op != srv::NETOP_leave || *status != srv::STATUS_ok) {
      if (c) reply_netop(*c, m.op, *status);
      return;
    }
    log_write("srv: %s left %s\n", name_of(c, who).c_str(), escaped_text(m.name).c_str());
    if (c) {
      reply_netop(*c, m.op, srv::STATUS_ok);
      forget_membership(*c, m.name);
    }
    tell_members(m.name, srv::NET_member_removed, who, c);
    if (cl) cl->removed(m.name, who);
  });
}

void hub::change_presence(connection &c, const srv::netop_msg &m) {
  const bool is_online = c.online.count(m.name) != 0;
  if (m.op == srv::NETOP_online) {
    if (is_online) return reply_netop(c, m.op, srv::RESULT_already_online);
    // Over the budget the change is not made, and the client, told so in
    // the reply it waits for, keeps its tables as they are.
    if (!may_change_presence(c)) return reply_netop(c, m.op, srv::RESULT_too_fast);
    reply_netop(c, m.op, srv::STATUS_ok);
    go_online(c, m.name);
    return;
  }
  if (!is_online) return reply_netop(c, m.op, srv::RESULT_already_offline);
  if (!may_change_presence(c)) return reply_netop(c, m.op, srv::RESULT_too_fast);
  reply_netop(c, m.op, srv::STATUS_ok);
  go_offline(c, m.name);
}

void hub::on_change(connection &c, msg_reader &r) {
  srv::change_msg m;
  srv::get_change(r, m);
  if (!r.at_end()) throw parser::err();
  if (m.what != srv::CHANGE_nickname || m.nickname.size() > MAX_NICKNAME)
    return c.send_status(srv::MSG_change, RESULT_invalid);
  auto result = std::make_shared<store_result>(STORE_error);
  const uint32_t who = c.identity;
  ask_store(c, [result, m, who](store &db) { *result = db.set_nickname(who, m.nickname); },
            [result, m](connection *c) {
              if (!c) return;
              if (*result != STORE_ok) return c->send_status(srv::MSG_change, RESULT_failed);
              log_write("srv: %s is now '%s'\n", c->name().c_str(),
                        escaped_text(m.nickname).c_str());
              c->send_status(srv::MSG_change, srv::STATUS_ok);
            });
}

void hub::on_info(connection &c, msg_reader &r) {
  srv::info_msg m;
  srv::get_info(r, m);
  if (!r.at_end()) throw parser::err();
  // Only about clients met in a common network.
  auto nickname = std::make_shared<std::string>();
  auto found = std::make_shared<bool>(false);
  const std::set<std::string> nets = c.member_of;
  ask_store(c, [nickname, found, nets, m](store &db) {
    bool known = false;
    for (const std::string &net : nets) {
      if (db.is_member(net, m.peer)) {
        known = true;
        break;
      }
    }
    account_rec a;
    if (!known || m.attribute != srv::INFO_nickname || !db.find_account(m.peer, a)) return;
    *found = true;
    *nickname = a.nickname;
  }, [nickname, found, m](connection *c) {
    if (!c) return;
    std::string frame = srv::frame_begin(srv::MSG_info);
    put_u32(frame, m.peer);
    if (!*found) {
      put_u8(frame, STATUS_not_found);
    } else {
      put_u8(frame, srv::STATUS_ok);
      put_u8(frame, srv::INFO_nickname);
      put_str(frame, *nickname);
    }
    c->send(frame);
  });
}
