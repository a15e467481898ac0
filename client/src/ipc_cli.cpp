// The command-line client: connects, reads the daemon's status, sends at
// most one request and follows the daemon's notifications until the
// outcome is known. Progress texts stay on one line that the outcome
// completes.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "cli_impl.h"
#include "client/cli_texts.h"
#include "client/config.h"
#include "client/control.h"
#include "client/front.h"
#include "client/session.h"
#include "events/evl.h"
#include "ipclib/ipc.h"

namespace {

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

// A Ctrl-C ends the wait rather than the process in the middle of a send.
// Left alone when the shell started us with SIGINT ignored.
void catch_interrupt() {
  struct sigaction old;
  if (sigaction(SIGINT, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
  struct sigaction sa = {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

// Our inspection waits this long at most: a daemon too old to know the
// request says nothing at all.
const uint32_t INSPECT_LIMIT_MS = 10000;

// On standard error when standard output is kept for a program.
int not_running(bool for_programs = false) {
  const char *text = "Quilmar does not seem to be running. Have you run 'quilmar start' ?";
  if (for_programs)
    fprintf(stderr, "%s\n", text);
  else
    puts(text);
  return -2;
}

}  // namespace

bool interrupted_by_user() { return interrupted != 0; }

void ipc_cli::print(const std::string &text) {
  if (text.empty()) return;
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  line_open = text.back() != '\n';
}

void ipc_cli::finish(const char *line) {
  print(std::string(line) + "\n");
  waiting = false;
}

void ipc_cli::wait(uint32_t limit_ms) {
  const uint32_t start = evl_now;
  while (waiting && connected && !interrupted) {
    evl_run(200);
    if (limit_ms && evl_now - start >= limit_ms) break;
  }
  if (interrupted) stop_interrupted();
}

void ipc_cli::stop_interrupted() {
  if (line_open) print("\n");
  // Ended by the signal, as the shell expects of an interrupted command.
  signal(SIGINT, SIG_DFL);
  raise(SIGINT);
  exit(130);
}

bool ipc_cli::send_request(const ipc_request &r) {
  request = r.code;
  std::string message = encode_request(r);
  args = message.substr(1);
  sending = true;
  bool sent = ipc_send(message);
  sending = false;
  return sent;
}

void ipc_cli::on_close() {
  connected = false;
  // Before the status, and inside a failed send, the caller reports.
  if (!have_status || sending) return;
  if (request == IPC_shutdown) print(" ok");
  if (waiting && request != IPC_inspect) print("\n");
  waiting = false;
}

void ipc_cli::on_message(const std::string &message) {
  // Once the outcome is printed, whatever else arrived in the same receive
  // must not add a second one.
  if (!waiting) return;
  ipc_reply r;
  if (!decode_reply(message, r)) return;
  switch (r.code) {
    case IPC_status:
      have_status = true;
      version = r.version;
      pid = r.pid;
      state = r.state;
      sub_state = r.sub;
      retry = r.reconnect;
      nickname = r.nickname;
      rename_to = r.rename_to;
      break;
    case IPC_state_change:
      state_changed(r.state, r.sub);
      break;
    case IPC_error:
      session_error(r.kind, r.last_status);
      break;
    case IPC_create_result: result(IPC_create, r.result); break;
    case IPC_delete_result: result(IPC_delete, r.result); break;
    case IPC_modify_result: result(IPC_modify, r.result); break;
    case IPC_join_result: result(IPC_join, r.result); break;
    case IPC_netop_result: result(IPC_netop, r.result); break;
    case IPC_network: print(network_line(r)); break;
    case IPC_member: print(member_line(r)); break;
    case IPC_list_end: waiting = false; break;
    case IPC_inspect_self:
    case IPC_inspect_network:
    case IPC_inspect_member:
    case IPC_inspect_end:
      if (request != IPC_inspect) break;
      report.take(r);
      waiting = !report.complete;
      break;
  }
}

void ipc_cli::state_changed(uint32_t new_state, uint8_t new_sub) {
  // Dots start after the name lookup: one per later step of the login.
  if (state == STATE_resolve || progress) progress = true;
  if (request == IPC_login && progress && new_state > state) print(".");
  state = new_state;
  sub_state = new_sub;
  if (new_sub == 0) return;
  if ((request == IPC_logout && new_state == STATE_offline) ||
      (request == IPC_login && new_state == STATE_ready)) {
    finish(" ok");
    return;
  }
  // Going offline drops every pending network operation, create and
  // delete included: their result will never come.
  // The inspection's answer comes at once, whatever the state.
  if (request >= IPC_create && request != IPC_inspect && new_state == STATE_offline)
    finish(" failed (offline)");
}

void ipc_cli::session_error(uint32_t kind, uint8_t status) {
  if (request != IPC_login) return;
  if (kind == ERR_refused && status == 4) {
    print(">");  // redirected: the session connects again at once
    return;
  }
  print(" failed\n");
  if (retry)
    print("retrying   ..");  // the session reconnects by itself
  else
    waiting = false;
}

void ipc_cli::result(uint8_t for_request, uint8_t result) {
  if (request != for_request) return;
  if (result == 1)
    finish(" ok");
  else
    finish((std::string(" failed, ") + result_text(result)).c_str());
}

int cli_main(const std::vector<std::string> &words) {
  ipc_cli cli;
  catch_interrupt();
  const bool for_programs = output_for_programs(words);
  ipc_set_path(current_config.cfg_path + "/" + "ipc_sock");
  if (!ipc_connect(&cli)) return not_running(for_programs);
  // A daemon busy with another client closes at once, before any status.
  while (!cli.have_status && cli.connected && !interrupted) evl_run(200);
  if (interrupted) cli.stop_interrupted();
  if (!cli.have_status) return not_running(for_programs);

  if (words.empty()) {
    printf("%s", banner);
    cli.print(status_text(cli.version, cli.pid, cli.state, cli.retry, cli.nickname));
    return 0;
  }
  cli_command command;
  if (!prepare_command(cli, words, command)) return 0;
  cli.print(command.before);
  if (!cli.send_request(command.request)) {
    if (cli.line_open) cli.print("\n");
    return not_running(for_programs);
  }
  cli.print(command.after);
  if (command.wait) cli.wait(command.render ? INSPECT_LIMIT_MS : 0);
  if (command.render) {
    if (!cli.report.complete) {
      fprintf(stderr, "The daemon did not answer; it may be older than this client.\n");
      return -2;
    }
    cli.print(command.render(cli.report));
  }
  return 0;
}
