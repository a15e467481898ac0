// Peer tunnels over UDP: the tunnel records and their tables, what arrives
// on the UDP socket (tunnel datagrams, and server frames sent by UDP), the
// send path and the tunnel keep-alive. The socket's batches and offloads
// are in session_udp.cpp. Datagrams are checked and taken
// apart where they were received; nothing is allocated per datagram.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "client/config.h"
#include "client/session.h"
#include "clisrv/server_msg.h"
#include "common/log.h"
#include "common/util.h"

namespace {

// A datagram no longer than the protection's header and trailer carries
// nothing.
const size_t MIN_DATAGRAM = 29;

}  // namespace

tunnel *session::find_tunnel_by_spi(uint32_t spi) {
  auto it = tunnels_by_spi.find(spi);
  return it == tunnels_by_spi.end() ? nullptr : it->second;
}

void session::add_tunnel(tunnel *t) {
  log_write("ses: adding tunnel for %s\n", ip_to_text(t->peer_addr).c_str());
  tunnels.push_back(t);
  tunnels_by_addr[t->peer_addr] = t;
  tunnels_by_spi[t->mc->in_spi] = t;
}

// The tunnel side of a peer.ok; the old tunnel to the peer is gone already.
void session::on_peer_ok(uint32_t vip, const srv::peer_ok_msg &m) {
  tunnel *t = new tunnel;
  t->peer_addr = vip;
  t->addr = m.public_endpoint.addr;
  t->port = m.public_endpoint.port;
  t->mc = new msg_crypto_v2();
  if (!t->mc->set_keys(m.keymat, false)) {
    log_write("ses: no enough keymat (%u)\n", static_cast<unsigned>(m.keymat.size()));
    delete t->mc;
    delete t;
    return;
  }
  t->mc->out_spi = m.spi_out;
  t->mc->in_spi = m.spi_in;
  add_tunnel(t);
}

// Every line a datagram can cause here is limited (session.h says per
// what): whoever can send us datagrams must not be able to fill the log.
void session::on_datagram(uint8_t *buf, size_t len) {
  if (len < MIN_DATAGRAM) return;
  const uint32_t spi = get_be32(buf);
  if (mc && spi == mc->out_spi) {
    dispatch_datagram(buf, len);
    return;
  }

  tunnel *t = find_tunnel_by_spi(spi);
  if (!t) {
    log_limited(udp_log.unknown_spi, evl_now, "udp: unknown spi", [&] {
      log_write("udp: unknown spi %08x from %s\n", spi, endpoint_text(udp_from).c_str());
    });
    return;
  }
  size_t size = len;
  if (!t->mc->unprotect(buf, size)) {
    t->auth_failed++;
    log_limited(udp_log.bad_datagram, evl_now, "udp: failed to decrypt", [&] {
      log_write("udp: failed to decrypt - spi %s, addr %s, tun %s:%u\n",
                ip_to_text(t->peer_addr).c_str(), endpoint_text(udp_from).c_str(),
                ip_to_text(t->addr).c_str(), t->port);
    });
    return;
  }
  if (!replay_accept(t->rx_window, t->mc->rx_seq)) {
    t->replayed++;
    uint32_t held_back;
    // The line carries its own count.
    if (log_limit_pass(t->log.replay, evl_now, held_back))
      log_write("udp: replayed datagram dropped - spi %s, addr %s, seq %u, %u so far\n",
                ip_to_text(t->peer_addr).c_str(), endpoint_text(udp_from).c_str(),
                t->mc->rx_seq, t->replayed);
    return;
  }
  const uint8_t protocol = size > P2P_HEADER ? buf[P2P_HEADER] : 0;

  if (ntohl(udp_from.sin_addr.s_addr) != t->addr || ntohs(udp_from.sin_port) != t->port)
    log_limited(t->log.addr_change, evl_now, "udp: tunnel addr change", [&] {
      log_write("udp: tunnel addr change for %s from %s:%u to %s\n",
                ip_to_text(t->peer_addr).c_str(), ip_to_text(t->addr).c_str(), t->port,
                endpoint_text(udp_from).c_str());
    });
  t->last_rx = evl_now;
  t->rx_count++;
  t->rx_bytes += len;

  switch (protocol) {
    case P2P_IP4:
      deliver_ip4(t, buf + P2P_HEADER + 1, size - P2P_HEADER - 1);
      break;
    case P2P_RESERVED_81:
    case P2P_RESERVED_85:
      break;
    case P2P_KEEPALIVE:
      t->keepalives_rx++;
      t->last_keepalive_rx = evl_now;
      log_limited(t->log.keepalive, evl_now, "udp: tunnel keepalive <<", [&] {
        log_write("udp: tunnel keepalive << %s\n", ip_to_text(t->peer_addr).c_str());
      });
      break;
    default:
      t->bad_packets++;
      log_unsupported(t, protocol, buf, size);
      break;
  }
}

