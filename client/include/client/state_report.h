// What the command-line client makes of the daemon's answer to
// IPC_inspect: the replies gathered into one record, and the texts printed
// from it by `quilmar list --json`, `quilmar peers [--json]` and the
// completion's `quilmar list --names`. Pure formatting on plain records, so
// that it can be checked byte for byte.
//
// Names and nicknames come from other users through the server. The JSON
// library escapes them (and puts U+FFFD for bytes that are not UTF-8);
// the table shows bytes that would steer the terminal as '?'.
#pragma once

#include <string>
#include <vector>

#include "client/control_msg.h"

struct state_report {
  struct network_entry {
    ipc_reply network;               // IPC_inspect_network
    std::vector<ipc_reply> members;  // IPC_inspect_member, in the daemon's order
  };
  ipc_reply self;  // IPC_inspect_self
  std::vector<network_entry> networks;
  bool complete = false;  // IPC_inspect_end has arrived

  // Takes one message of the answer, in the order the daemon sends them;
  // false for a reply that is not part of it.
  bool take(const ipc_reply &r);
};

// `quilmar list --json`: one document and a line feed.
std::string state_json(const state_report &report);
// `quilmar list --names`: the network names, one a line; a name that holds
// a line feed is left out.
std::string network_names(const state_report &report);
// `quilmar peers`: a header, then one line per peer with a tunnel (a peer
// met in several networks once): address, nickname, endpoint, bytes
// received and sent, and how long ago the last datagram came.
std::string peers_table(const state_report &report);
// `quilmar peers --json`: the same rows as an array of objects, the counts
// in bytes and milliseconds, with the age of the peer's last keep-alive.
std::string peers_json(const state_report &report);
