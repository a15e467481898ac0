// The messages of the control socket, written once for both ends: the
// daemon's handler reads requests and writes replies, the command-line
// client writes requests and reads replies. Each message starts with a
// one-byte code; its fields use the field codec (7-bit-group lengths).
// Everything here works on byte strings and owns nothing.
#pragma once

#include <cstdint>
#include <string>

enum ipc_code : uint8_t {
  // Requests, client to daemon.
  IPC_shutdown = 1,
  IPC_login = 2,
  IPC_logout = 3,
  IPC_create = 4,
  IPC_delete = 5,
  IPC_join = 6,
  IPC_netop = 7,
  IPC_state = 8,
  IPC_set_nick = 9,
  IPC_resolve = 10,
  IPC_modify = 11,
  IPC_kill_io = 112,
  // Our own: the whole state with the tunnels' counters, for `quilmar list
  // --json` and `quilmar peers`. A daemon that does not know it logs the
  // request as invalid and sends nothing.
  IPC_inspect = 64,
  // Replies and notifications, daemon to client.
  IPC_status = 128,
  IPC_state_change = 129,
  IPC_error = 130,
  IPC_create_result = 131,
  IPC_delete_result = 132,
  IPC_join_result = 133,
  IPC_netop_result = 134,
  IPC_network = 135,
  IPC_member = 136,
  IPC_list_end = 137,
  IPC_modify_result = 138,
  // Our own, the answer to IPC_inspect: one inspect_self, then each network
  // followed by its members, then inspect_end, all sent at once.
  IPC_inspect_self = 192,
  IPC_inspect_network = 193,
  IPC_inspect_member = 194,
  IPC_inspect_end = 195,
};

// An age in an inspect_member for something that never happened.
constexpr uint32_t AGE_never = 0xffffffff;

// A tunnel as inspect_member reports it.
struct tunnel_report {
  uint64_t tx_packets = 0;
  uint64_t tx_bytes = 0;
  uint64_t rx_packets = 0;
  uint64_t rx_bytes = 0;
  // Datagrams dropped, by reason.
  uint64_t auth_failed = 0;
  uint64_t replayed = 0;
  uint64_t shaper_dropped = 0;
  uint64_t bad_packets = 0;
  // Milliseconds since the last datagram and the last keep-alive came.
  uint32_t last_rx_age = AGE_never;
  uint32_t last_keepalive_age = AGE_never;
};

// Operations of IPC_netop.
enum ipc_netop : uint8_t { NETOP_online = 1, NETOP_offline = 2, NETOP_leave = 3 };

// One request; the fields its code does not carry stay empty.
struct ipc_request {
  uint8_t code = 0;
  uint8_t retry = 0;          // login: 1 when the user asked for retrying
  std::string name;           // create, delete, join, netop, modify
  std::string password;       // create, join
  uint8_t op = 0;             // netop
  std::string modification;   // modify: handed to the server unchanged
  std::string nickname;       // set_nick
};

// One reply or notification; the fields its code does not carry stay empty.
struct ipc_reply {
  uint8_t code = 0;
  std::string version;        // status
  uint32_t pid = 0;           // status
  uint32_t state = 0;         // status, state_change
  uint8_t sub = 0;            // status, state_change
  uint8_t reconnect = 0;      // status
  std::string nickname;       // status, member
  std::string rename_to;      // status
  uint8_t last_status = 0;    // state_change, error: the server's last status byte
  uint32_t kind = 0;          // error
  std::string text;           // error
  uint32_t detail = 0;        // error
  uint8_t result = 0;         // the five results: 1 is success
  std::string name;           // join_result, netop_result, network
  uint8_t op = 0;             // netop_result
  uint8_t online = 0;         // network, member
  uint32_t addr = 0;          // member: its virtual address
  uint8_t reported = 0;       // member: the server reported on its reachability
  uint32_t tunnel_addr = 0;   // member: public end of its tunnel, 0 without one
  uint16_t tunnel_port = 0;
  // Only in the answer to IPC_inspect, beside the fields above that also
  // serve it (state, sub, reconnect, nickname; name, online; the member's).
  uint32_t identity = 0;      // inspect_self: 0 before enrolment
  std::string server;         // inspect_self: host or address of the server
  uint16_t server_port = 0;   // inspect_self
  std::string interface;      // inspect_self: the tap's name, empty if none
  uint32_t owner = 0;         // inspect_network: 0 while unknown
  uint8_t has_tunnel = 0;     // inspect_member: then its endpoint and `tunnel`
  tunnel_report tunnel;       // inspect_member
};

// True for the codes a request may carry.
bool is_request_code(uint8_t code);

std::string encode_request(const ipc_request &request);
// The daemon's reading: a known code followed by exactly its fields (a
// code without fields stands alone). False for anything else; the record
// then holds whatever was read before the fault.
bool decode_request(const std::string &message, ipc_request &request);

std::string encode_reply(const ipc_reply &reply);
// The client's reading: codes it does not know are skipped one byte at a
// time; the first known code must be followed by exactly its fields, up to
// the end of the message. False when no such reply is found.
bool decode_reply(const std::string &message, ipc_reply &reply);