// A message without even a protocol number is taken as protocol 0.
void session::log_unsupported(tunnel *t, uint8_t protocol, const uint8_t *frame, size_t size) {
  log_limited(t->log.unsupported, evl_now, "udp: unsupported p2p protocol", [&] {
    if (size <= P2P_HEADER) log_write("assert pkt.size() > 8 in %s:%d\n", __FILE__, __LINE__);
    log_write("udp: unsupported p2p protocol %u from %s\n", protocol,
              ip_to_text(t->peer_addr).c_str());
    const std::string bytes(reinterpret_cast<const char *>(frame), size < 256 ? size : 256);
    log_write("pkt: %s\n", hex_text(bytes, 256).c_str());
  });
}

bool session::send_to_peer(const uint8_t *payload, size_t len, tunnel *t, bool shaped) {
  if (len > sizeof tx_scratch - P2P_HEADER - MSG_CRYPTO_GROWTH) return false;
  memset(tx_scratch, 0, P2P_HEADER);
  memcpy(tx_scratch + P2P_HEADER, payload, len);
  return send_frame(tx_scratch, P2P_HEADER + len, sizeof tx_scratch, t, shaped);
}

bool session::send_frame(uint8_t *frame, size_t len, size_t room, tunnel *t, bool shaped) {
  if (!(t && t->mc)) {
    QUILMAR_ASSERT(t && t->mc);
    return false;
  }
  const size_t total = t->mc->protect(frame, len, room, true);
  if (total == 0) return false;
  // The sequence number is used up either way; the peer does not mind gaps.
  if (shaped && !admit(tx_shaper, static_cast<uint32_t>(len - P2P_HEADER))) {
    t->shaper_dropped++;
    log_limited(udp_log.tx_shaper, evl_now, "p2p: rejected by TX shaper",
                [&] { log_write("p2p: rejected by TX shaper\n"); });
    return false;
  }
  sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(t->addr);
  to.sin_port = htons(t->port);
  if (tx_batching && queue_datagram(frame, total, to, t)) return true;
  if (sendto(udp_sock.fd, frame, total, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
    return false;
  t->tx_count++;
  t->tx_bytes += total;
  t->last_tx = evl_now;
  return true;
}

void session::on_frames_begin() { tx_batching = true; }

void session::on_frames_end() {
  flush_datagrams();
  tx_batching = false;
}

bool session::queue_datagram(const uint8_t *frame, size_t len, const sockaddr_in &to, tunnel *t) {
  if (len > sizeof tx_batch[0].bytes) return false;
  if (tx_queued == TX_BATCH) flush_datagrams();
  tx_slot &slot = tx_batch[tx_queued++];
  memcpy(slot.bytes, frame, len);
  slot.len = len;
  slot.to = to;
  slot.t = t;
  return true;
}

void session::send_tunnel_keepalives() {
  const uint32_t period = current_config.keepalive;
  static const uint8_t keepalive = P2P_KEEPALIVE;
  for (tunnel *t : tunnels) {
    // Only after a whole period without anything sent; wrap-aware, like
    // the loop's own timers.
    if (time_not_after(evl_now, t->last_tx + period)) continue;
    log_write("udp: tunnel keepalive >> %s\n", ip_to_text(t->peer_addr).c_str());
    send_to_peer(&keepalive, 1, t, false);
  }
}
