// The frame header checker: how far an Ethernet frame from the tap is a
// well-formed ARP or IPv4 packet, and where its headers lie. Every length
// is checked against the bytes actually present before anything is read.
#include "netlib/nethdr.h"

#include "common/log.h"
#include "common/util.h"

namespace {

const uint16_t ETH_ARP = 0x0806;
const uint16_t ETH_IP4 = 0x0800;
const size_t IP4_MIN_HEADER = 20;
const size_t UDP_HEADER = 8;
const size_t TCP_MIN_HEADER = 20;
const uint8_t PROTO_TCP = 6;
const uint8_t PROTO_UDP = 17;

// The IPv4 packet at nh.net_hdr with header length ihl and total length tl,
// all of it present in the frame.
void parse_transport(nethdr &nh, size_t ihl, size_t tl) {
  uint8_t *ip = nh.net_hdr;
  uint8_t *payload = ip + ihl;
  uint8_t *payload_end = ip + tl;
  nh.parse_end = payload;

  bool more_fragments = ip[6] & 0x20;
  uint16_t offset = get_be16(ip + 6) & 0x1fff;
  if (more_fragments || offset != 0) {
    nh.trans_hdr = payload;
    nh.trans_payload = payload_end;
    nh.parse_end = payload_end;
    nh.kind = NH_ip4_frag;
    return;
  }

  switch (ip[9]) {
    case PROTO_UDP: {
      if (tl < ihl + UDP_HEADER) return;
      nh.trans_hdr = payload;
      nh.trans_payload = payload + UDP_HEADER;
      nh.parse_end = nh.trans_payload;
      nh.kind = NH_ip4_udp | NH_incomplete;
      size_t ul = get_be16(payload + 4);
      // The whole datagram is inside the packet, which is inside the frame.
      if (ul < UDP_HEADER || tl != ihl + ul) return;
      nh.data = nh.trans_payload;
      nh.data_end = nh.trans_payload + (ul - UDP_HEADER);
      nh.parse_end = nh.data_end;
      nh.kind = NH_ip4_udp;
      return;
    }
    case PROTO_TCP: {
      if (tl < ihl + TCP_MIN_HEADER) return;
      size_t c = static_cast<size_t>(payload[12] >> 4) * 4;
      if (c < TCP_MIN_HEADER || tl < ihl + c) return;
      nh.trans_hdr = payload;
      nh.trans_payload = payload + c;
      nh.data = payload + c;
      nh.data_end = payload_end;
      nh.parse_end = payload_end;
      nh.kind = NH_ip4_tcp;
      return;
    }
    default:
      nh.data = payload;
      nh.data_end = payload_end;
      nh.parse_end = payload_end;
      nh.kind = NH_ip4;
      return;
  }
}

}  // namespace

void nethdr_parse(uint8_t *pkt, size_t length, nethdr *nh) {
  QUILMAR_ASSERT(pkt && nh);
  if (!pkt || !nh) return;
  *nh = nethdr();
  nh->start = pkt;
  nh->end = nh->limit = pkt + length;
  nh->kind = NH_incomplete;
  nh->parse_end = pkt;
  if (length < ETH_HEADER) return;

  nh->link_hdr = pkt;
  nh->link_payload = pkt + ETH_HEADER;
  nh->parse_end = nh->link_payload;
  nh->kind = NH_ether | NH_incomplete;
  const size_t remaining = length - ETH_HEADER;
  const uint16_t type = get_be16(pkt + 12);

  if (type == ETH_ARP) {
    if (remaining < ARP_PACKET) return;
    nh->net_hdr = nh->link_payload;
    nh->net_payload = pkt + ETH_HEADER + ARP_PACKET;
    nh->parse_end = nh->net_payload;
    nh->kind = NH_arp;
    return;
  }
  if (type != ETH_IP4) {
    nh->kind = NH_ether;
    return;
  }

  if (remaining < IP4_MIN_HEADER) return;
  uint8_t *ip = nh->link_payload;
  const size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
  if (ihl < IP4_MIN_HEADER || ihl > remaining) return;
  nh->net_hdr = ip;
  nh->net_payload = ip + ihl;
  nh->parse_end = nh->net_payload;
  nh->kind = NH_ip4 | NH_incomplete;
  const size_t tl = get_be16(ip + 2);
  // Bytes after tl are Ethernet padding, not part of the packet.
  if (tl < ihl || remaining < tl) return;
  parse_transport(*nh, ihl, tl);
}
