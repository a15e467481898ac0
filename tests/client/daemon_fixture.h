// A configuration directory that trusts the scripted test server, for tests
// that run the daemon as a process against it. Whatever the test started
// with the directory on its command line is killed at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_helpers.h"
#include "tempdir.h"
#include "test_server.h"

class DaemonWithTestServer : public ::testing::Test {
 protected:
  void SetUp() override {
    install_client_keys(dir.path());
    write_file(dir.file("server.pub"), server.public_key_file());
  }
  void TearDown() override {
    kill_processes_with_argument(dir.path());
    server.stopping = true;
    server.join();
  }
  // `words` behind the option that points at the directory.
  std::vector<std::string> args(std::vector<std::string> words) {
    words.insert(words.begin(), {"-c", dir.path()});
    return words;
  }
  temp_dir dir;
  test_server server;
};
