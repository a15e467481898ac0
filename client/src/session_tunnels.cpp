// Peer tunnels over UDP: the tunnel records and their tables, what arrives
// on the UDP socket (tunnel datagrams, and server frames sent by UDP), the
// send path and the tunnel keep-alive. Datagrams are checked and taken
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
// Larger than any datagram a peer sends for a full-sized packet (1500
// bytes of IPv4 plus the protocol number, padding, IV and MAC); anything
// longer is cut and then fails its check.
const size_t RX_BUFFER = 2048;
// Datagrams per recvmmsg call, and at most per wake-up of the loop.
const unsigned UDP_BATCH = 16;
const unsigned UDP_BUDGET = 64;
// Replays are counted all the time but told at most this often per tunnel.
const uint32_t REPLAY_LOG_PERIOD = 1000;

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

// Datagrams come a batch per system call, and the socket is drained up to a
// budget per wake-up: under load one poll and one recvmmsg serve many
// datagrams, while a steady stream cannot keep the rest of the loop (the tap,
// timers, the server connection) waiting. Each datagram is then handled
// exactly as if it had come on its own, in the order received.
void session::on_udp_readable() {
  alignas(16) uint8_t buf[UDP_BATCH][DATAGRAM_HEADROOM + RX_BUFFER];
  sockaddr_in from[UDP_BATCH];
  iovec iov[UDP_BATCH];
  mmsghdr msgs[UDP_BATCH];
  for (unsigned done = 0; done < UDP_BUDGET && udp_sock.fd >= 0;) {
    for (unsigned i = 0; i < UDP_BATCH; ++i) {
      iov[i].iov_base = buf[i] + DATAGRAM_HEADROOM;
      iov[i].iov_len = RX_BUFFER;
      memset(&msgs[i].msg_hdr, 0, sizeof msgs[i].msg_hdr);
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof from[i];
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_len = 0;
    }
    const int got = recvmmsg(udp_sock.fd, msgs, UDP_BATCH, MSG_DONTWAIT, nullptr);
    if (got <= 0) return;
    for (int i = 0; i < got && udp_sock.fd >= 0; ++i) {
      // Anything but IPv4 in the address would be a stale udp_from.
      memset(&udp_from, 0, sizeof udp_from);
      memcpy(&udp_from, &from[i], std::min<size_t>(msgs[i].msg_hdr.msg_namelen, sizeof udp_from));
      if (msgs[i].msg_len == 0) continue;  // an empty datagram, as recvfrom saw it
      on_datagram(buf[i] + DATAGRAM_HEADROOM, msgs[i].msg_len);
    }
    done += static_cast<unsigned>(got);
    if (got < static_cast<int>(UDP_BATCH)) return;  // drained
  }
}

void session::on_datagram(uint8_t *buf, size_t len) {
  if (len < MIN_DATAGRAM) return;
  const uint32_t spi = get_be32(buf);
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
    t->auth_failed++;
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
  if (size > P2P_HEADER)
    protocol = buf[P2P_HEADER];
  else
    log_write("assert pkt.size() > 8 in %s:%d\n", __FILE__, __LINE__);

  if (ntohl(udp_from.sin_addr.s_addr) != t->addr || ntohs(udp_from.sin_port) != t->port)
    log_write("udp: tunnel addr change for %s from %s:%u to %s\n", ip_to_text(t->peer_addr).c_str(),
              ip_to_text(t->addr).c_str(), t->port, endpoint_text(udp_from).c_str());
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
      log_write("udp: tunnel keepalive << %s\n", ip_to_text(t->peer_addr).c_str());
      break;
    default: {
      t->bad_packets++;
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
    log_write("p2p: rejected by TX shaper\n");
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

// Every datagram is offered to the system exactly once, in order: where
// sendmmsg stops at a failing one, that one is given up (as its sendto
// would have failed) and the rest follow.
void session::flush_datagrams() {
  iovec iov[TX_BATCH];
  mmsghdr msgs[TX_BATCH];
  for (unsigned i = 0; i < tx_queued; ++i) {
    iov[i].iov_base = tx_batch[i].bytes;
    iov[i].iov_len = tx_batch[i].len;
    memset(&msgs[i], 0, sizeof msgs[i]);
    msgs[i].msg_hdr.msg_name = &tx_batch[i].to;
    msgs[i].msg_hdr.msg_namelen = sizeof tx_batch[i].to;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  unsigned done = 0;
  while (done < tx_queued && udp_sock.fd >= 0) {
    const int sent = sendmmsg(udp_sock.fd, msgs + done, tx_queued - done, 0);
    if (sent <= 0) {
      ++done;
      continue;
    }
    for (unsigned i = done; i < done + unsigned(sent); ++i) {
      tx_batch[i].t->tx_count++;
      tx_batch[i].t->tx_bytes += tx_batch[i].len;
      tx_batch[i].t->last_tx = evl_now;
    }
    done += unsigned(sent);
  }
  tx_queued = 0;
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
