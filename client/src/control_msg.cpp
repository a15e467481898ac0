#include "client/control_msg.h"

#include "common/codec.h"

namespace {

// Requests without fields must be exactly their code byte.
bool takes_no_fields(uint8_t code) {
  switch (code) {
    case IPC_shutdown:
    case IPC_logout:
    case IPC_state:
    case IPC_resolve:
    case IPC_kill_io:
    case IPC_inspect:
      return true;
    default:
      return false;
  }
}

void read_request_fields(msg_reader &in, ipc_request &r) {
  switch (r.code) {
    case IPC_login:
      r.retry = in.get_u8();
      break;
    case IPC_create:
    case IPC_join:
      r.name = in.get_str();
      r.password = in.get_str();
      break;
    case IPC_delete:
      r.name = in.get_str();
      break;
    case IPC_netop:
      r.name = in.get_str();
      r.op = in.get_u8();
      break;
    case IPC_set_nick:
      r.nickname = in.get_str();
      break;
    case IPC_modify:
      r.name = in.get_str();
      r.modification = in.get_str();
      break;
    default:
      break;
  }
}

bool is_reply_code(uint8_t code) {
  return (code >= IPC_status && code <= IPC_modify_result) ||
         (code >= IPC_inspect_self && code <= IPC_inspect_end);
}

void read_tunnel_report(msg_reader &in, tunnel_report &t) {
  t.tx_packets = in.get_u64();
  t.tx_bytes = in.get_u64();
  t.rx_packets = in.get_u64();
  t.rx_bytes = in.get_u64();
  t.auth_failed = in.get_u64();
  t.replayed = in.get_u64();
  t.shaper_dropped = in.get_u64();
  t.bad_packets = in.get_u64();
  t.last_rx_age = in.get_u32();
  t.last_keepalive_age = in.get_u32();
}

void put_tunnel_report(std::string &m, const tunnel_report &t) {
  put_u64(m, t.tx_packets);
  put_u64(m, t.tx_bytes);
  put_u64(m, t.rx_packets);
  put_u64(m, t.rx_bytes);
  put_u64(m, t.auth_failed);
  put_u64(m, t.replayed);
  put_u64(m, t.shaper_dropped);
  put_u64(m, t.bad_packets);
  put_u32(m, t.last_rx_age);
  put_u32(m, t.last_keepalive_age);
}

void read_reply_fields(msg_reader &in, ipc_reply &r) {
  switch (r.code) {
    case IPC_status:
      r.version = in.get_str();
      r.pid = in.get_u32();
      r.state = in.get_u32();
      r.sub = in.get_u8();
      r.reconnect = in.get_u8();
      r.nickname = in.get_str();
      r.rename_to = in.get_str();
      break;
    case IPC_state_change:
      r.state = in.get_u32();
      r.sub = in.get_u8();
      r.last_status = in.get_u8();
      break;
    case IPC_error:
      r.kind = in.get_u32();
      r.text = in.get_str();
      r.detail = in.get_u32();
      r.last_status = in.get_u8();
      break;
    case IPC_create_result:
    case IPC_delete_result:
    case IPC_modify_result:
      r.result = in.get_u8();
      break;
    case IPC_join_result:
      r.name = in.get_str();
      r.result = in.get_u8();
      break;
    case IPC_netop_result:
      r.name = in.get_str();
      r.op = in.get_u8();
      r.result = in.get_u8();
      break;
    case IPC_network:
      r.name = in.get_str();
      r.online = in.get_u8();
      break;
    case IPC_member:
      r.addr = in.get_u32();
      r.nickname = in.get_str();
      r.online = in.get_u8();
      r.reported = in.get_u8();
      r.tunnel_addr = in.get_u32();
      r.tunnel_port = in.get_u16();
      break;
    case IPC_inspect_self:
      r.identity = in.get_u32();
      r.nickname = in.get_str();
      r.state = in.get_u32();
      r.sub = in.get_u8();
      r.reconnect = in.get_u8();
      r.server = in.get_str();
      r.server_port = in.get_u16();
      r.interface = in.get_str();
      break;
    case IPC_inspect_network:
      r.name = in.get_str();
      r.owner = in.get_u32();
      r.online = in.get_u8();
      break;
    case IPC_inspect_member:
      r.addr = in.get_u32();
      r.nickname = in.get_str();
      r.online = in.get_u8();
      r.reported = in.get_u8();
      r.has_tunnel = in.get_u8();
      if (r.has_tunnel) {
        r.tunnel_addr = in.get_u32();
        r.tunnel_port = in.get_u16();
        read_tunnel_report(in, r.tunnel);
      }
      break;
    default:  // IPC_list_end, IPC_inspect_end
      break;
  }
}

}  // namespace

