// quilmar-init run as a process, and the daemon loading what it wrote.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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

// -f over a whole configuration, as an ordinary user (whom the read-only
// key files would stop from writing them in place), then a -f that fails
// at its last step: the old key pair stays, no stray file is left.
TEST_F(Init, ForceReplacesTheReadOnlyKeysOrNothing) {
  std::vector<std::string> command = {kInit};
  if (geteuid() == 0) {
    const std::string setpriv = find_program("setpriv");
    if (setpriv.empty()) GTEST_SKIP() << "setpriv (util-linux) is needed to drop root";
    command = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", kInit};
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(target().c_str(), 0700), 0);
    ASSERT_EQ(chown(target().c_str(), 65534, 65534), 0);
  }
  auto init = [&](const std::vector<std::string> &args) {
    std::vector<std::string> all(command.begin() + 1, command.end());
    all.insert(all.end(), args.begin(), args.end());
    return run_process(command[0], all);
  };
  ASSERT_EQ(init({"-f", "-c", target()}).status, 0);
  const std::string old_pub = read_file(target() + "/client.pub");
  auto r = init({"-f", "-c", target(), "-n", "again"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string pub = read_file(target() + "/client.pub");
  const std::string pri = read_file(target() + "/client.pri");
  EXPECT_NE(pub, old_pub);
  EXPECT_EQ(mode_of(target() + "/client.pub"), 0444u);
  EXPECT_EQ(mode_of(target() + "/client.pri"), 0400u);
  EXPECT_EQ(read_file(target() + "/state"), "Nickname again\n");

  ASSERT_EQ(unlink((target() + "/state").c_str()), 0);
  ASSERT_EQ(mkdir((target() + "/state").c_str(), 0700), 0);
  r = init({"-f", "-c", target()});
  EXPECT_EQ(r.status, 250) << r.out;
  EXPECT_NE(r.out.find("  saving " + target() + "/state .. failed\n"), std::string::npos);
  EXPECT_EQ(read_file(target() + "/client.pub"), pub);
  EXPECT_EQ(read_file(target() + "/client.pri"), pri);
  EXPECT_EQ(system(("test $(ls -A " + target() + " | wc -l) -eq 3").c_str()), 0);
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

TEST_F(Init, DaemonLoadsWhatInitWrote) {
  ASSERT_EQ(run_process(kInit, {"-c", target(), "-n", "tester"}).status, 0);
  write_file(target() + "/config", "DummyTap yes\n");  // no tapwarden here
  background_process d(QUILMAR_BIN, {"-c", target(), "start", "debug"});
  ASSERT_TRUE(wait_until(
      [&] { return signal_caught(d.pid(), SIGTERM) && waiting_in_event_loop(d.pid()); }));
  kill(d.pid(), SIGTERM);
  ASSERT_TRUE(d.wait_exit());
  EXPECT_EQ(d.status(), 255);
  EXPECT_EQ(d.output().find("cfg:"), std::string::npos) << d.output();
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
