// The daemon's start-up, lock, signals, log prefix and detaching, run as
// processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "client/front.h"
#include "daemon_helpers.h"
#include "log_capture.h"
#include "process.h"
#include "tempdir.h"

namespace {

bool path_exists_for_test(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

const std::string kStartLine = "Starting Quilmar quilmar-lnx-0.9.9.9-17 .. ok\n";
const std::string kConfig = "DummyTap yes\n";
const std::regex kPrefixedLine(R"(\d\d \d\d:\d\d:\d\d\.\d{3} \[ *\d+\] [^\n]*\n)");

// What a start printed apart from the log lines of loading the
// configuration (which name the server key), that is, its own text.
std::string own_text(const std::string &out) { return std::regex_replace(out, kPrefixedLine, ""); }

class Daemon : public ::testing::Test {
 protected:
  // No tapwarden runs on a test machine: the daemon makes do without.
  void SetUp() override {
    install_client_keys(dir.path());
    write_file(dir.file("config"), kConfig);
  }
  void TearDown() override { kill_processes_with_argument(dir.path()); }
  std::vector<std::string> args(std::vector<std::string> words) {
    words.insert(words.begin(), {"-c", dir.path()});
    return words;
  }
  // Starts `start debug` and waits until its handlers are installed and it
  // has reached its main loop.
  std::unique_ptr<background_process> start_debug() {
    auto d = std::make_unique<background_process>(QUILMAR_BIN, args({"start", "debug"}));
    EXPECT_TRUE(wait_until([&] {
      return signal_caught(d->pid(), SIGTERM) && waiting_in_event_loop(d->pid());
    }));
    return d;
  }
  temp_dir dir;
};

TEST_F(Daemon, TermSignalWritesTheCallStackReport) {
  auto d = start_debug();
  ASSERT_EQ(kill(d->pid(), SIGTERM), 0);
  ASSERT_TRUE(d->wait_exit());
  EXPECT_EQ(d->status(), 255);

  // Every log line carries "DD HH:MM:SS.mmm [  pid] ".
  char pid_field[16];
  snprintf(pid_field, sizeof pid_field, "[%5d] ", int(d->pid()));
  const std::string prefix = R"(\d\d \d\d:\d\d:\d\d\.\d\d\d )" +
                             std::regex_replace(pid_field, std::regex(R"([\[\]])"), R"(\$&)");
  const std::string &out = d->output();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(prefix + "caught 15, call stack:\n")))
      << out;
  std::string rest = m.suffix();
  EXPECT_TRUE(std::regex_search(rest, std::regex("^" + prefix + "  0x[0-9a-f]+\n"))) << out;
  EXPECT_TRUE(std::regex_search(rest, std::regex(prefix + "sig: got 15\n$"))) << out;
}

TEST_F(Daemon, SecondStartIsRefusedAndTheFirstRunsOn) {
  auto d = start_debug();
  auto second = run_process(QUILMAR_BIN, args({"start", "debug"}));
  EXPECT_EQ(second.status, 255);
  EXPECT_EQ(second.out, "Quilmar is already started\n");
  EXPECT_FALSE(d->wait_exit(std::chrono::milliseconds(300)));  // still running
  ASSERT_EQ(kill(d->pid(), SIGTERM), 0);
  ASSERT_TRUE(d->wait_exit());
  EXPECT_EQ(d->status(), 255);
}

