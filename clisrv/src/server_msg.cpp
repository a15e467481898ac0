#include "clisrv/server_msg.h"

namespace srv {

std::string frame_begin(uint8_t type) {
  std::string frame(FRAME_HEADER_SIZE, '\0');
  put_u8(frame, type);
  return frame;
}

void frame_set_length(std::string &frame) {
  std::string word;
  put_u32(word, static_cast<uint32_t>(frame.size() - 4));
  frame.replace(0, 4, word);
}

uint8_t frame_type(msg_reader &reader) {
  reader.get_bytes(FRAME_HEADER_SIZE);
  return reader.get_u8();
}

void put_helo(std::string &buf, const helo_msg &m) {
  put_u8(buf, m.version);
  put_str(buf, m.fingerprint);
  put_str(buf, m.nonce);
  put_bignum(buf, m.dh_value);
}

void get_helo(msg_reader &r, helo_msg &m) {
  m.version = r.get_u8();
  m.fingerprint = r.get_str();
  m.nonce = r.get_str();
  m.dh_value = get_bignum(r);
}

void put_auth(std::string &buf, const auth_msg &m) {
  put_u32(buf, m.identity);
  put_str(buf, m.signature);
  put_str(buf, m.version);
}

void get_auth(msg_reader &r, auth_msg &m) {
  m.identity = r.get_u32();
  m.signature = r.get_str();
  m.version = r.get_str();
}

void put_enroll(std::string &buf, const enroll_msg &m) {
  write_public_key(buf, m.key);
  put_str(buf, m.nickname);
  put_str(buf, m.version);
}

void get_enroll(msg_reader &r, enroll_msg &m) {
  read_public_key(r, m.key);
  m.nickname = r.get_str();
  m.version = r.get_str();
}

void put_create(std::string &buf, const create_msg &m) {
  put_str(buf, m.name);
  put_u32_list(buf, {});
  put_u32_list(buf, {});
  put_str(buf, m.password);
  put_u8(buf, 0);
}

void get_create(msg_reader &r, create_msg &m) {
  m.name = r.get_str();
  r.get_u32_list();
  r.get_u32_list();
  m.password = r.get_str();
  r.get_u8();
}

void put_modify(std::string &buf, const modify_msg &m) {
  put_str(buf, m.name);
  buf += m.record;
}

void get_modify(msg_reader &r, modify_msg &m) {
  m.name = r.get_str();
  m.record = r.get_bytes(r.remaining());
}

std::string evict_record(uint32_t member) {
  std::string record;
  put_u8(record, MODIFY_evict);
  put_u8(record, 1);
  put_u32(record, member);
  return record;
}

bool parse_evict_record(const std::string &record, uint32_t &member) {
  msg_reader r(record);
  try {
    if (r.get_u8() != MODIFY_evict || r.get_u8() != 1) return false;
    uint32_t value = r.get_u32();
    if (!r.at_end()) return false;
    member = value;
    return true;
  } catch (const parser::err &) {
    return false;
  }
}

void put_join(std::string &buf, const join_msg &m) {
  put_str(buf, m.name);
  put_str(buf, m.password);
}

void get_join(msg_reader &r, join_msg &m) {
  m.name = r.get_str();
  m.password = r.get_str();
}

void put_netop(std::string &buf, const netop_msg &m) {
  put_str(buf, m.name);
  put_u8(buf, m.op);
}

void get_netop(msg_reader &r, netop_msg &m) {
  m.name = r.get_str();
  m.op = r.get_u8();
}

void put_change(std::string &buf, const change_msg &m) {
  put_u8(buf, m.what);
  put_str(buf, m.nickname);
}

void get_change(msg_reader &r, change_msg &m) {
  m.what = r.get_u8();
  m.nickname = r.get_str();
}

void put_endpoint(std::string &buf, const endpoint &e) {
  put_u32(buf, e.addr);
  put_u16(buf, e.port);
}

endpoint get_endpoint(msg_reader &r) {
  endpoint e;
  e.addr = r.get_u32();
  e.port = r.get_u16();
  return e;
}

void put_probe_ok(std::string &buf, const probe_ok_msg &m) {
  std::string cookie = m.cookie;
  cookie.resize(4, '\0');
  buf += cookie;
  put_endpoint(buf, m.source);
}

void get_probe_ok(msg_reader &r, probe_ok_msg &m) {
  m.cookie = r.get_bytes(4);
  m.source = get_endpoint(r);
}

void put_info(std::string &buf, const info_msg &m) {
  put_u32(buf, m.peer);
  put_u8(buf, m.attribute);
}

void get_info(msg_reader &r, info_msg &m) {
  m.peer = r.get_u32();
  m.attribute = r.get_u8();
}

void put_helo_ok(std::string &buf, const helo_ok_msg &m) {
  put_str(buf, m.nonce);
  put_bignum(buf, m.dh_value);
}

void get_helo_ok(msg_reader &r, helo_ok_msg &m) {
  m.nonce = r.get_str();
  m.dh_value = get_bignum(r);
}

void put_auth_ok(std::string &buf, const auth_ok_msg &m) {
  put_str(buf, m.signature);
  put_u32(buf, m.channel);
}

void get_auth_ok(msg_reader &r, auth_ok_msg &m) {
  m.signature = r.get_str();
  m.channel = r.get_u32();
}

void put_enrl_ok(std::string &buf, const enrl_ok_msg &m) {
  put_u32(buf, m.identity);
  put_str(buf, m.signature);
  put_u32(buf, m.channel);
}

void get_enrl_ok(msg_reader &r, enrl_ok_msg &m) {
  m.identity = r.get_u32();
  m.signature = r.get_str();
  m.channel = r.get_u32();
}

void put_netop_reply(std::string &buf, const netop_reply_msg &m) {
  put_u8(buf, m.op);
  put_u8(buf, m.status);
}

void get_netop_reply(msg_reader &r, netop_reply_msg &m) {
  m.op = r.get_u8();
  m.status = r.get_u8();
}

void put_network_owner(std::string &buf, uint32_t owner) {
  put_u8(buf, NET_owner);
  put_u32(buf, owner);
}

void put_network_members(std::string &buf, uint8_t tag, const std::vector<uint32_t> &members) {
  put_u8(buf, tag);
  put_u32_list(buf, members);
}

bool get_network_item(msg_reader &r, network_item &item) {
  item.tag = r.get_u8();
  item.members.clear();
  switch (item.tag) {
    case NET_owner:
      item.owner = r.get_u32();
      return true;
    case NET_member_added:
    case NET_member_online:
    case NET_member_offline:
    case NET_member_removed:
      item.members = r.get_u32_list();
      return true;
    default:
      return false;
  }
}

void put_punch(std::string &buf, const std::vector<punch_record> &records) {
  put_len(buf, static_cast<uint32_t>(records.size()));
  for (const punch_record &p : records) {
    put_endpoint(buf, p.target);
    put_u16(buf, p.count);
    put_u8(buf, p.ttl);
    put_str(buf, p.payload);
  }
}

std::vector<punch_record> get_punch(msg_reader &r) {
  uint32_t count = r.get_len();
  // Each record takes at least 10 bytes: refuse a forged count before
  // reserving room for it.
  if (count > r.remaining() / 10) throw parser::err();
  std::vector<punch_record> records(count);
  for (punch_record &p : records) {
    p.target = get_endpoint(r);
    p.count = r.get_u16();
    p.ttl = r.get_u8();
    p.payload = r.get_str();
  }
  return records;
}

void put_peer_ok(std::string &buf, const peer_ok_msg &m) {
  put_endpoint(buf, m.public_endpoint);
  put_u32(buf, m.spi_in);
  put_u32(buf, m.spi_out);
  put_str(buf, m.keymat);
}

void get_peer_ok(msg_reader &r, peer_ok_msg &m) {
  m.public_endpoint = get_endpoint(r);
  m.spi_in = r.get_u32();
  m.spi_out = r.get_u32();
  m.keymat = r.get_str();
}

}  // namespace srv
