// The daemon's side of the control socket. Requests run against the
// session at once; refusals for want of a login are silent because the
// client checks the state itself before it asks. Session callbacks can come
// in the middle of a request (a login first takes the session offline) and
// are passed on in the order they happen.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "client/config.h"
#include "client/control.h"
#include "client/control_msg.h"
#include "client/session.h"
#include "common/log.h"
#include "common/util.h"
#include "ipclib/ipc.h"

namespace {

class ipc_srv final : public ipc_cb, public session_cb {
 public:
  // ipc_cb
  void on_open() override;
  void on_close() override { connected = false; }
  void on_message(const std::string &message) override;

  // session_cb
  void on_state_change(uint32_t state, uint8_t sub) override;
  void on_session_error(uint32_t kind) override;
  void on_create_result(uint8_t status) override { send_result(IPC_create_result, status); }
  void on_delete_result(uint8_t status) override { send_result(IPC_delete_result, status); }
  void on_modify_result(uint8_t status) override { send_result(IPC_modify_result, status); }
  void on_join_result(uint8_t status, const std::string &name) override;
  void on_netop_result(uint8_t status, const std::string &name, uint8_t op) override;

  bool connected = false;  // a client is there to hear notifications
  session *ses = nullptr;

 private:
  void run(const ipc_request &r);
  void send_listing();
  void send_inspection();
  void send_tables(uint8_t network_code, uint8_t member_code, uint8_t end_code);
  void ask_nicknames();
  void send_result(uint8_t code, uint8_t result);
  // Quietly drops the reply when no client is connected, also when the
  // connection ended during an earlier send of the same request.
  void send(const ipc_reply &reply) {
    if (connected) ipc_send(encode_reply(reply));
  }
};

ipc_srv control;

void ipc_srv::on_open() {
  connected = true;
  const config &cfg = current_config;
  ipc_reply r;
  r.code = IPC_status;
  r.version = cfg.version;
  r.pid = static_cast<uint32_t>(getpid());
  r.state = ses->state;
  r.sub = ses->sub;
  r.reconnect = ses->reconnect;
  r.nickname = cfg.nickname;
  r.rename_to = cfg.rename_to;
  send(r);
}

void ipc_srv::on_message(const std::string &message) {
  ipc_request r;
  if (!decode_request(message, r)) {
    log_write("ipc: invalid or unrecognized request\n");
    return;
  }
  // Whatever a handler lets through must not take the daemon down.
  try {
    run(r);
  } catch (...) {
    log_write("ipc: invalid or unrecognized request\n");
  }
}

void ipc_srv::run(const ipc_request &r) {
  const int name_len = static_cast<int>(r.name.size());
  const char *name = r.name.data();
  const bool ready = ses->state == STATE_ready;
  switch (r.code) {
    case IPC_shutdown:
      log_write("ipc: shutdown\n");
      ses->running = false;
      break;
    case IPC_login:
      log_write("ipc: login %s\n", r.retry ? "(retry)" : "");
      if (ses->state != STATE_offline) ses->go_offline();
      ses->set_reconn(r.retry != 0);
      ses->go_online();
      break;
    case IPC_logout:
      log_write("ipc: logout\n");
      ses->set_reconn(false);
      if (ses->state != STATE_offline) ses->go_offline();
      break;
    case IPC_create:
      log_write("ipc: create %.*s\n", name_len, name);
      if (ready) ses->create_network(r.name, r.password);
      break;
    case IPC_delete:
      log_write("ipc: delete %.*s\n", name_len, name);
      if (ready) ses->delete_network(r.name);
      break;
    case IPC_modify:
      log_write("ipc: modify %.*s\n", name_len, name);
      if (ready) ses->modify_network(r.name, r.modification);
      break;
    case IPC_join:
      log_write("ipc: join %.*s\n", name_len, name);
      if (ready) ses->join_network(r.name, r.password);
      break;
    case IPC_netop:
      log_write("ipc: netop.%u %.*s\n", unsigned(r.op), name_len, name);
      if (ready) ses->netop(r.name, r.op);
      break;
    case IPC_state:
      log_write("ipc: state\n");
      send_listing();
      break;
    case IPC_set_nick:
      log_write("ipc: set_nick(%s)\n", r.nickname.c_str());
      ses->set_nick(r.nickname);
      break;
    case IPC_resolve:
      log_write("ipc: resolve\n");
      ask_nicknames();
      break;
    case IPC_kill_io:
      log_write("ipc: kill_io\n");
      break;
    case IPC_inspect:
      log_write("ipc: inspect\n");
      send_inspection();
      break;
  }
}

// Milliseconds from `stamp` to now; AGE_never when nothing was stamped.
uint32_t age(bool stamped, uint32_t stamp) {
  if (!stamped) return AGE_never;
  return std::min<uint32_t>(evl_now - stamp, AGE_never - 1);
}

tunnel_report report_of(const tunnel &t) {
  tunnel_report r;
  r.tx_packets = t.tx_count;
  r.tx_bytes = t.tx_bytes;
  r.rx_packets = t.rx_count;
  r.rx_bytes = t.rx_bytes;
  r.auth_failed = t.auth_failed;
  r.replayed = t.replayed;
  r.shaper_dropped = t.shaper_dropped;
  r.bad_packets = t.bad_packets;
  r.last_rx_age = age(t.rx_count != 0, t.last_rx);
  r.last_keepalive_age = age(t.keepalives_rx != 0, t.last_keepalive_rx);
  return r;
}

// Like the listing, with what the listing leaves out; every message goes
// out before the loop runs again, so the answer is one moment's state.
void ipc_srv::send_inspection() {
  const config &cfg = current_config;
  ipc_reply self;
  self.code = IPC_inspect_self;
  self.identity = cfg.identity;
  self.nickname = cfg.nickname;
  self.state = ses->state;
  self.sub = ses->sub;
  self.reconnect = ses->reconnect;
  // Once looked up (or redirected), the address in use; the name before.
  if (ses->state > STATE_resolve && ses->server_addr.sin_addr.s_addr != 0) {
    self.server = ip_to_text(ntohl(ses->server_addr.sin_addr.s_addr));
    self.server_port = ntohs(ses->server_addr.sin_port);
  } else {
    self.server = cfg.server_host;
    self.server_port = static_cast<uint16_t>(cfg.server_port);
  }
  if (ses->tap) self.interface = ses->tap->name;
  send(self);
  send_tables(IPC_inspect_network, IPC_inspect_member, IPC_inspect_end);
}

void ipc_srv::send_listing() { send_tables(IPC_network, IPC_member, IPC_list_end); }

// Each network, then its members, then the end, in the codes of the
// listing or of the inspection; each code carries the fields it needs.
void ipc_srv::send_tables(uint8_t network_code, uint8_t member_code, uint8_t end_code) {
  const config &cfg = current_config;
  for (network *n : ses->networks) {
    ipc_reply net;
    net.code = network_code;
    net.name = n->name;
    net.owner = n->owner;
    net.online = cfg.online_nets.count(n->name) ? 1 : 0;
    send(net);
    for (peer *p : n->members) {
      ipc_reply m;
      m.code = member_code;
      m.addr = p->vip;
      m.nickname = p->nickname;
      m.online = p->online_in.count(n) ? 1 : 0;
      m.reported = p->server_reported;
      if (tunnel *t = ses->find_tunnel(p->vip)) {
        m.has_tunnel = 1;
        m.tunnel_addr = t->addr;
        m.tunnel_port = t->port;
        m.tunnel = report_of(*t);
      }
      send(m);
    }
  }
  ipc_reply end;
  end.code = end_code;
  send(end);
}

void ipc_srv::ask_nicknames() {
  // A failed send takes the session offline, which may empty the peer
  // list; so the addresses are taken first.
  std::vector<uint32_t> unnamed;
  for (peer *p : ses->peers)
    if (p->nickname.empty()) unnamed.push_back(p->vip);
  for (uint32_t vip : unnamed) ses->request_nick(vip);
}

void ipc_srv::on_state_change(uint32_t state, uint8_t sub) {
  ipc_reply r;
  r.code = IPC_state_change;
  r.state = state;
  r.sub = sub;
  r.last_status = ses ? ses->last_status : 0;
  send(r);
}

void ipc_srv::on_session_error(uint32_t kind) {
  ipc_reply r;
  r.code = IPC_error;
  r.kind = kind;
  if (ses) {
    r.text = ses->err_text;
    r.detail = ses->err_detail;
    r.last_status = ses->last_status;
  }
  send(r);
}

void ipc_srv::send_result(uint8_t code, uint8_t result) {
  ipc_reply r;
  r.code = code;
  r.result = result;
  send(r);
}

void ipc_srv::on_join_result(uint8_t status, const std::string &name) {
  ipc_reply r;
  r.code = IPC_join_result;
  r.name = name;
  r.result = status;
  send(r);
}

void ipc_srv::on_netop_result(uint8_t status, const std::string &name, uint8_t op) {
  ipc_reply r;
  r.code = IPC_netop_result;
  r.name = name;
  r.op = op;
  r.result = status;
  send(r);
}

}  // namespace

session_cb *control_callbacks() { return &control; }

bool start_control_server(session *s) {
  if (!s) {
    QUILMAR_ASSERT(s);
    return false;
  }
  control.ses = s;
  ipc_set_path(current_config.ipc_path);
  return ipc_listen(&control);
}