bool is_request_code(uint8_t code) {
  return (code >= IPC_shutdown && code <= IPC_modify) || code == IPC_kill_io ||
         code == IPC_inspect;
}

std::string encode_request(const ipc_request &r) {
  std::string m(1, static_cast<char>(r.code));
  switch (r.code) {
    case IPC_login:
      put_u8(m, r.retry);
      break;
    case IPC_create:
    case IPC_join:
      put_str(m, r.name);
      put_str(m, r.password);
      break;
    case IPC_delete:
      put_str(m, r.name);
      break;
    case IPC_netop:
      put_str(m, r.name);
      put_u8(m, r.op);
      break;
    case IPC_set_nick:
      put_str(m, r.nickname);
      break;
    case IPC_modify:
      put_str(m, r.name);
      put_str(m, r.modification);
      break;
    default:
      break;
  }
  return m;
}

bool decode_request(const std::string &message, ipc_request &request) {
  if (message.empty()) return false;
  request = ipc_request();
  request.code = static_cast<uint8_t>(message[0]);
  if (!is_request_code(request.code)) return false;
  if (takes_no_fields(request.code)) return message.size() == 1;
  msg_reader in(message);
  try {
    in.get_u8();
    read_request_fields(in, request);
  } catch (const parser::err &) {
    return false;
  }
  return in.at_end();
}

std::string encode_reply(const ipc_reply &r) {
  std::string m(1, static_cast<char>(r.code));
  switch (r.code) {
    case IPC_status:
      put_str(m, r.version);
      put_u32(m, r.pid);
      put_u32(m, r.state);
      put_u8(m, r.sub);
      put_u8(m, r.reconnect);
      put_str(m, r.nickname);
      put_str(m, r.rename_to);
      break;
    case IPC_state_change:
      put_u32(m, r.state);
      put_u8(m, r.sub);
      put_u8(m, r.last_status);
      break;
    case IPC_error:
      put_u32(m, r.kind);
      put_str(m, r.text);
      put_u32(m, r.detail);
      put_u8(m, r.last_status);
      break;
    case IPC_create_result:
    case IPC_delete_result:
    case IPC_modify_result:
      put_u8(m, r.result);
      break;
    case IPC_join_result:
      put_str(m, r.name);
      put_u8(m, r.result);
      break;
    case IPC_netop_result:
      put_str(m, r.name);
      put_u8(m, r.op);
      put_u8(m, r.result);
      break;
    case IPC_network:
      put_str(m, r.name);
      put_u8(m, r.online);
      break;
    case IPC_member:
      put_u32(m, r.addr);
      put_str(m, r.nickname);
      put_u8(m, r.online);
      put_u8(m, r.reported);
      put_u32(m, r.tunnel_addr);
      put_u16(m, r.tunnel_port);
      break;
    case IPC_inspect_self:
      put_u32(m, r.identity);
      put_str(m, r.nickname);
      put_u32(m, r.state);
      put_u8(m, r.sub);
      put_u8(m, r.reconnect);
      put_str(m, r.server);
      put_u16(m, r.server_port);
      put_str(m, r.interface);
      break;
    case IPC_inspect_network:
      put_str(m, r.name);
      put_u32(m, r.owner);
      put_u8(m, r.online);
      break;
    case IPC_inspect_member:
      put_u32(m, r.addr);
      put_str(m, r.nickname);
      put_u8(m, r.online);
      put_u8(m, r.reported);
      put_u8(m, r.has_tunnel);
      if (r.has_tunnel) {
        put_u32(m, r.tunnel_addr);
        put_u16(m, r.tunnel_port);
        put_tunnel_report(m, r.tunnel);
      }
      break;
    default:
      break;
  }
  return m;
}

bool decode_reply(const std::string &message, ipc_reply &reply) {
  msg_reader in(message);
  while (!in.at_end()) {
    reply = ipc_reply();
    reply.code = in.get_u8();
    if (!is_reply_code(reply.code)) continue;
    try {
      read_reply_fields(in, reply);
    } catch (const parser::err &) {
      return false;
    }
    return in.at_end();
  }
  return false;
}
