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

bool is_reply_code(uint8_t code) { return code >= IPC_status && code <= IPC_modify_result; }

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
    default:  // IPC_list_end
      break;
  }
}

}  // namespace

bool is_request_code(uint8_t code) {
  return (code >= IPC_shutdown && code <= IPC_modify) || code == IPC_kill_io;
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
