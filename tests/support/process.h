// Runs a program as a child process for tests: captures its standard output
// and error, waits with a deadline, and kills it when the deadline passes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct process_result {
  int status = -1;       // exit status, or 128 + signal number
  bool timed_out = false;
  std::string out;       // standard output and error, interleaved
};

struct process_options {
  std::vector<std::string> env_set;    // "NAME=value" entries to set
  std::vector<std::string> env_unset;  // names to remove
  std::string argv0;                   // name to run under; defaults to the path
  std::chrono::milliseconds timeout{20000};
  bool no_terminal = false;  // run without a controlling terminal (own session)
};

process_result run_process(const std::string &path, const std::vector<std::string> &args,
                           const process_options &options = {});

// A child running in the background with its output in a pipe.
class background_process {
 public:
  background_process(const std::string &path, const std::vector<std::string> &args,
                     const process_options &options = {});
  ~background_process();  // kills the child if it still runs

  pid_t pid() const { return pid_; }
  // Reads output until `text` has been seen or the deadline passes.
  bool wait_for_output(const std::string &text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits for the exit (and reads the rest of the output); false on timeout.
  bool wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  int status() const { return status_; }
  const std::string &output() const { return out_; }

 private:
  bool read_some(int timeout_ms);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::string out_;
};

// Polls `condition` until it holds or the deadline passes.
bool wait_until(const std::function<bool()> &condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The full path of a system program (ip, ping) in the usual directories, or
// "" when it is not installed.
std::string find_program(const char *name);
