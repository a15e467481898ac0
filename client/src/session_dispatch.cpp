// Server frames: sending them, taking them apart and handing each to the
// handler of its type; what arrives on the UDP socket; udp.probe.
#include <arpa/inet.h>
#include <sys/socket.h>

#include "client/config.h"
#include "client/session.h"
#include "clisrv/server_msg.h"
#include "common/log.h"
#include "common/util.h"

bool session::send_msg(std::string &frame) {
  srv::frame_set_length(frame);
  frame.replace(4, 4, 4, '\0');
  if (mc) mc->protect(frame, false);
  const uint32_t connection = connection_count;
  int taken = pipe ? pipe->send(frame) : 0;
  // The pipe may have reported its own failure from inside send, which has
  // already taken us offline.
  if (connection != connection_count) return false;
  if (taken < 0 || static_cast<size_t>(taken) < frame.size()) {
    err_text = "write";
    err_detail = 0;
    report_error(ERR_connect);
    return false;
  }
  return true;
}

void session::on_data(std::string &frame) { dispatch(frame); }

void session::dispatch(std::string &frame) {
  // Nothing has been sent on this connection yet that the server could
  // answer; such a frame has no channel to belong to.
  if (!mc) return;
  // A frame recorded earlier on this connection and sent again fails here
  // like a forged one: the numbers of the server's frames only go up.
  if (!mc->unprotect_in_order(frame)) {
    report_error(ERR_crypto);
    return;
  }
  handle_frame(frame);
}

void session::dispatch_datagram(const uint8_t *buf, size_t len) {
  // Anyone can send a datagram with the channel identifier in front; one
  // that fails the channel's check is dropped here rather than taken for a
  // broken server connection. Before the keys there is nothing the server
  // would send this way.
  if (!mc || !mc->active()) return;
  std::string frame(reinterpret_cast<const char *>(buf), len);
  if (!mc->unprotect(frame)) {
    log_limited(udp_log.bad_server_frame, evl_now, "udp: failed to decrypt server frame", [&] {
      log_write("udp: failed to decrypt server frame from %s\n", endpoint_text(udp_from).c_str());
    });
    return;
  }
  // Datagrams may come late or twice, but each is taken once.
  if (!replay_accept(server_udp_window, mc->rx_seq)) {
    log_limited(udp_log.replayed_server_frame, evl_now, "udp: replayed server frame", [&] {
      log_write("udp: replayed server frame dropped - seq %u from %s\n", mc->rx_seq,
                endpoint_text(udp_from).c_str());
    });
    return;
  }
  handle_frame(frame);
}

void session::handle_frame(std::string &frame) {
  try {
    msg_reader r(frame);
    last_type = srv::frame_type(r);
    handler h = handler_for(last_type);
    if (!h) {
      log_write("ses: unhandled msg %u\n", last_type);
      return;
    }
    (this->*h)(r);
  } catch (const parser::err &) {
    report_error(ERR_parse);
  } catch (const bad_state &) {
    report_error(ERR_state);
  }
}

session::handler session::handler_for(uint32_t type) {
  switch (type) {
    case srv::MSG_helo: return &session::on_helo_ok;
    case srv::MSG_auth: return &session::on_auth_ok;
    case srv::MSG_enroll: return &session::on_enrl_ok;
    case srv::MSG_sync: return &session::on_sync_ok;
    case srv::MSG_create: return &session::on_create_reply;
    case srv::MSG_modify: return &session::on_modify_reply;
    case srv::MSG_delete: return &session::on_delete_reply;
    case srv::MSG_join: return &session::on_join_reply;
    case srv::MSG_netop: return &session::on_netop_reply;
    case srv::MSG_redirect: return &session::on_redirect;
    case srv::MSG_network: return &session::on_network;
    case srv::MSG_evicted: return &session::on_evicted;
    case srv::MSG_change: return &session::on_change_reply;
    case srv::MSG_discovery: return &session::on_disc_reply;
    case srv::MSG_punch: return &session::on_punch;
    case srv::MSG_udp_probe: return &session::on_udp_probe;
    case srv::MSG_peer: return &session::on_peer;
    case srv::MSG_info: return &session::on_info;
    default: return nullptr;
  }
}

uint8_t session::take_status(msg_reader &r) {
  last_status = r.get_u8();
  return last_status;
}

void session::must_end(const msg_reader &r) {
  if (!r.at_end()) throw parser::err();
}

// The server asks which public endpoint our last datagram came from as
// seen from here; the answer goes back over the connection.
void session::on_udp_probe(msg_reader &r) {
  srv::probe_ok_msg m;
  m.cookie = r.get_bytes(4);
  must_end(r);
  m.source.addr = ntohl(udp_from.sin_addr.s_addr);
  m.source.port = ntohs(udp_from.sin_port);
  std::string frame = srv::frame_begin(srv::MSG_udp_probe_ok);
  srv::put_probe_ok(frame, m);
  send_msg(frame);
}

// The UDP socket is the session's only watch; what arrives on it is the
// tunnel code's (session_tunnels.cpp), server frames by UDP included.
void session::on_event(evl_event *ev, int) {
  if (ev != &udp_sock || udp_sock.fd < 0) return;
  on_udp_readable();
  // Packets the tap held back to join them go before the loop waits.
  if (tap) tap->flush();
}
