// The commands of the command-line client: their checks against the
// daemon's status, the password prompt, and the request each one sends.
#include <bsd/readpassphrase.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "cli_impl.h"
#include "client/front.h"
#include "client/session.h"
#include "common/codec.h"
#include "common/util.h"

namespace {

const char online_only[] = "This is an online operation and you are not logged in";

bool refuse(ipc_cli &cli, const char *text) {
  cli.print(std::string(text) + "\n");
  return false;
}

// readpassphrase reads the terminal when the process has one.
bool have_terminal() {
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Without a terminal the answer comes from standard input, and at its end
// readpassphrase keeps answering with an empty line.
bool input_ended() {
  pollfd p = {0, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;  // nothing yet: a line may still come
  if (p.revents & POLLNVAL) return true;
  int waiting_bytes = 0;
  return ioctl(0, FIONREAD, &waiting_bytes) != 0 || waiting_bytes == 0;
}

// False when no password could be read; the client then ends quietly.
bool ask_password(ipc_cli &cli, std::string &password) {
  cli.print("Password: ");
  bool terminal = have_terminal();
  char buf[256];
  const char *answer = readpassphrase("", buf, sizeof buf, 0);
  if (terminal) cli.line_open = false;  // readpassphrase ended the line
  if (interrupted_by_user()) cli.stop_interrupted();
  if (!answer) return false;
  password = answer;
  explicit_bzero(buf, sizeof buf);
  if (password.empty() && !terminal && input_ended()) return false;
  return true;
}

// Four decimal parts of 0 to 255 and nothing else: no signs, no blanks.
bool dotted_address(const std::string &text, uint32_t &addr) {
  if (text.find_first_not_of("0123456789.") != std::string::npos) return false;
  return text_to_ip(text.c_str(), addr);
}

std::string eviction_record(uint32_t addr) {
  std::string record;
  put_u8(record, 0x07);
  put_u8(record, 0x01);
  put_u32(record, addr);
  return record;
}

}  // namespace

bool output_for_programs(const std::vector<std::string> &words) {
  if (words.size() < 2) return false;
  return (words[0] == "list" && (words[1] == "--json" || words[1] == "--names")) ||
         (words[0] == "peers" && words[1] == "--json");
}

bool prepare_command(ipc_cli &cli, const std::vector<std::string> &words, cli_command &c) {
  const std::string &cmd = words[0];
  const bool has_name = words.size() > 1;
  const std::string name = has_name ? words[1] : std::string();
  const bool ready = cli.state == STATE_ready;
  ipc_request &r = c.request;

  if (cmd == "shutdown" || cmd == "stop") {
    r.code = IPC_shutdown;
    c.before = "Shutting down ..";
  } else if (cmd == "login") {
    if (ready) return refuse(cli, "Already logged in.");
    r.code = IPC_login;
    r.retry = has_name && name == "retry";
    cli.retry = r.retry;
    c.before = "Logging in ..";
  } else if (cmd == "logout") {
    if (cli.state == STATE_offline) return refuse(cli, "Already logged out");
    r.code = IPC_logout;
    c.before = "Logging out ..";
  } else if (cmd == "create") {
    if (!has_name) usage();
    if (!ready) return refuse(cli, online_only);
    if (name.size() < 4 || name.size() > 64)
      return refuse(cli, "Network name must be between 4 and 64 characters long");
    if (words.size() > 2) {
      r.password = words[2];
    } else {
      for (;;) {
        if (!ask_password(cli, r.password)) return false;
        if (!r.password.empty()) break;
        cli.print("Password cannot be blank\n");
      }
    }
    r.code = IPC_create;
    r.name = name;
    c.before = "Creating " + name + " ..";
  } else if (cmd == "delete") {
    if (!has_name) usage();
    if (!ready) return refuse(cli, online_only);
    r.code = IPC_delete;
    r.name = name;
    c.before = "Deleting " + name + " ..";
  } else if (cmd == "join") {
    if (!has_name) usage();
    if (!ready) return refuse(cli, online_only);
    if (words.size() > 2)
      r.password = words[2];
    else if (!ask_password(cli, r.password))
      return false;
    r.code = IPC_join;
    r.name = name;
    c.before = "Joining " + name + " ..";
  } else if (cmd == "leave" || cmd == "go-online" || cmd == "go-offline") {
    if (!has_name) usage();
    if (!ready) return refuse(cli, online_only);
    r.code = IPC_netop;
    r.name = name;
    const char *verb;
    if (cmd == "leave") {
      r.op = NETOP_leave;
      verb = "Leaving";
    } else if (cmd == "go-online") {
      r.op = NETOP_online;
      verb = "Going online in";
    } else {
      r.op = NETOP_offline;
      verb = "Going offline in";
    }
    c.before = std::string(verb) + " " + name + " ..";
  } else if (cmd == "evict") {
    if (words.size() < 3) usage();
    if (!ready) return refuse(cli, online_only);
    uint32_t addr;
    if (!dotted_address(words[2], addr)) usage();
    r.code = IPC_modify;
    r.name = name;
    r.modification = eviction_record(addr);
    c.before = "evicting " + words[2] + " from " + name + " ..";
  } else if (cmd == "list") {
    r.code = IPC_state;
    // Our own forms; any other word after list is ignored, as it always was.
    if (has_name && (name == "--json" || name == "--names")) {
      r.code = IPC_inspect;
      c.render = name == "--json" ? state_json : network_names;
    }
  } else if (cmd == "peers") {
    if (words.size() > 2 || (has_name && name != "--json")) usage();
    r.code = IPC_inspect;
    c.render = has_name ? peers_json : peers_table;
  } else if (cmd == "set-nick") {
    if (!has_name) usage();
    r.code = IPC_set_nick;
    r.nickname = name;
    c.after = "Setting nickname .. ok\n";
    c.wait = false;
  } else if (cmd == "resolve" || cmd == "get-nicks") {
    if (!ready) return refuse(cli, online_only);
    r.code = IPC_resolve;
    c.before = "Retrieving peers' nicknames .. \n";
    c.wait = false;
  } else if (cmd == "kill-io") {
    r.code = IPC_kill_io;
    c.wait = false;
  } else {
    usage();
  }
  return true;
}
