#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

pid_t spawn(const std::string &path, const std::vector<std::string> &args,
            const process_options &options, int &out_fd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    if (options.no_terminal) setsid();
    for (auto &name : options.env_unset) unsetenv(name.c_str());
    for (auto &entry : options.env_set) putenv(strdup(entry.c_str()));
    std::vector<char *> argv;
    std::string argv0 = options.argv0.empty() ? path : options.argv0;
    argv.push_back(const_cast<char *>(argv0.c_str()));
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_fd = fds[0];
  return pid;
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

process_result run_process(const std::string &path, const std::vector<std::string> &args,
                           const process_options &options) {
  background_process child(path, args, options);
  process_result result;
  result.timed_out = !child.wait_exit(options.timeout);
  result.status = child.status();
  result.out = child.output();
  return result;
}

background_process::background_process(const std::string &path,
                                       const std::vector<std::string> &args,
                                       const process_options &options) {
  pid_ = spawn(path, args, options, out_fd_);
}

background_process::~background_process() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

bool background_process::read_some(int timeout_ms) {
  if (out_fd_ < 0) return false;
  pollfd p = {out_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[4096];
  ssize_t n = read(out_fd_, buf, sizeof buf);
  if (n <= 0) {
    close(out_fd_);
    out_fd_ = -1;
    return false;
  }
  out_.append(buf, n);
  return true;
}

bool background_process::wait_for_output(const std::string &text,
                                          std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  while (out_.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0 || out_fd_ < 0) return out_.find(text) != std::string::npos;
    read_some(static_cast<int>(left.count()));
  }
  return true;
}

bool background_process::wait_exit(std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  while (!exited_) {
    int raw;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = decode_status(raw);
      break;
    }
    if (clock_type::now() >= deadline) return false;
    if (!read_some(20)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Drain what is left; a detached grandchild may keep the pipe open, so
  // stop at the deadline.
  while (out_fd_ >= 0 && clock_type::now() < deadline && read_some(50)) {
  }
  return true;
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  while (!condition()) {
    if (clock_type::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string find_program(const char *name) {
  for (const char *dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    std::string path = std::string(dir) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}
