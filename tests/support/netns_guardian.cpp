#include "netns_guardian.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "process.h"

bool netns_guardian::start(const std::string &ip, const std::string &ns) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  child_ = fork();
  if (child_ == 0) {
    close(fds[1]);
    std::vector<pid_t> pids;
    pid_t pid;
    while (read(fds[0], &pid, sizeof pid) == sizeof pid) pids.push_back(pid);
    for (pid_t p : pids) kill(p, SIGKILL);
    execl(ip.c_str(), ip.c_str(), "netns", "del", ns.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  if (child_ < 0) {
    close(fds[1]);
    return false;
  }
  pipe_ = fds[1];
  return true;
}

void netns_guardian::watch(pid_t pid) {
  if (pipe_ < 0) return;
  ssize_t ignored = write(pipe_, &pid, sizeof pid);
  (void)ignored;
}

bool netns_guardian::stop() {
  if (pipe_ >= 0) close(pipe_);
  pipe_ = -1;
  if (child_ <= 0) return true;
  int status = 0;
  pid_t child = child_;
  child_ = -1;
  bool done = wait_until([&] { return waitpid(child, &status, WNOHANG) == child; },
                         std::chrono::seconds(20));
  if (!done) kill(child, SIGKILL);
  return done;
}
