// A client without a socket, for driving the server's connection object in
// the same process (fuzz target, timeout tests): it frames and protects
// messages, feeds them to connection::receive, and reads the connection's
// outbox. Just enough of a client to log in.
#pragma once

#include <arpa/inet.h>

#include <string>

#include "clisrv/msg_crypto.h"
#include "clisrv/server_msg.h"
#include "hub.h"

inline sockaddr_in loopback_addr(uint16_t port) {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

struct inproc_client {
  msg_crypto_v2 mc;
  connection *c = nullptr;

  // A new connection of `h` from 127.0.0.1:40000, not yet logged in.
  connection *attach(hub &h) {
    c = new connection(h, nullptr, loopback_addr(40000), loopback_addr(12975));
    h.adopt(c);
    return c;
  }
  // The last frame of `type` the server sent, unprotected; the outbox is
  // emptied.
  bool reply(uint8_t type, std::string &frame) {
    bool found = false;
    for (std::string f : c->outbox) {
      if (mc.unprotect(f) && f.size() > 9 && uint8_t(f[8]) == type) {
        frame = f;
        found = true;
      }
    }
    c->outbox.clear();
    return found;
  }
  // `message` is the type byte and the body.
  void feed(const std::string &message) {
    std::string frame = std::string(8, '\0') + message;
    mc.protect(frame, false);
    hub &h = c->h;
    c->on_data(frame);
    h.jobs->settle();  // the store's part of the answer
  }
  bool helo(const std::string &fingerprint) {
    mc.make_local();
    std::string m(1, char(srv::MSG_helo));
    srv::put_helo(m, {srv::PROTOCOL_VERSION, fingerprint, mc.nx, mc.gx});
    feed(m);
    std::string frame;
    if (!reply(srv::MSG_helo, frame)) return false;
    msg_reader r(frame);
    srv::frame_type(r);
    if (r.get_u8() != srv::STATUS_ok) return false;
    srv::helo_ok_msg ok;
    srv::get_helo_ok(r, ok);
    mc.ny = ok.nonce;
    mc.gy = ok.dh_value;
    mc.derive_keys(true, false);
    return true;
  }
  // Sends `message` and checks for a reply of `type` with status ok.
  bool step(const std::string &message, uint8_t type) {
    feed(message);
    std::string frame;
    return reply(type, frame) && uint8_t(frame[9]) == srv::STATUS_ok;
  }
  bool enroll(const rsa_public_key &key) {
    std::string m(1, char(srv::MSG_enroll));
    srv::enroll_msg e;
    e.key = key;
    e.nickname = "inproc";
    srv::put_enroll(m, e);
    return step(m, srv::MSG_enroll);
  }
  bool discovery(uint32_t addr, uint16_t port) {
    std::string m(1, char(srv::MSG_discovery));
    srv::put_endpoint(m, {addr, port});
    feed(m);
    return true;
  }
  bool sync() {
    std::string m(1, char(srv::MSG_sync));
    put_u32(m, 0);
    return step(m, srv::MSG_sync);
  }
};
