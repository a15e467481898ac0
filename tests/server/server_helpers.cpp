#include "server_helpers.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>

const std::string kServerBin = QUILMAR_SERVER_BIN;

server_process::server_process(const std::string &dir, const std::vector<std::string> &extra,
                               bool demo) {
  std::vector<std::string> args = {"run", "-d", dir, "-l", "127.0.0.1", "-p", "0"};
  if (demo) args.push_back("--demo");
  args.insert(args.end(), extra.begin(), extra.end());
  proc.reset(new background_process(kServerBin, args));
  const std::string marker = "listening on 127.0.0.1:";
  if (!proc->wait_for_output(" (tcp and udp)")) return;
  const std::string &out = proc->output();
  size_t at = out.find(marker);
  if (at != std::string::npos) port = uint16_t(atoi(out.c_str() + at + marker.size()));
}

bool server_process::logged(const std::string &text, int timeout_ms) {
  return proc->wait_for_output(text, std::chrono::milliseconds(timeout_ms));
}

int server_process::stop() {
  ended = true;
  kill(proc->pid(), SIGTERM);
  if (!proc->wait_exit()) return -1;
  return proc->status();
}

server_process::~server_process() {
  if (!ended && up()) {
    EXPECT_EQ(stop(), 0) << output();
  }
  for (const char *bad : {"Sanitizer", "runtime error"})
    EXPECT_EQ(output().find(bad), std::string::npos) << output();
}

void server_process::crash() {
  ended = true;
  kill(proc->pid(), SIGKILL);
  proc->wait_exit();
}
