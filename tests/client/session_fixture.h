// What the session's tests share: a configuration directory that trusts
// the scripted test server, a session made the way the daemon makes it
// (dummy tap device, configured with the identity when there is one), and
// a session_cb that records every report.
#pragma once

#include <atomic>
#include <climits>
#include <thread>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/config.h"
#include "client/session.h"
#include "daemon_helpers.h"
#include "event_loop.h"
#include "log_capture.h"
#include "tempdir.h"
#include "test_server.h"

struct recorded_reports : session_cb {
  session *s = nullptr;
  std::vector<std::string> events;
  // Called at each state change, before the session records it.
  std::function<void(uint32_t, uint8_t)> on_state;
  uint32_t last_state = STATE_offline;
  uint8_t last_sub = 1;

  void on_state_change(uint32_t state, uint8_t sub) override {
    events.push_back("state " + std::to_string(state) + "." + std::to_string(sub));
    // The session still holds the state it leaves.
    EXPECT_EQ(s->state * 10 + s->sub, last_state * 10 + last_sub);
    last_state = state;
    last_sub = sub;
    if (on_state) on_state(state, sub);
  }
  void on_session_error(uint32_t kind) override {
    events.push_back("error " + std::to_string(kind) + " " + s->err_text + " " +
                     std::to_string(s->err_detail) + " " + std::to_string(s->last_status));
  }
  void on_create_result(uint8_t status) override { result("create", status); }
  void on_delete_result(uint8_t status) override { result("delete", status); }
  void on_modify_result(uint8_t status) override { result("modify", status); }
  void on_join_result(uint8_t status, const std::string &name) override {
    events.push_back("join " + std::to_string(status) + " " + name);
  }
  void on_netop_result(uint8_t status, const std::string &name, uint8_t op) override {
    events.push_back("netop " + std::to_string(status) + " " + name + " " + std::to_string(op));
  }
  void result(const char *what, uint8_t status) {
    events.push_back(std::string(what) + " " + std::to_string(status));
  }
  // The reports that are not state changes.
  std::vector<std::string> others() const {
    std::vector<std::string> out;
    for (const std::string &e : events)
      if (e.rfind("state ", 0) != 0) out.push_back(e);
    return out;
  }
};

class SessionTest : public LoggedTest {
 protected:
  void SetUp() override {
    LoggedTest::SetUp();
    ASSERT_TRUE(evl_init());
    install_client_keys(dir.path());
    write_file(dir.file("server.pub"), server.public_key_file());
  }
  void TearDown() override {
    s.reset();
    server.stopping = true;
    server.join();
    LoggedTest::TearDown();
  }

  // Loads the configuration directory with `state` as the state file and
  // makes the session.
  void start(const std::string &state = "", const std::string &more_config = "") {
    write_file(dir.file("config"),
               "ServerAddress 127.0.0.1:" + std::to_string(server.port) + "\n" + more_config);
    if (!state.empty()) write_file(dir.file("state"), state);
    // The configuration is process-wide; what an earlier test loaded (its
    // identity, for one) must not leak into this one.
    current_config = config{};
    current_config.cfg_path = dir.path();
    ASSERT_TRUE(load_config(current_config));
    s = std::make_unique<session>(&reports);
    reports.s = s.get();
    s->tap = tapdev_dummy_create(s.get());
    const config &cfg = current_config;
    if (cfg.identity != 0) s->tap->configure(cfg.identity, cfg.netmask);
  }

  // Lets a paused script go on and runs the loop until it has finished.
  bool script_done(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    resumed = INT_MAX;
    return run_until([&] { return server.done(); }, timeout);
  }
  // Lets a paused script go on and runs the loop until it pauses at `step`
  // (or ends). What the test checks then cannot change under it.
  bool reached(int step) {
    resumed = phase.load();
    return run_until([&] { return phase >= step || server.done(); }) && phase >= step;
  }
  // For scripts: waits at `step` until the test lets it go on.
  void pause(int step) {
    phase = step;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (resumed < step && !server.stopping && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // The log lines that start with `prefix`, in order.
  std::vector<std::string> lines_with(const std::string &prefix) const {
    std::vector<std::string> out;
    for (const std::string &line : logged)
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }
  std::string state_file() const { return read_file(dir.file("state")); }

  temp_dir dir;
  test_server server;
  recorded_reports reports;
  std::unique_ptr<session> s;
  std::atomic<int> phase{0};    // where the script pauses
  std::atomic<int> resumed{0};  // up to which pause the script may go on
};

// The state log lines of a path through the states "1.1", "2.0", ...
inline std::vector<std::string> state_lines(const std::vector<std::string> &path) {
  std::vector<std::string> out;
  for (size_t i = 1; i < path.size(); i++)
    out.push_back("ses: state " + path[i - 1] + " -> " + path[i] + "\n");
  return out;
}
