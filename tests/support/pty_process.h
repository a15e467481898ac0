// Runs a program on a pseudo-terminal, as a user at a terminal would: the
// test types into it, reads what it shows, can see whether the terminal
// echoes (a password prompt turns echo off), and can press Ctrl-C.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class pty_process {
 public:
  pty_process(const std::string &path, const std::vector<std::string> &args);
  ~pty_process();  // kills the child if it still runs

  pid_t pid() const { return pid_; }
  // Writes to the terminal as typed keys ("\x03" is Ctrl-C).
  void type(const std::string &keys);
  // Reads until `text` has been shown or the deadline passes.
  bool wait_for_output(const std::string &text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits until the terminal no longer echoes what is typed.
  bool wait_echo_off(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  int status() const { return status_; }  // exit status, or 128 + signal
  const std::string &output() const { return out_; }

 private:
  bool read_some(int timeout_ms);
  pid_t pid_ = -1;
  int master_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::string out_;
};
