// Replies reach the client from whatever listens on the control socket,
// and names and nicknames in them come from other users through the
// server. The input is one reply message. What the client accepts must
// write back out and read the same, and the lines it prints for a listing
// keep their columns and carry no byte that would steer the terminal; so
// does the peers table made from a member of an inspection.
#include <cstdint>
#include <string>

#include "client/cli_texts.h"
#include "client/control_msg.h"
#include "client/state_report.h"
#include "fuzz_check.h"

namespace {

bool same(const ipc_reply &a, const ipc_reply &b) {
  return a.code == b.code && a.version == b.version && a.pid == b.pid &&
         a.state == b.state && a.sub == b.sub && a.reconnect == b.reconnect &&
         a.nickname == b.nickname && a.rename_to == b.rename_to &&
         a.last_status == b.last_status && a.kind == b.kind && a.text == b.text &&
         a.detail == b.detail && a.result == b.result && a.name == b.name && a.op == b.op &&
         a.online == b.online && a.addr == b.addr && a.reported == b.reported &&
         a.tunnel_addr == b.tunnel_addr && a.tunnel_port == b.tunnel_port &&
         a.identity == b.identity && a.server == b.server && a.server_port == b.server_port &&
         a.interface == b.interface && a.owner == b.owner && a.has_tunnel == b.has_tunnel &&
         a.tunnel.tx_bytes == b.tunnel.tx_bytes && a.tunnel.bad_packets == b.tunnel.bad_packets &&
         a.tunnel.last_keepalive_age == b.tunnel.last_keepalive_age;
}

// One line: no control byte before the final line feed.
void check_line(const std::string &line) {
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  for (size_t i = 0; i + 1 < line.size(); i++) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    FUZZ_CHECK(c >= 0x20 && c != 0x7f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string message(reinterpret_cast<const char *>(data), size);
  ipc_reply r;
  if (!decode_reply(message, r)) return 0;

  FUZZ_CHECK((r.code >= IPC_status && r.code <= IPC_modify_result) ||
             (r.code >= IPC_inspect_self && r.code <= IPC_inspect_end));
  const std::string again = encode_reply(r);
  // The reply is the tail of the message, after the skipped bytes.
  FUZZ_CHECK(again.size() <= size);
  ipc_reply back;
  FUZZ_CHECK(decode_reply(again, back) && same(back, r));
  FUZZ_CHECK(encode_reply(back) == again);

  if (r.code == IPC_network) {
    std::string line = network_line(r);
    check_line(line);
    FUZZ_CHECK(line.size() == r.name.size() + 6);
  }
  if (r.code == IPC_member) {
    std::string line = member_line(r);
    check_line(line);
    // Mark, address and nickname columns, then the endpoint when known.
    size_t columns = 49 + 1;
    if (r.reported && r.tunnel_addr) FUZZ_CHECK(line.size() > columns + 2);
    else FUZZ_CHECK(line.size() == columns);
  }
  if (r.code == IPC_inspect_member) {
    state_report report;
    ipc_reply network;
    network.code = IPC_inspect_network;
    FUZZ_CHECK(report.take(network) && report.take(r));
    const std::string table = peers_table(report);
    for (size_t at = 0, end; at < table.size(); at = end + 1) {
      end = table.find('\n', at);
      FUZZ_CHECK(end != std::string::npos);
      check_line(table.substr(at, end - at + 1));
    }
    FUZZ_CHECK(!state_json(report).empty() && !peers_json(report).empty());
  }
  if (r.code >= IPC_create_result && r.code <= IPC_modify_result && r.result != 1)
    FUZZ_CHECK(result_text(r.result)[0] != '\0');
  return 0;
}
