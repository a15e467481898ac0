// What the administration socket speaks, written once for both ends: the
// command line sends one request, the running server sends one reply, and
// the connection ends. Both travel as frames of a 4-byte big-endian length
// and that many bytes. A request is in the field codec, so that names and
// arguments pass byte for byte; a reply is a JSON document,
// {"ok": true, "result": ...} or {"ok": false, "error": "..."}, which the
// command line prints as it is (--json) or as text.
//
// The socket is DIR/admin.sock, mode 0600 in a directory of mode 0700; the
// server also checks that the peer runs as its own user or as root.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct admin_request {
  std::string command;            // "clients list", "networks ban", ...
  std::vector<std::string> args;  // the command's operands
  bool online_only = false;       // clients list --online
  std::string password;           // networks set-password
};

constexpr uint32_t ADMIN_MAX_REQUEST = 65536;
constexpr uint32_t ADMIN_MAX_REPLY = 256u << 20;

std::string admin_socket_path(const std::string &dir);

// Whole frames, length word included.
std::string encode_admin_request(const admin_request &request);
bool decode_admin_request(const std::string &frame, admin_request &request);
std::string encode_admin_reply(const nlohmann::ordered_json &reply);
// The reply's bytes after the length word.
bool decode_admin_reply(const std::string &body, nlohmann::ordered_json &reply);

nlohmann::ordered_json admin_ok(nlohmann::ordered_json result);
nlohmann::ordered_json admin_error(const std::string &text);

enum admin_call_result {
  ADMIN_answered,     // `reply` holds the server's answer
  ADMIN_unreachable,  // nothing was sent: no server listens (yet)
  ADMIN_broken,       // sent, but no usable answer came: it may have run
};
// The command line's end: connects (waiting up to `connect_wait_ms` for a
// server that is still starting), sends the request and reads the reply;
// `error` says what went wrong.
admin_call_result admin_call(const std::string &socket_path, const admin_request &request,
                             nlohmann::ordered_json &reply, std::string &error,
                             int connect_wait_ms);
