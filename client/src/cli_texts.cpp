#include "client/cli_texts.h"

#include <cstdarg>
#include <cstdio>

#include "client/session.h"
#include "common/util.h"

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<size_t>(n) < sizeof buf ? size_t(n) : sizeof buf - 1);
}

}  // namespace

std::string printable(const std::string &text) {
  std::string out = text;
  for (char &c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

const char *result_text(uint8_t result) {
  switch (result) {
    case 15: return "network name is already taken";
    case 18: return "network not found";
    case 19: return "you are not an owner";
    case 20: return "network not found";
    case 21: return "you are an owner";
    case 22: return "you are already a member";
    case 23: return "access denied";
    case 24: return "invalid password";
    case 25: return "the network is full";
    case 26: return "network not found";
    case 27: return "you are not a member";
    case 28: return "already online";
    case 29: return "already offline";
    case 31: return "you are an owner";
    // Our server's own codes (srv::RESULT_too_fast, RESULT_too_many_networks).
    case 32: return "too many requests, try again shortly";
    case 33: return "you are in too many networks";
    case 252: return "not found";
    case 253: return "denied";
    default: {
      static char unknown[16];
      snprintf(unknown, sizeof unknown, "[%u]", unsigned(result));
      return unknown;
    }
  }
}

std::string status_text(const std::string &version, uint32_t pid, uint32_t state,
                        bool reconnect, const std::string &nickname) {
  const char *status = "logging in";
  if (state == STATE_offline)
    status = reconnect ? "offline (reconnecting)" : "offline";
  else if (state == STATE_ready)
    status = "logged in";
  return "  version  : " + version + "\n" +
         format("  pid      : %lu\n", static_cast<unsigned long>(pid)) +
         "  status   : " + status + "\n" +
         "  nickname : " + nickname + "\n" +
         "\n";
}

std::string no_server_key_text(const std::string &path) {
  return "No server key: copy your mediation server's server.pub to " + printable(path) + "\n";
}

std::string network_line(const ipc_reply &n) {
  // Built by hand: a name may be longer than any format buffer.
  return std::string(" ") + (n.online == 1 ? '*' : ' ') + " [" + printable(n.name) + "]\n";
}

std::string member_line(const ipc_reply &m) {
  char mark = '*';
  if (!m.online)
    mark = ' ';
  else if (m.reported && m.tunnel_addr == 0)
    mark = 'x';  // the server reported it unreachable
  std::string line = format("     %c %-13.13s  ", mark, ip_to_text(m.addr).c_str());
  line += format("  %-25.25s", printable(m.nickname).c_str());
  if (m.reported && m.tunnel_addr != 0)
    line += format("  %s:%u", ip_to_text(m.tunnel_addr).c_str(), unsigned(m.tunnel_port));
  return line + "\n";
}
