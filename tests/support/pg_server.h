// A PostgreSQL server of a test's own: initdb and pg_ctl in a temporary
// directory, listening only on a Unix socket there, run as an unprivileged
// user (nobody when the test runs as root, since PostgreSQL refuses root).
// Stopped and removed with the object. Where it cannot start (not
// installed, no such user), `reason` says why and tests skip.
#pragma once

#include <string>
#include <vector>

class pg_server {
 public:
  pg_server();
  ~pg_server();
  bool running() const { return reason.empty(); }
  // A new empty database on this server; its postgresql:// URI, or "".
  std::string create_database(const std::string &name);
  // Runs SQL in database `name`; false when it fails.
  bool sql(const std::string &name, const std::string &statement);
  std::string uri(const std::string &name) const;

  std::string reason;  // why it is not running
  std::string dir;     // holds the data, the log and the socket

 private:
  bool run_as_owner(const std::vector<std::string> &args);
  std::string read_log() const;
  std::string bin;  // directory of initdb and pg_ctl
  bool started = false;
};

// Skips the current test when `pg` is not running.
#define SKIP_WITHOUT_POSTGRESQL(pg)                                              \
  do {                                                                           \
    if (!(pg).running()) GTEST_SKIP() << "no PostgreSQL for this test: " << (pg).reason; \
  } while (0)