TEST_F(Daemon, PlainStartPrintsOnceAndDetaches) {
  auto r = run_process(QUILMAR_BIN, args({"start"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(own_text(r.out), kStartLine);
  // The detached daemon holds the lock.
  auto second = run_process(QUILMAR_BIN, args({"start", "debug"}));
  EXPECT_EQ(second.out, "Quilmar is already started\n");
  std::vector<pid_t> pids = processes_with_argument(dir.path());
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_NE(getsid(pids[0]), getsid(0)) << "left the terminal's session";
  EXPECT_NE(getsid(pids[0]), pids[0]) << "cannot take a terminal again";
}

TEST_F(Daemon, DetachedDaemonLogsToAPrivateFile) {
  const std::string log = dir.file("daemon.log");
  write_file(dir.file("config"), kConfig + "LogFile " + log + "\n");
  auto r = run_process(QUILMAR_BIN, args({"start"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(own_text(r.out), kStartLine) << "printed once, without a prefix";
  ASSERT_TRUE(wait_until([&] { return !read_file(log).empty(); }));
  EXPECT_TRUE(std::regex_match(read_file(log),
                               std::regex(R"(\d\d \d\d:\d\d:\d\d\.\d{3} \[ *\d+\] )" +
                                          std::regex_replace(kStartLine, std::regex(R"([.])"),
                                                             R"(\.)"))))
      << read_file(log);
  struct stat st;
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "not writable by others despite umask 0";
}

// The log stays open between lines, and rotation works as usual: move the
// file away, then SIGHUP (or just go on) and the daemon writes a new one.
TEST_F(Daemon, DetachedDaemonKeepsItsLogOpenAndFollowsRotation) {
  const std::string log = dir.file("daemon.log");
  write_file(dir.file("config"), kConfig + "LogFile " + log + "\n");
  ASSERT_EQ(run_process(QUILMAR_BIN, args({"start"})).status, 0);
  ASSERT_EQ(processes_with_argument(dir.path()).size(), 1u);
  const pid_t daemon = processes_with_argument(dir.path())[0];
  const std::string fds = "/proc/" + std::to_string(daemon) + "/fd/";
  auto held_open = [&] { return run_process("/bin/ls", {"-l", fds}).out.find(log) != std::string::npos; };
  auto logs_anew = [&] {
    run_process(QUILMAR_BIN, args({"list"}));  // "ipc: state" in the log
    return read_file(log).find("ipc: state") != std::string::npos;
  };
  ASSERT_TRUE(wait_until([&] { return !read_file(log).empty(); }));
  EXPECT_TRUE(held_open());
  for (int sighup : {1, 0}) {
    ASSERT_EQ(rename(log.c_str(), (log + "." + std::to_string(sighup)).c_str()), 0);
    if (sighup) {
      ASSERT_EQ(kill(daemon, SIGHUP), 0);
    }
    EXPECT_TRUE(wait_until(logs_anew)) << sighup;
  }
  EXPECT_EQ(kill(daemon, 0), 0) << "SIGHUP ended the detached daemon";
  EXPECT_TRUE(held_open());
}

TEST_F(Daemon, DebugModeNeverWritesTheLogFile) {
  const std::string log = dir.file("daemon.log");
  write_file(dir.file("config"), kConfig + "LogFile " + log + "\n");
  auto d = start_debug();
  kill(d->pid(), SIGTERM);
  ASSERT_TRUE(d->wait_exit());
  EXPECT_NE(d->output().find("sig: got 15"), std::string::npos);
  EXPECT_FALSE(path_exists_for_test(log));
}

TEST_F(Daemon, AnyOtherSecondWordAlsoDetaches) {
  auto r = run_process(QUILMAR_BIN, args({"start", "now"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(own_text(r.out), kStartLine);
}

TEST_F(Daemon, UnreachableLockFileIsReported) {
  // A directory where the lock file should be cannot be opened for append.
  ASSERT_EQ(mkdir(dir.file(".lock").c_str(), 0700), 0);
  auto r = run_process(QUILMAR_BIN, args({"start", "debug"}));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Cannot access lock file " + dir.path() + "//.lock\n");
}

using Signals = LoggedTest;

TEST_F(Signals, NumberPastTheTableIsReportedWithItsFixedLine) {
  sigact(64, fatal_signal);
  sigact(200, fatal_signal);
  ASSERT_EQ(lines().size(), 2u);
  for (const std::string &line : lines())
    EXPECT_EQ(line, "assert sig < _NSIG in ../client/unix/sigact.cpp:50\n");
}

}  // namespace
