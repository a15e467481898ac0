// Removes a network namespace a test made, whatever becomes of the test: a
// child process waits on a pipe and, once the test closes it (or dies),
// kills the processes it was told about and deletes the namespace.
#pragma once

#include <sys/types.h>

#include <string>

class netns_guardian {
 public:
  netns_guardian() = default;
  ~netns_guardian() { stop(); }
  netns_guardian(const netns_guardian &) = delete;
  netns_guardian &operator=(const netns_guardian &) = delete;

  // Starts guarding namespace `ns`, deleted with the `ip` program at `ip`.
  bool start(const std::string &ip, const std::string &ns);
  // Has the guardian kill `pid` before it deletes the namespace.
  void watch(pid_t pid);
  // Lets the guardian clean up now and waits for it; false when it did not
  // finish in time.
  bool stop();

 private:
  pid_t child_ = -1;
  int pipe_ = -1;
};
