// The user's network operations (create, delete, modify, join, netop) and
// nickname change, and their replies. Join and netop replies carry no
// network name: the names of the requests wait in `pending` and are taken
// off in order as the replies come.
#include "client/config.h"
#include "client/session.h"
#include "clisrv/server_msg.h"
#include "common/log.h"

namespace {

int length(const std::string &s) { return static_cast<int>(s.size()); }

}  // namespace

bool session::ready_for(const char *op, const std::string &name) {
  if (state == STATE_ready) return true;
  log_write("ses: %s.%.*s -- not ready\n", op, length(name), name.data());
  return false;
}

bool session::send_network_op(const char *op, const std::string &name, std::string &frame) {
  if (!send_msg(frame)) return false;
  log_write("ses: sent %s.%.*s\n", op, length(name), name.data());
  return true;
}

void session::create_network(const std::string &name, const std::string &password) {
  if (!ready_for("create", name)) return;
  srv::create_msg m;
  m.name = name;
  m.password = password;
  std::string frame = srv::frame_begin(srv::MSG_create);
  srv::put_create(frame, m);
  send_network_op("create", name, frame);
}

void session::delete_network(const std::string &name) {
  if (!ready_for("delete", name)) return;
  std::string frame = srv::frame_begin(srv::MSG_delete);
  put_str(frame, name);
  send_network_op("delete", name, frame);
}

void session::modify_network(const std::string &name, const std::string &modification) {
  if (!ready_for("modify", name)) return;
  srv::modify_msg m;
  m.name = name;
  m.record = modification;
  std::string frame = srv::frame_begin(srv::MSG_modify);
  srv::put_modify(frame, m);
  send_network_op("modify", name, frame);
}

void session::join_network(const std::string &name, const std::string &password) {
  if (!ready_for("join", name)) return;
  srv::join_msg m;
  m.name = name;
  m.password = password;
  std::string frame = srv::frame_begin(srv::MSG_join);
  srv::put_join(frame, m);
  if (send_network_op("join", name, frame)) pending.push_back(name);
}

// Allowed during sync too: that is when we go online again in the networks
// the user was online in.
void session::netop(const std::string &name, uint8_t op) {
  if (state != STATE_ready && state != STATE_sync) {
    log_write("ses: netop.%u.%.*s -- not ready\n", op, length(name), name.data());
    return;
  }
  srv::netop_msg m;
  m.name = name;
  m.op = op;
  std::string frame = srv::frame_begin(srv::MSG_netop);
  srv::put_netop(frame, m);
  if (!send_msg(frame)) return;
  pending.push_back(name);
  log_write("ses: sent netop.%u.%.*s\n", op, length(name), name.data());
}

// Before enrolment the name simply goes with the enroll message; after it,
// the server must agree, and until it has, the wish is kept in rename_to
// and asked for again at every login.
void session::set_nick(const std::string &nickname) {
  config &cfg = current_config;
  if (cfg.identity == 0) {
    cfg.nickname = nickname;
    save_state(cfg);
    log_write("ses: set_nick(%s) - pre-enroll\n", nickname.c_str());
    return;
  }
  cfg.rename_to = nickname;
  save_state(cfg);
  if (state != STATE_ready) {
    log_write("ses: set_nick(%s) - not online\n", nickname.c_str());
    return;
  }
  srv::change_msg m;
  m.what = srv::CHANGE_nickname;
  m.nickname = nickname;
  std::string frame = srv::frame_begin(srv::MSG_change);
  srv::put_change(frame, m);
  if (send_msg(frame)) log_write("ses: sent change.nick '%s'\n", nickname.c_str());
}

void session::on_create_reply(msg_reader &r) {
  uint8_t status = take_status(r);
  must_end(r);
  log_write("ses: received create.%u\n", status);
  if (cb) cb->on_create_result(status);
}

void session::on_delete_reply(msg_reader &r) {
  uint8_t status = take_status(r);
  must_end(r);
  log_write("ses: received delete.%u\n", status);
  if (cb) cb->on_delete_result(status);
}

void session::on_modify_reply(msg_reader &r) {
  uint8_t status = take_status(r);
  must_end(r);
  log_write("ses: received modify.%u\n", status);
  if (cb) cb->on_modify_result(status);
}

void session::on_join_reply(msg_reader &r) {
  uint8_t status = take_status(r);
  must_end(r);
  log_write("ses: received join.%u\n", status);
  std::string name;
  if (!pending.empty()) {
    name = pending.front();
    pending.pop_front();
  }
  // A successful join is followed by network messages that fill the tables.
  if (cb) cb->on_join_result(status, name);
}

void session::on_netop_reply(msg_reader &r) {
  config &cfg = current_config;
  srv::netop_reply_msg m;
  srv::get_netop_reply(r, m);
  last_status = m.status;
  must_end(r);
  log_write("ses: received netop.%u.%u\n", m.op, m.status);
  std::string name;
  if (pending.empty()) {
    log_write("ses: netop for unknown network !\n");
  } else {
    name = pending.front();
    pending.pop_front();
  }
  if (m.status == srv::STATUS_ok) {
    if (m.op == srv::NETOP_leave) {
      network *net = find_network(name, false);
      if (net) {
        drop_network(net);
      } else {
        log_write("ses: unknown network\n");
      }
    } else if ((m.op == srv::NETOP_offline || m.op == srv::NETOP_online) && !name.empty()) {
      // A reply we cannot match to a request changes nothing: an empty
      // name in the online set would only be written out and dropped again.
      if (m.op == srv::NETOP_online) {
        cfg.online_nets.insert(name);
      } else {
        cfg.online_nets.erase(name);
      }
      save_state(cfg);
      recheck_peers();
    }
  }
  if (cb) cb->on_netop_result(m.status, name, m.op);
}

void session::on_change_reply(msg_reader &r) {
  config &cfg = current_config;
  uint8_t status = take_status(r);
  must_end(r);
  log_write("ses: received change.%u\n", status);
  if (status == srv::STATUS_ok) cfg.nickname = cfg.rename_to;
  cfg.rename_to.clear();
  save_state(cfg);
}
