// Starting quilmar-server as a process for tests: on 127.0.0.1 with port 0,
// its log (standard error) captured, the chosen port read from its
// "listening on" line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

extern const std::string kServerBin;

class server_process {
 public:
  // quilmar-server run -d DIR -l 127.0.0.1 -p 0 [--demo] EXTRA...
  explicit server_process(const std::string &dir, const std::vector<std::string> &extra = {},
                          bool demo = true);
  // Stops the server if it still runs; a sanitizer report in its output,
  // or an unclean end, fails the test.
  ~server_process();
  // False when the server did not come up (its output says why).
  bool up() const { return port != 0; }
  // Waits until the log shows `text`.
  bool logged(const std::string &text, int timeout_ms = 10000);
  // SIGTERM and the exit status (-1 on timeout).
  int stop();
  // SIGKILL, as a crash would end it; waits for the end.
  void crash();
  const std::string &output() const { return proc->output(); }

  uint16_t port = 0;

 private:
  std::unique_ptr<background_process> proc;
  bool ended = false;
};
