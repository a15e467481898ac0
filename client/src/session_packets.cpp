// The virtual LAN packet path: Ethernet frames from the tap become tunnel
// messages (ARP for peers is answered right here), and IPv4 packets from
// peers become Ethernet frames on the tap. Peers' hardware addresses are
// 00:FF followed by their virtual address.
//
// Frames are handled in the tap's read buffer and datagrams in the receive
// buffer: the ARP reply is written back from where the request lies, the
// tunnel message is formed by overwriting the byte in front of the IPv4
// header, and a received packet gets its Ethernet header in the bytes in
// front of it. Only flooding copies, once for every tunnel but the last.
#include <cstring>

#include "client/config.h"
#include "client/session.h"
#include "common/log.h"
#include "common/util.h"

namespace {

const size_t MAX_IP4 = 1500;
const size_t MIN_IP4 = 20;

const uint32_t BROADCAST = 0xffffffff;
const uint32_t LAN_BROADCAST = 0x05ffffff;  // 5.255.255.255

bool is_multicast(uint32_t ip) { return (ip & 0xf0000000) == 0xe0000000; }

// 00:FF:a:b:c:d for the peer a.b.c.d.
void peer_mac(uint8_t *out, uint32_t vip) {
  out[0] = 0x00;
  out[1] = 0xff;
  put_be32(out + 2, vip);
}

}  // namespace

void session::on_frame(uint8_t *frame, int length) {
  if (!frame || length <= 0) return;
  nethdr nh;
  nethdr_parse(frame, static_cast<size_t>(length), &nh);
  if (!nh_complete(nh.kind)) return;
  if (nh.kind == NH_arp)
    on_tap_arp(nh);
  else if (nh_is_ip4(nh.kind))
    on_tap_ip4(nh);
}

void session::on_tap_arp(const nethdr &nh) {
  uint8_t *eth = nh.link_hdr;
  uint8_t *arp = nh.net_hdr;
  const uint16_t htype = get_be16(arp), ptype = get_be16(arp + 2), op = get_be16(arp + 6);
  const uint8_t hlen = arp[4], plen = arp[5];
  if (htype != 1 || ptype != 0x0800 || hlen != 6 || plen != 4 || op != 1) {
    log_write("tap: arp - ht:%04x proto:%04x hl:%u pl:%u op:%04x\n", htype, ptype, hlen, plen, op);
    return;
  }
  uint8_t *sha = arp + 8, *spa = arp + 14, *tha = arp + 18, *tpa = arp + 24;
  const uint32_t target = get_be32(tpa);
  if (target == current_config.identity) {
    log_write("tap: arp - gratitious\n");
    return;
  }
  if (!find_tunnel(target)) {
    log_write("tap: arp - unknown peer %s\n", ip_to_text(target).c_str());
    return;
  }
  put_be16(arp + 6, 2);
  memcpy(tha, sha, 6);
  memcpy(tpa, spa, 4);
  peer_mac(sha, target);
  put_be32(spa, target);
  memcpy(eth, eth + 6, 6);
  peer_mac(eth + 6, target);
  if (tap) tap->write(nh.start, static_cast<int>(nh.end - nh.start));
}

void session::on_tap_ip4(const nethdr &nh) {
  // The tunnel message is the protocol number followed by the packet (and
  // whatever Ethernet padding came after it); the number takes the place of
  // the last byte of the Ethernet type, and the SPI and sequence words go
  // over the Ethernet addresses in front of it.
  uint8_t *msg = nh.net_hdr - 1;
  const size_t len = static_cast<size_t>(nh.end - msg);
  // The tap leaves TAPDEV_TAILROOM bytes behind every frame.
  const size_t room = P2P_HEADER + len + TAPDEV_TAILROOM;
  const uint32_t dest = get_be32(nh.net_hdr + 16);
  // Read before the header words overwrite it.
  const uint32_t by_mac = get_be32(nh.link_hdr + 2);
  msg[0] = P2P_IP4;

  if (dest == BROADCAST || dest == LAN_BROADCAST || is_multicast(dest)) {
    flood(msg, len, room);
    return;
  }
  tunnel *t = find_tunnel(dest);
  // A frame addressed to a peer's hardware address reaches that peer even
  // when the packet is for someone behind it.
  if (!t) t = find_tunnel(by_mac);
  if (!t) return;
  send_frame(msg - P2P_HEADER, P2P_HEADER + len, room, t, true);
}

void session::flood(uint8_t *msg, size_t len, size_t room) {
  if (tunnels.empty()) return;
  tunnel *last = tunnels.back();
  for (tunnel *t : tunnels) {
    if (t == last) break;
    // Protection encrypts in place: every tunnel but the last needs the
    // plaintext afresh.
    send_to_peer(msg, len, t, true);
  }
  send_frame(msg - P2P_HEADER, P2P_HEADER + len, room, last, true);
}

void session::deliver_ip4(tunnel *t, uint8_t *packet, size_t size) {
  if (size < MIN_IP4 || size > MAX_IP4) {
    t->bad_packets++;
    log_write("p2p: ip4 packet - bad size %u\n", static_cast<unsigned>(size));
    return;
  }
  if (!admit(rx_shaper, static_cast<uint32_t>(size))) {
    t->shaper_dropped++;
    log_write("p2p: rejected by RX shaper\n");
    return;
  }
  const uint32_t dest = get_be32(packet + 16);
  uint8_t *eth = packet - 14;
  if (is_multicast(dest)) {
    // RFC 1112: 01:00:5E and the low 23 bits of the group.
    eth[0] = 0x01;
    eth[1] = 0x00;
    eth[2] = 0x5e;
    eth[3] = packet[17] & 0x7f;
    eth[4] = packet[18];
    eth[5] = packet[19];
  } else if (dest == BROADCAST || dest == LAN_BROADCAST) {
    memset(eth, 0xff, 6);
  } else if (tap) {
    memcpy(eth, tap->mac, 6);
  }
  eth[6] = 0x00;
  eth[7] = 0xff;
  memcpy(eth + 8, packet + 12, 4);
  put_be16(eth + 12, 0x0800);
  if (tap) tap->write(eth, static_cast<int>(size + 14));
}
