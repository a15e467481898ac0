// Puts another /etc/hosts under this process's name lookups, in a private
// mount namespace (root, or a user namespace where the system allows one).
// With no text, the file is a FIFO without writer: every lookup hangs on it.
// The process keeps the private namespace; the file is undone at the end.
#pragma once

#include <string>

#include "tempdir.h"

class hosts_override {
 public:
  explicit hosts_override(const std::string &text = "");
  ~hosts_override();
  hosts_override(const hosts_override &) = delete;
  hosts_override &operator=(const hosts_override &) = delete;
  bool ready = false;

 private:
  temp_dir dir;
};
