// The real client against the real server, driven the way users drive it:
//
//   quilmar -c A <cmd> --ipc_sock--> quilmar start debug (A) --+
//                                                               +-- TCP, UDP --> quilmar-server
//   quilmar -c B <cmd> --ipc_sock--> quilmar start debug (B) --+     run --demo -p 0
//
// Both daemons use the dummy tap device. They enrol, create and join a
// network, go online and get tunnels to each other; A restarts and logs in
// again with its identity.
#include <gtest/gtest.h>

#include "daemon_helpers.h"
#include "process.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

class ClientServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.up()) << server.output();
    // The demo key in the form a user's server.pub has, so the test does not
    // depend on the key a build trusts by default.
    const rsa_public_key &demo = demo_client_keys().pub;
    std::string pub;
    varint_lengths = false;
    write_public_key(pub, demo);
    varint_lengths = true;
    for (temp_dir *d : {&a, &b}) {
      install_client_keys(d->path());
      write_file(d->file("server.pub"), pub);
      write_file(d->file("config"),
                 "DummyTap yes\nServerAddress 127.0.0.1:" + std::to_string(server.port) + "\n");
    }
    write_file(a.file("state"), "Nickname alice\n");
    write_file(b.file("state"), "Nickname bob\n");
  }
  void TearDown() override {
    kill_processes_with_argument(a.path());
    kill_processes_with_argument(b.path());
  }
  std::unique_ptr<background_process> start(const temp_dir &d) {
    auto p = std::make_unique<background_process>(QUILMAR_BIN,
                                                  std::vector<std::string>{"-c", d.path(), "start", "debug"});
    EXPECT_TRUE(wait_until([&] { return waiting_in_event_loop(p->pid()); }));
    return p;
  }
  process_result quilmar(const temp_dir &d, std::vector<std::string> words) {
    words.insert(words.begin(), {"-c", d.path()});
    process_options options;
    options.no_terminal = true;
    return run_process(QUILMAR_BIN, words, options);
  }
  // The identity the daemon wrote into its state file.
  std::string identity(const temp_dir &d) {
    const std::string state = read_file(d.file("state"));
    size_t at = state.find("Identity");
    if (at == std::string::npos) return "";
    at = state.find_first_not_of(' ', at + 8);
    return state.substr(at, state.find('\n', at) - at);
  }
  static size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
  }

  temp_dir sdir, a, b;
  server_process server{sdir.path()};
};

TEST_F(ClientServer, TwoDaemonsEnrolMeetAndComeBack) {
  auto da = start(a), db = start(b);
  for (temp_dir *d : {&a, &b}) {
    process_result r = quilmar(*d, {"login"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 13), "Logging in ..");
    EXPECT_EQ(r.out.substr(r.out.size() - 4), " ok\n") << r.out;
  }
  const std::string ida = identity(a), idb = identity(b);
  ASSERT_EQ(ida.substr(0, 2), "5.");
  ASSERT_EQ(idb.substr(0, 2), "5.");
  EXPECT_NE(ida, idb);
  EXPECT_TRUE(server.logged("enrolled as 'alice'"));
  EXPECT_TRUE(server.logged("enrolled as 'bob'"));

  EXPECT_EQ(quilmar(a, {"create", "office", "secret"}).out, "Creating office .. ok\n");
  EXPECT_EQ(quilmar(b, {"create", "office", "other"}).out,
            "Creating office .. failed, network name is already taken\n");
  EXPECT_EQ(quilmar(b, {"join", "office", "wrong"}).out,
            "Joining office .. failed, invalid password\n");
  EXPECT_EQ(quilmar(b, {"join", "office", "secret"}).out, "Joining office .. ok\n");
  EXPECT_EQ(quilmar(a, {"leave", "office"}).out, "Leaving office .. failed, you are an owner\n");
  EXPECT_EQ(quilmar(a, {"go-online", "office"}).out, "Going online in office .. ok\n");
  EXPECT_EQ(quilmar(b, {"go-online", "office"}).out, "Going online in office .. ok\n");

  // Each has a tunnel to the other at its UDP socket on loopback.
  ASSERT_TRUE(da->wait_for_output("ses: received peer.ok " + idb + " -- 127.0.0.1:"))
      << da->output();
  ASSERT_TRUE(db->wait_for_output("ses: received peer.ok " + ida + " -- 127.0.0.1:"))
      << db->output();
  EXPECT_TRUE(da->wait_for_output("ses: adding tunnel for " + idb));
  EXPECT_TRUE(db->wait_for_output("ses: adding tunnel for " + ida));
  process_result list = quilmar(a, {"list"});
  EXPECT_NE(list.out.find(" * [office]\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("     * " + idb), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("127.0.0.1:"), std::string::npos) << list.out;

  // A restarts: it logs in with its identity (auth), goes online again by
  // itself, and B is introduced to it anew.
  EXPECT_EQ(quilmar(a, {"stop"}).out, "Shutting down .. ok\n");
  ASSERT_TRUE(da->wait_exit());
  ASSERT_TRUE(db->wait_for_output("ses:   v " + ida));
  da = start(a);
  ASSERT_TRUE(da->wait_for_output("ses: sending auth " + ida + " ..")) << da->output();
  ASSERT_TRUE(da->wait_for_output("ses: received peer.ok " + idb)) << da->output();
  ASSERT_TRUE(wait_until([&] {
    db->wait_for_output("(reads what came meanwhile)", std::chrono::milliseconds(50));
    return count(db->output(), "ses: received peer.ok " + ida) == 2;
  })) << db->output();
  EXPECT_EQ(identity(a), ida);
  EXPECT_TRUE(server.logged(ida + " (127.0.0.1:"));
  EXPECT_TRUE(server.logged("logged in (quilmar-lnx-0.9.9.9-17)"));
}

}  // namespace
