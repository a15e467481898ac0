#include "pty_process.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

namespace {
using clock_type = std::chrono::steady_clock;
}

pty_process::pty_process(const std::string &path, const std::vector<std::string> &args) {
  termios raw_output{};
  cfmakeraw(&raw_output);
  // Input keeps its line discipline (echo, Ctrl-C); output is passed as is.
  raw_output.c_lflag = ECHO | ICANON | ISIG;
  raw_output.c_iflag = ICRNL;
  raw_output.c_cc[VINTR] = 3;
  raw_output.c_cc[VMIN] = 1;
  pid_ = forkpty(&master_, nullptr, &raw_output, nullptr);
  if (pid_ == 0) {
    // The test runner may have left Ctrl-C ignored; a user's shell does not.
    signal(SIGINT, SIG_DFL);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
}

pty_process::~pty_process() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

void pty_process::type(const std::string &keys) {
  if (write(master_, keys.data(), keys.size()) < 0) return;
}

bool pty_process::read_some(int timeout_ms) {
  if (master_ < 0) return false;
  pollfd p = {master_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[4096];
  ssize_t n = read(master_, buf, sizeof buf);
  if (n <= 0) return false;  // EIO once the child side is gone
  out_.append(buf, size_t(n));
  return true;
}

bool pty_process::wait_for_output(const std::string &text, std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  while (out_.find(text) == std::string::npos) {
    if (clock_type::now() >= deadline) return false;
    if (!read_some(20)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool pty_process::wait_echo_off(std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  for (;;) {
    termios t{};
    // The master reports the settings of the terminal's slave side.
    if (tcgetattr(master_, &t) == 0 && !(t.c_lflag & ECHO)) return true;
    if (clock_type::now() >= deadline) return false;
    read_some(5);
  }
}

bool pty_process::wait_exit(std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  while (!exited_) {
    int raw;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (clock_type::now() >= deadline) return false;
    if (!read_some(20)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while (read_some(0)) {
  }
  return true;
}
