// One client connection: frames in (unprotected, checked against the login
// state, handed to the hub's handlers) and frames out (protected once the
// keys are set). Whatever a client sends that we cannot use ends only its
// own connection.
#include <arpa/inet.h>

#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

// Flood control: a burst of this many frames, refilled at this rate. A
// client that syncs many networks sends one go-online per network at once.
constexpr rate_limit FRAME_RATE = {500, 50};
// What a client may send ahead while the store works on its last request.
constexpr size_t MAX_HELD_FRAMES = 600;
constexpr size_t MAX_HELD_BYTES = 1 << 20;

}  // namespace

srv::endpoint endpoint_of(const sockaddr_in &sa) {
  srv::endpoint e;
  e.addr = ntohl(sa.sin_addr.s_addr);
  e.port = ntohs(sa.sin_port);
  return e;
}

connection::connection(hub &h, io_pipe *pipe, const sockaddr_in &peer, const sockaddr_in &local)
    : h(h), pipe(pipe), tcp_peer(endpoint_of(peer)), tcp_local(endpoint_of(local)),
      accepted_at(evl_now), last_heard(evl_now), frames(FRAME_RATE.burst, evl_now),
      presence_changes(0, evl_now) {}

connection::~connection() {
  if (pipe) pipe->close();
}

std::string connection::name() const {
  std::string text = identity ? ip_to_text(identity) + " (" : "(";
  return text + ip_to_text(tcp_peer.addr) + ":" + std::to_string(tcp_peer.port) + ")";
}

void connection::on_data(std::string &frame) {
  if (!waiting) return receive(frame);
  if (closing || state == CONN_done) return;
  held_bytes += frame.size();
  if (held.size() >= MAX_HELD_FRAMES || held_bytes > MAX_HELD_BYTES) {
    h.kill(this, "flooding");
    return;
  }
  held.push_back(std::move(frame));
}

void connection::resume() {
  while (!waiting && !closing && !held.empty()) {
    std::string frame = std::move(held.front());
    held.pop_front();
    held_bytes -= frame.size();
    receive(frame);
  }
}

void connection::on_closed() { h.kill(this, "closed by the client"); }

void connection::on_error(const char *context, int code) {
  std::string why = std::string(context) + " " + std::to_string(code);
  h.kill(this, why.c_str());
}

void connection::receive(std::string &frame) {
  if (closing || state == CONN_done) return;
  last_heard = evl_now;
  if (!frames.take(FRAME_RATE, evl_now)) {
    h.kill(this, "flooding");
    return;
  }
  // Before a login succeeds a stranger may send only what a login needs.
  if (unauthenticated && (prelogin_bytes += uint32_t(frame.size())) > h.cfg.prelogin_bytes) {
    h.kill(this, "too much before logging in");
    return;
  }
  // A frame must also come after the last one: a replayed frame ends the
  // connection like a forged one.
  if (!mc.unprotect_in_order(frame)) {
    h.kill(this, "frame failed its check");
    return;
  }
  msg_reader r(frame);
  uint8_t type = 0;
  try {
    type = srv::frame_type(r);
    dispatch(type, r);
  } catch (const parser::err &) {
    std::string why = "malformed message " + std::to_string(type);
    h.kill(this, why.c_str());
  } catch (const wrong_state &) {
    std::string why = "message " + std::to_string(type) + " in state " + std::to_string(state);
    h.kill(this, why.c_str());
  }
}

void connection::dispatch(uint8_t type, msg_reader &r) {
  auto need = [this](conn_state s) {
    if (state != s) throw wrong_state();
  };
  switch (type) {
    case srv::MSG_helo:
      need(CONN_helo);
      return h.on_helo(*this, r);
    case srv::MSG_enroll:
      need(CONN_login);
      return h.on_enroll(*this, r);
    case srv::MSG_auth:
      need(CONN_login);
      return h.on_auth(*this, r);
    case srv::MSG_discovery:
      need(CONN_discovery);
      return h.on_discovery(*this, r);
    case srv::MSG_sync:
      need(CONN_conf);
      return h.on_sync(*this, r);
    case srv::MSG_keepalive:
      need(CONN_ready);
      if (!r.at_end()) throw parser::err();
      return;
    case srv::MSG_udp_probe_ok: {
      // We do not probe; an answer is read and let go.
      if (state == CONN_helo) throw wrong_state();
      srv::probe_ok_msg m;
      srv::get_probe_ok(r, m);
      if (!r.at_end()) throw parser::err();
      return;
    }
    default:
      break;
  }
  need(CONN_ready);
  switch (type) {
    case srv::MSG_create:
      return h.on_create(*this, r);
    case srv::MSG_delete:
      return h.on_delete(*this, r);
    case srv::MSG_modify:
      return h.on_modify(*this, r);
    case srv::MSG_join:
      return h.on_join(*this, r);
    case srv::MSG_netop:
      return h.on_netop(*this, r);
    case srv::MSG_change:
      return h.on_change(*this, r);
    case srv::MSG_info:
      return h.on_info(*this, r);
    default:
      throw parser::err();  // not a message a client sends
  }
}

bool connection::send(std::string &frame) {
  if (closing) return false;
  if (remote_server) {
    if (capture) outbox.push_back(frame);
    return true;
  }
  mc.protect(frame, false);
  if (!pipe) {
    outbox.push_back(frame);
    return true;
  }
  // A short send comes with an "overflow" report, which kills us.
  return pipe->send(frame) == int(frame.size()) && !closing;
}

void connection::send_status(uint8_t type, uint8_t status) {
  std::string frame = srv::frame_begin(type);
  put_u8(frame, status);
  send(frame);
}
