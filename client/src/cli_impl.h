// Inside the command-line client: the connection's owner and the command
// table, shared by ipc_cli.cpp and cli_commands.cpp only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/control_msg.h"
#include "client/state_report.h"
#include "ipclib/ipc.h"

class ipc_cli final : public ipc_cb {
 public:
  void on_open() override {}
  void on_close() override;
  void on_message(const std::string &message) override;

  // Writes and flushes; remembers whether a line waits for its end.
  void print(const std::string &text);
  // Sends the one request; false when the connection failed meanwhile.
  bool send_request(const ipc_request &r);
  // Follows the daemon until the outcome is printed or the connection ends,
  // or for at most `limit_ms` when that is not 0.
  void wait(uint32_t limit_ms = 0);
  // Ctrl-C: ends the open line and the process, by the signal.
  [[noreturn]] void stop_interrupted();

  bool waiting = true;
  bool have_status = false;  // IPC_status has arrived
  bool connected = true;
  bool sending = false;      // inside send_request
  bool line_open = false;
  std::string version;
  uint32_t pid = 0;
  uint32_t state = 0;
  uint8_t sub_state = 0;
  uint8_t retry = 0;         // the daemon's reconnect flag, then the login's choice
  std::string nickname;
  std::string rename_to;
  uint8_t request = 0;       // code of the request sent
  std::string args;          // its fields
  bool progress = false;     // login progress is shown from here on
  state_report report;       // the answer to IPC_inspect

 private:
  void finish(const char *line);
  void state_changed(uint32_t new_state, uint8_t new_sub);
  void session_error(uint32_t kind, uint8_t status);
  void result(uint8_t for_request, uint8_t result);
};

// True once the user has pressed Ctrl-C.
bool interrupted_by_user();

// What a command sends and prints around it.
struct cli_command {
  ipc_request request;
  std::string before;  // printed before sending
  std::string after;   // printed once the request has gone
  bool wait = true;    // follow the daemon until the outcome
  // For IPC_inspect: what is printed of the whole answer.
  std::string (*render)(const state_report &) = nullptr;
};

// Whether the command's output is meant for programs (`list --json`, `peers
// --json`, `list --names`): standard output then carries that alone.
bool output_for_programs(const std::vector<std::string> &words);

// Checks the command words against the daemon's status and fills
// `command`. False when nothing is to be sent: a refusal has been printed
// or no password could be read. Command-line errors end in usage().
bool prepare_command(ipc_cli &cli, const std::vector<std::string> &words, cli_command &command);
