// What the command-line client prints for the daemon's reports: the status
// display, the lines of a listing and the texts for refused network
// operations. Pure formatting, so that it can be checked byte for byte.
// Names and nicknames come from other users through the server; bytes that
// would steer the terminal are shown as '?'.
#pragma once

#include <cstdint>
#include <string>

#include "client/control_msg.h"

// The text for the result code of a refused network operation. Unknown
// codes come out as "[%u]" from one static buffer, valid until the next
// call.
const char *result_text(uint8_t result);

// The status display after the banner: version, pid, status, nickname and
// an empty line. `reconnect` is the daemon's reconnect flag.
std::string status_text(const std::string &version, uint32_t pid, uint32_t state,
                        bool reconnect, const std::string &nickname);

// `text` with its control bytes (escape sequences, carriage returns, NULs),
// which would steer the terminal or cut the line short, as '?'.
std::string printable(const std::string &text);

// One line of a listing for IPC_network and IPC_member.
std::string network_line(const ipc_reply &network);
std::string member_line(const ipc_reply &member);
