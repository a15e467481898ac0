// quilmar-init run as a process, and the daemon loading what it wrote.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "daemon_helpers.h"
#include "process.h"
#include "tempdir.h"

namespace {

const std::string kInit = std::string(QUILMAR_BIN_DIR) + "/quilmar-init";

mode_t mode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class Init : public ::testing::Test {
 protected:
  void TearDown() override { kill_processes_with_argument(dir.path()); }
  std::string target() const { return dir.file("conf"); }
  temp_dir dir;
};

TEST_F(Init, FreshDirectoryGetsKeysAndState) {
  auto r = run_process(kInit, {"-c", target()});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string expected =
      "Initializing Quilmar configuration (" + target() + "). Please wait ..\n\n" +
      "  generating 2048-bit RSA keypair .. ok\n" +
      "  making " + target() + " directory .. ok\n" +
      "  saving " + target() + "/client.pub .. ok\n" +
      "  saving " + target() + "/client.pri .. ok\n" +
      "  saving " + target() + "/state .. ok\n" +
      "\nAuthentication information has been created. Quilmar can now be started with\n"
      "'quilmar start' command and then brought online with 'quilmar login'.\n\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(mode_of(target()), 0700u);
  EXPECT_EQ(mode_of(target() + "/client.pub"), 0444u);
  EXPECT_EQ(mode_of(target() + "/client.pri"), 0400u);
  EXPECT_EQ(mode_of(target() + "/state"), 0600u);
  EXPECT_EQ(read_file(target() + "/client.pub").size(), 263u);
  EXPECT_EQ(read_file(target() + "/state"), "Nickname anonymous\n");
}

TEST_F(Init, SecondRunChangesNothing) {
  ASSERT_EQ(run_process(kInit, {"-c", target()}).status, 0);
  const std::string pub = read_file(target() + "/client.pub");
  const std::string pri = read_file(target() + "/client.pri");
  auto r = run_process(kInit, {"-c", target(), "-n", "other"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "quilmar-init: path " + target() +
                       " already exists (use -f to force using it)\n");
  EXPECT_EQ(read_file(target() + "/client.pub"), pub);
  EXPECT_EQ(read_file(target() + "/client.pri"), pri);
  EXPECT_EQ(read_file(target() + "/state"), "Nickname anonymous\n");
}

TEST_F(Init, ForceOnAnEmptyDirectoryWithSpacedNickname) {
  ASSERT_EQ(mkdir(target().c_str(), 0755), 0);
  auto r = run_process(kInit, {"-f", "-c", target(), "-n", "big  yellow bird"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(target() + "/state"), "Nickname big  yellow bird\n");
}

TEST_F(Init, ForceOnARegularFileStopsAtThePublicKey) {
  write_file(target(), "not a directory");
  auto r = run_process(kInit, {"-f", "-c", target()});
  EXPECT_EQ(r.status, 252);
  EXPECT_NE(r.out.find("  making " + target() + " directory .. ok\n"), std::string::npos);
  EXPECT_NE(r.out.find("  saving " + target() + "/client.pub .. failed\n"), std::string::npos);
  EXPECT_EQ(read_file(target()), "not a directory");
}

TEST_F(Init, BadOptionPrintsUsage) {
  auto r = run_process(kInit, {"-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("  usage: quilmar-init [-c <cfg_path>] [-f] [-n <nickname>]\n"),
            std::string::npos);
  EXPECT_EQ(r.out.rfind("Quilmar, a zero-config", 0), 0u);
}

TEST_F(Init, HomeRelativePathWithoutHome) {
  process_options options;
  options.env_unset = {"HOME"};
  auto r = run_process(kInit, {}, options);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "quilmar-init: path ~/.quilmar is invalid\n");
}

// A fresh directory trusts no server yet: the daemon loads it and starts,
// names the file it needs, and a login fails saying what is missing,
// without talking to anyone.
TEST_F(Init, DaemonLoadsWhatInitWroteAndAsksForTheServerKey) {
  ASSERT_EQ(run_process(kInit, {"-c", target(), "-n", "tester"}).status, 0);
  write_file(target() + "/config", "DummyTap yes\n");  // no tapwarden here
  background_process d(QUILMAR_BIN, {"-c", target(), "start", "debug"});
  ASSERT_TRUE(wait_until(
      [&] { return signal_caught(d.pid(), SIGTERM) && waiting_in_event_loop(d.pid()); }));
  const std::string needed = target() + "/server.pub";
  auto login = run_process(QUILMAR_BIN, {"-c", target(), "login", "retry"});
  EXPECT_EQ(login.status, 0);
  EXPECT_EQ(login.out, "Logging in .. failed\nNo server key: copy your mediation server's "
                       "server.pub to " + needed + "\n");
  kill(d.pid(), SIGTERM);
  ASSERT_TRUE(d.wait_exit());
  EXPECT_EQ(d.status(), 255);
  const std::string &out = d.output();
  EXPECT_NE(out.find("cfg: no server key: " + needed + " is missing\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ses: no server key: copy the mediation server's server.pub to " + needed +
                     "\n"),
            std::string::npos) << out;
  EXPECT_EQ(out.find("ses: state 1.1 -> 2.0"), std::string::npos) << "looked for a server";
  EXPECT_EQ(out.find("ses: reconnect"), std::string::npos);
}

TEST_F(Init, BadConfigLinesStopTheDaemonAfterListingThemAll) {
  ASSERT_EQ(run_process(kInit, {"-c", target()}).status, 0);
  write_file(target() + "/config", "Colour blue\nServerAddress localhost\nSize 3\n");
  auto r = run_process(QUILMAR_BIN, {"-c", target(), "start", "debug"});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("cfg: unrecognized or invalid entry 'Colour'\n"), std::string::npos);
  EXPECT_NE(r.out.find("cfg: unrecognized or invalid entry 'Size'\n"), std::string::npos);
}

}  // namespace
