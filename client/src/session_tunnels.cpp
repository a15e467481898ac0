// Peer tunnels over UDP: the tunnel records and their tables, what arrives
// on the UDP socket (tunnel datagrams, and server frames sent by UDP), the
// send path and the tunnel keep-alive. Datagrams are checked and taken
// apart where they were received; nothing is allocated per datagram.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "client/config.h"
#include "client/session.h"
#include "clisrv/server_msg.h"
#include "common/log.h"
#include "common/util.h"

namespace {

// Tunnel protocol numbers: the first byte of each tunnel message.
const uint8_t P2P_IP4 = 0x80;
const uint8_t P2P_RESERVED_81 = 0x81;
const uint8_t P2P_KEEPALIVE = 0x84;
const uint8_t P2P_RESERVED_85 = 0x85;

const size_t HEADER = 8;
// A datagram no longer than the protection's header and trailer carries
// nothing.
const size_t MIN_DATAGRAM = 29;
// Larger than any datagram a peer sends for a full-sized packet (1500
// bytes of IPv4 plus the protocol number, padding, IV and MAC); anything
// longer is cut and then fails its check.
const size_t RX_BUFFER = 2048;
// Replays are counted all the time but told at most this often per tunnel.
const uint32_t REPLAY_LOG_PERIOD = 1000;

uint32_t be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

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

void session::on_udp_readable() {
  alignas(16) uint8_t buf[DATAGRAM_HEADROOM + RX_BUFFER];
  uint8_t *datagram = buf + DATAGRAM_HEADROOM;
  socklen_t from_len = sizeof udp_from;
  ssize_t n = recvfrom(udp_sock.fd, datagram, RX_BUFFER, 0,
                       reinterpret_cast<sockaddr *>(&udp_from), &from_len);
  if (n <= 0) return;
  on_datagram(datagram, static_cast<size_t>(n));
}

void session::on_datagram(uint8_t *buf, size_t len) {
  if (len < MIN_DATAGRAM) return;
  const uint32_t spi = be32(buf);
  if (mc && spi == mc->out_spi) {
    // Anyone can send a datagram with the channel identifier in front; one
    // that fails the channel's check is dropped here rather than taken for
    // a broken server connection.
    std::string frame(reinterpret_cast<const char *>(buf), len);
    if (mc->active()) {
      std::string check = frame;
      if (!mc->unprotect(check)) {
        log_write("udp: failed to decrypt server frame from %s\n", endpoint_text(udp_from).c_str());
        return;
      }
    }
    dispatch(frame);
    return;
  }

  tunnel *t = find_tunnel_by_spi(spi);
  if (!t) {
    log_write("udp: unknown spi %08x from %s\n", spi, endpoint_text(udp_from).c_str());
    return;
  }
  size_t size = len;
  if (!t->mc->unprotect(buf, size)) {
    log_write("udp: failed to decrypt - spi %s, addr %s, tun %s:%u\n",
              ip_to_text(t->peer_addr).c_str(), endpoint_text(udp_from).c_str(),
              ip_to_text(t->addr).c_str(), t->port);
    return;
  }
  if (!replay_accept(t->rx_window, t->mc->rx_seq)) {
    t->replayed++;
    log_replay(t, t->mc->rx_seq);
    return;
  }
  uint8_t protocol = 0;
  if (size > HEADER)
    protocol = buf[HEADER];
  else
    log_write("assert pkt.size() > 8 in %s:%d\n", __FILE__, __LINE__);

  if (ntohl(udp_from.sin_addr.s_addr) != t->addr || ntohs(udp_from.sin_port) != t->port)
    log_write("udp: tunnel addr change for %s from %s:%u to %s\n", ip_to_text(t->peer_addr).c_str(),
              ip_to_text(t->addr).c_str(), t->port, endpoint_text(udp_from).c_str());
  t->last_rx = evl_now;
  t->rx_count++;

  switch (protocol) {
    case P2P_IP4:
      deliver_ip4(t, buf + HEADER + 1, size - HEADER - 1);
      break;
    case P2P_RESERVED_81:
    case P2P_RESERVED_85:
      break;
    case P2P_KEEPALIVE:
      log_write("udp: tunnel keepalive << %s\n", ip_to_text(t->peer_addr).c_str());
      break;
    default: {
      log_write("udp: unsupported p2p protocol %u from %s\n", protocol,
                ip_to_text(t->peer_addr).c_str());
      std::string frame(reinterpret_cast<const char *>(buf), size < 256 ? size : 256);
      log_write("pkt: %s\n", hex_text(frame, 256).c_str());
      break;
    }
  }
}

void session::log_replay(tunnel *t, uint32_t seq) {
  if (t->replayed != 1 && evl_now - t->replay_logged < REPLAY_LOG_PERIOD) return;
  t->replay_logged = evl_now;
  log_write("udp: replayed datagram dropped - spi %s, addr %s, seq %u, %u so far\n",
            ip_to_text(t->peer_addr).c_str(), endpoint_text(udp_from).c_str(), seq, t->replayed);
}

bool session::send_to_peer(const uint8_t *payload, size_t len, tunnel *t, bool shaped) {
  if (len > sizeof tx_scratch - HEADER - MSG_CRYPTO_GROWTH) return false;
  memset(tx_scratch, 0, HEADER);
  memcpy(tx_scratch + HEADER, payload, len);
  return send_frame(tx_scratch, HEADER + len, sizeof tx_scratch, t, shaped);
}

bool session::send_frame(uint8_t *frame, size_t len, size_t room, tunnel *t, bool shaped) {
  if (!(t && t->mc)) {
    QUILMAR_ASSERT(t && t->mc);
    return false;
  }
  const size_t total = t->mc->protect(frame, len, room, true);
  if (total == 0) return false;
  // The sequence number is used up either way; the peer does not mind gaps.
  if (shaped && !admit(tx_shaper, static_cast<uint32_t>(len - HEADER))) {
    log_write("p2p: rejected by TX shaper\n");
    return false;
  }
  sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(t->addr);
  to.sin_port = htons(t->port);
  if (sendto(udp_sock.fd, frame, total, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
    return false;
  t->tx_count++;
  t->last_tx = evl_now;
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
