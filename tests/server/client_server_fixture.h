// Real daemons against the real server, driven the way users drive them:
//
//   quilmar -c A <cmd> --ipc_sock--> quilmar start debug (A) --+
//   quilmar -c B <cmd> --ipc_sock--> quilmar start debug (B) --+-- TCP, UDP --> quilmar-server
//   quilmar -c C <cmd> --ipc_sock--> quilmar start debug (C) --+     run --demo -p 0
//
// The daemons (alice, bob, carol) use the dummy tap device and trust the
// demo key through their server.pub. The server's directory is `sdir`;
// `admin` runs quilmar-server's administration commands on it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "daemon_helpers.h"
#include "process.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

class ClientServer : public ::testing::Test {
 protected:
  void SetUp() override {
    start_server();
    write_file(a.file("state"), "Nickname alice\n");
    write_file(b.file("state"), "Nickname bob\n");
    write_file(c.file("state"), "Nickname carol\n");
  }
  void TearDown() override {
    for (temp_dir *d : {&a, &b, &c}) kill_processes_with_argument(d->path());
  }
  // (Re)starts the server on `sdir` and points every client at it.
  void start_server(const std::vector<std::string> &options = {}) {
    server.reset();
    server.reset(new server_process(sdir.path(), options));
    ASSERT_TRUE(server->up()) << server->output();
    // The demo key in the form a user's server.pub has, so the test does
    // not depend on the key a build trusts by default.
    const rsa_public_key &demo = demo_client_keys().pub;
    std::string pub;
    varint_lengths = false;
    write_public_key(pub, demo);
    varint_lengths = true;
    for (temp_dir *d : {&a, &b, &c}) {
      install_client_keys(d->path());
      write_file(d->file("server.pub"), pub);
      write_file(d->file("config"),
                 "DummyTap yes\nServerAddress 127.0.0.1:" + std::to_string(server->port) + "\n");
    }
  }
  std::unique_ptr<background_process> start(const temp_dir &d) {
    auto p = std::make_unique<background_process>(
        QUILMAR_BIN, std::vector<std::string>{"-c", d.path(), "start", "debug"});
    EXPECT_TRUE(wait_until([&] { return waiting_in_event_loop(p->pid()); }));
    return p;
  }
  process_result quilmar(const temp_dir &d, std::vector<std::string> words) {
    words.insert(words.begin(), {"-c", d.path()});
    process_options options;
    options.no_terminal = true;
    return run_process(QUILMAR_BIN, words, options);
  }
  // quilmar-server WORDS -d sdir
  process_result admin(std::vector<std::string> words) {
    words.insert(words.end(), {"-d", sdir.path()});
    return run_process(kServerBin, words);
  }
  nlohmann::json admin_json(std::vector<std::string> words) {
    words.push_back("--json");
    process_result r = admin(words);
    EXPECT_EQ(r.status, 0) << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
  }
  // The identity the daemon wrote into its state file.
  std::string identity(const temp_dir &d) {
    const std::string state = read_file(d.file("state"));
    size_t at = state.find("Identity");
    if (at == std::string::npos) return "";
    at = state.find_first_not_of(' ', at + 8);
    return state.substr(at, state.find('\n', at) - at);
  }
  // Reads what the daemon wrote meanwhile, until `text` shows.
  static bool logged(background_process &p, const std::string &text) {
    return p.wait_for_output(text, std::chrono::seconds(20));
  }
  static size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
  }

  temp_dir sdir, a, b, c;
  std::unique_ptr<server_process> server;
};
