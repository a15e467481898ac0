// The daemon as a process: with AutoLogin it logs in to the server named in
// its configuration by itself and stays logged in; the tap device decides
// whether it starts at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "daemon_fixture.h"
#include "process.h"
#include "tapdev/tapdev.h"
#include "tempdir.h"
#include "test_server.h"

namespace {

using DaemonSession = DaemonWithTestServer;

TEST_F(DaemonSession, AutoLoginReachesReadyAndStays) {
  write_file(dir.file("config"),
             "DummyTap yes\nServerAddress 127.0.0.1:" + std::to_string(server.port) + "\n");
  write_file(dir.file("state"), "Nickname   daemon\nAutoLogin  yes\n");
  std::atomic<bool> still_connected{false};
  std::atomic<bool> closed{false};
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login(0x05010203);
    c->barrier();
    c->barrier();  // a second round trip: the daemon is still there
    still_connected = true;
    closed = c->wait_closed(std::chrono::seconds(30));
  });
  background_process d(QUILMAR_BIN, args({"start", "debug"}));
  ASSERT_TRUE(d.wait_for_output("ses: ready\n")) << d.output();
  ASSERT_TRUE(wait_until([&] { return still_connected.load(); }));
  EXPECT_EQ(d.output().find("ses: go_offline"), std::string::npos) << d.output();
  EXPECT_EQ(read_file(dir.file("state")),
            "Identity   5.1.2.3\nNickname   daemon\nAutoLogin  yes\n");

  ASSERT_TRUE(wait_until([&] { return waiting_in_event_loop(d.pid()); }));
  ASSERT_EQ(kill(d.pid(), SIGTERM), 0);
  ASSERT_TRUE(d.wait_exit());
  EXPECT_EQ(d.status(), 255);
  EXPECT_NE(d.output().find("sig: got 15\n"), std::string::npos);
  server.join();
  EXPECT_TRUE(closed);
}

// The user's OnOnline and OnOffline commands run with the file creation
// mask 022, not the detached daemon's 0: nothing they create is writable
// by everybody.
TEST_F(DaemonSession, HooksRunWithAnOrdinaryUmask) {
  const std::string online = dir.file("online"), offline = dir.file("offline");
  write_file(dir.file("config"), "DummyTap yes\nServerAddress 127.0.0.1:" +
                                     std::to_string(server.port) + "\nOnOnline umask >" + online +
                                     "\nOnOffline umask >" + offline + "\n");
  write_file(dir.file("state"), "Nickname   daemon\nAutoLogin  yes\n");
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login(0x05010203);
    c->wait_closed(std::chrono::seconds(30));
  });
  ASSERT_EQ(run_process(QUILMAR_BIN, args({"start"})).status, 0);  // detached: umask 0
  ASSERT_TRUE(wait_until([&] { return read_file(online).size() >= 5; }));
  EXPECT_EQ(read_file(online), "0022\n");
  EXPECT_EQ(read_file(offline), "0022\n");
}

TEST_F(DaemonSession, WithoutAutoLoginTheDaemonWaits) {
  write_file(dir.file("config"),
             "DummyTap yes\nServerAddress 127.0.0.1:" + std::to_string(server.port) + "\n");
  background_process d(QUILMAR_BIN, args({"start", "debug"}));
  ASSERT_TRUE(wait_until(
      [&] { return signal_caught(d.pid(), SIGTERM) && waiting_in_event_loop(d.pid()); }));
  EXPECT_FALSE(server.connection_waiting(std::chrono::milliseconds(300)));
  kill(d.pid(), SIGTERM);
  ASSERT_TRUE(d.wait_exit());
  EXPECT_EQ(d.output().find("ses: go_online"), std::string::npos) << d.output();
}

TEST_F(DaemonSession, NoTapDeviceStopsTheStart) {
  // Without DummyTap the device comes from tapwarden, which is not running
  // on a test machine.
  if (access(TAPWARDEN_SOCKET, F_OK) == 0) GTEST_SKIP() << "a tapwarden is running here";
  auto r = run_process(QUILMAR_BIN, args({"start", "debug"}));
  EXPECT_EQ(r.status, 251) << r.out;
  EXPECT_NE(r.out.find("tap: connect() failed"), std::string::npos) << r.out;
}

}  // namespace
