// The command-line client, run as the real `quilmar` program against a
// scripted daemon end: what the user sees, the exit status, and the one
// request that reaches the daemon.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <memory>

#include "common/codec.h"
#include "fake_daemon.h"
#include "process.h"
#include "pty_process.h"
#include "tempdir.h"

namespace {

const std::string kNotRunning =
    "Quilmar does not seem to be running. Have you run 'quilmar start' ?\n";
const std::string kBanner =
    "Quilmar, a zero-config virtual private networking utility, ver 0.9.9.9-17\n\n";
const std::string kUsageLine = "  usage: quilmar [-c <cfg_path>] [command]\n";
const std::string kOnlineOnly = "This is an online operation and you are not logged in\n";

// Requests as the daemon must receive them.
std::string req(uint8_t code) { return std::string(1, char(code)); }
std::string req(uint8_t code, const std::string &a) {
  std::string m = req(code);
  put_str(m, a);
  return m;
}
std::string req(uint8_t code, const std::string &a, const std::string &b) {
  std::string m = req(code, a);
  put_str(m, b);
  return m;
}
std::string netop_req(const std::string &name, uint8_t op) {
  std::string m = req(7, name);
  put_u8(m, op);
  return m;
}

class Cli : public ::testing::Test {
 protected:
  std::vector<std::string> args(std::vector<std::string> words) {
    words.insert(words.begin(), {"-c", dir.path()});
    return words;
  }
  process_result run(const std::vector<std::string> &words) {
    process_options options;
    options.no_terminal = true;
    return run_process(QUILMAR_BIN, args(words), options);
  }
  fake_daemon &daemon() {
    if (!daemon_) daemon_ = std::make_unique<fake_daemon>(dir.file("ipc_sock"));
    return *daemon_;
  }
  // The daemon sends its status, records the request, answers with
  // `replies`, and then either waits for the client to leave or closes
  // at once (as a daemon that stops does).
  void answer(uint32_t state, std::vector<std::string> replies, uint8_t reconnect = 0,
              bool close_after_request = false) {
    daemon().serve([=](fake_client &c) {
      c.send(status_reply(state, reconnect));
      if (!c.receive(request)) return;
      for (auto &r : replies) c.send(r);
      if (!close_after_request) second_request = c.receive(extra);
    });
  }
  // The daemon sends its status and expects no request.
  void expect_no_request(uint32_t state, uint8_t reconnect = 0) {
    daemon().serve([=](fake_client &c) {
      c.send(status_reply(state, reconnect));
      closed_quietly = c.closes_without_request();
    });
  }
  std::string sent() {
    daemon().join();
    EXPECT_FALSE(second_request) << "a second request was sent";
    return request;
  }

  temp_dir dir;
  std::unique_ptr<fake_daemon> daemon_;
  // Written by the daemon's thread; read after join.
  std::string request, extra;
  bool second_request = false;
  bool closed_quietly = false;
};

TEST_F(Cli, WithoutDaemonAnyCommandSaysNotRunning) {
  for (auto words : std::vector<std::vector<std::string>>{
           {}, {"login"}, {"list"}, {"create"}, {"evict", "x"}, {"no-such-command"}}) {
    auto r = run(words);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, kNotRunning);
  }
  // A socket file that nobody listens on any more.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  dir.file("ipc_sock").copy(sa.sun_path, sizeof sa.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  close(fd);
  auto r = run({"login"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, kNotRunning);
}

TEST_F(Cli, ConnectionEndingBeforeTheStatusIsLikeNoDaemon) {
  // What a daemon busy with another client does.
  daemon().serve([](fake_client &) {});
  auto r = run({"list"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, kNotRunning);
}

TEST_F(Cli, StatusDisplayInEachState) {
  struct {
    uint32_t state;
    uint8_t reconnect;
    const char *text;
  } cases[] = {{1, 0, "offline"}, {1, 1, "offline (reconnecting)"}, {2, 1, "logging in"},
               {9, 0, "logging in"}, {10, 1, "logged in"}};
  for (auto &c : cases) {
    expect_no_request(c.state, c.reconnect);
    auto r = run({});
    daemon().join();
    EXPECT_TRUE(closed_quietly);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + "  version  : quilmar-lnx-0.9.9.9-17\n"
                               "  pid      : 4711\n"
                               "  status   : " + c.text + "\n"
                               "  nickname : alice\n\n");
  }
}

TEST_F(Cli, LoginShowsADotPerStepAndOk) {
  answer(1, login_steps());
  auto r = run({"login"});
  EXPECT_EQ(sent(), req(2) + '\0');
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Logging in ......... ok\n");
}

TEST_F(Cli, LoginRedirectedOnTheWay) {
  std::vector<std::string> steps = {state_change(2, 0), state_change(2, 1), state_change(3, 0),
                                    state_change(3, 1), state_change(4, 0),
                                    error_reply(6, 4), state_change(1, 0), state_change(1, 1)};
  auto rest = login_steps();
  steps.insert(steps.end(), rest.begin() + 2, rest.end());  // connects again, no lookup
  answer(1, steps);
  auto r = run({"login"});
  sent();
  EXPECT_EQ(r.out, "Logging in ....>....... ok\n");
}

TEST_F(Cli, LoginRefusedWithoutRetryFails) {
  answer(1, {state_change(2, 0), state_change(2, 1), state_change(3, 0), state_change(3, 1),
             state_change(4, 0), state_change(4, 1), state_change(6, 0), error_reply(6, 7)});
  auto r = run({"login"});
  sent();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Logging in ..... failed\n");
}

TEST_F(Cli, LoginRetryGoesOnOnASecondLine) {
  std::vector<std::string> steps = {state_change(2, 0), state_change(2, 1), state_change(3, 0),
                                    state_change(3, 1), state_change(4, 0), error_reply(2, 1),
                                    state_change(1, 0), state_change(1, 1)};
  auto again = login_steps();
  steps.insert(steps.end(), again.begin(), again.end());
  answer(1, steps);
  auto r = run({"login", "retry"});
  EXPECT_EQ(sent(), req(2) + '\1');
  EXPECT_EQ(r.out, "Logging in .... failed\nretrying   .......... ok\n");
}

TEST_F(Cli, CtrlCEndsAWaitingLoginCleanly) {
  bool left_without_more = false;
  daemon().serve([&](fake_client &c) {
    c.send(status_reply(1));
    if (!c.receive(request)) return;
    c.send(state_change(2, 0));
    c.send(error_reply(1, 0));  // the lookup failed; the session will retry
    std::string more;
    left_without_more = !c.receive(more);
  });
  pty_process p(QUILMAR_BIN, args({"login", "retry"}));
  if (p.pid() < 0) GTEST_SKIP() << "no pseudo-terminal available";
  ASSERT_TRUE(p.wait_for_output("retrying   .."));
  p.type("\x03");
  ASSERT_TRUE(p.wait_exit());
  daemon().join();
  EXPECT_TRUE(left_without_more);
  EXPECT_EQ(p.status(), 128 + SIGINT);
  std::string shown = p.output();
  shown.erase(std::remove(shown.begin(), shown.end(), '\x03'), shown.end());
  EXPECT_EQ(shown, "Logging in .. failed\nretrying   ..\n");
}

TEST_F(Cli, LogoutAndTheRefusals) {
  answer(10, {state_change(1, 0), state_change(1, 1)});
  auto r = run({"logout"});
  EXPECT_EQ(sent(), req(3));
  EXPECT_EQ(r.out, "Logging out .. ok\n");

  struct {
    uint32_t state;
    uint8_t reconnect;
    std::vector<std::string> words;
    std::string out;
  } refusals[] = {
      {10, 1, {"login"}, "Already logged in.\n"},
      {1, 0, {"logout"}, "Already logged out\n"},
      // Reconnecting goes on: the user did not ask for a logout of that.
      {1, 1, {"logout"}, "Already logged out\n"},
      {1, 0, {"create", "mynet"}, kOnlineOnly},  // asks for no password
      {9, 1, {"delete", "mynet"}, kOnlineOnly},
      {1, 0, {"join", "mynet"}, kOnlineOnly},
      {1, 0, {"leave", "mynet"}, kOnlineOnly},
      {1, 0, {"go-online", "mynet"}, kOnlineOnly},
      {1, 0, {"go-offline", "mynet"}, kOnlineOnly},
      {1, 0, {"evict", "mynet", "5.1.2.3"}, kOnlineOnly},
      {1, 0, {"get-nicks"}, kOnlineOnly},
      {10, 1, {"create", "abc", "pw"}, "Network name must be between 4 and 64 characters long\n"},
      {10, 1, {"create", std::string(65, 'n'), "pw"},
       "Network name must be between 4 and 64 characters long\n"},
  };
  for (auto &c : refusals) {
    expect_no_request(c.state, c.reconnect);
    auto r = run(c.words);
    daemon().join();
    EXPECT_TRUE(closed_quietly) << c.words[0];
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(Cli, CommandLineErrorsPrintTheUsage) {
  for (auto words : std::vector<std::vector<std::string>>{
           {"create"}, {"delete"}, {"join"}, {"leave"}, {"go-online"}, {"set-nick"},
           {"evict", "mynet"}, {"evict", "mynet", "5.1.2"}, {"evict", "mynet", "5.1.2.256"},
           {"evict", "mynet", " 5.1.2.3"}, {"evict", "mynet", "+5.1.2.3"}, {"dance"}}) {
    expect_no_request(10, 1);
    auto r = run(words);
    daemon().join();
    EXPECT_TRUE(closed_quietly);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(kBanner + kUsageLine, 0), 0u) << r.out;
  }
}

TEST_F(Cli, NetworkOperationsAndTheirResults) {
  std::string record;
  put_u8(record, 7);
  put_u8(record, 1);
  put_u32(record, 0x05010203);
  const std::string name64(64, 'n');
  struct {
    std::vector<std::string> words;
    std::string request;
    std::vector<std::string> replies;
    std::string out;
  } cases[] = {
      {{"create", "mynet", "pw"}, req(4, "mynet", "pw"), {result_reply(131, 1)},
       "Creating mynet .. ok\n"},
      {{"create", name64, "pw"}, req(4, name64, "pw"), {result_reply(131, 15)},
       "Creating " + name64 + " .. failed, network name is already taken\n"},
      {{"delete", "mynet"}, req(5, "mynet"), {result_reply(132, 30)},
       "Deleting mynet .. failed, [30]\n"},
      {{"join", "mynet", "pw"}, req(6, "mynet", "pw"), {result_reply(133, 24)},
       "Joining mynet .. failed, invalid password\n"},
      // A result for another request is not this one's outcome.
      {{"go-online", "mynet"}, netop_req("mynet", 1),
       {result_reply(131, 1), result_reply(134, 1)}, "Going online in mynet .. ok\n"},
      {{"go-offline", "mynet"}, netop_req("mynet", 2), {result_reply(134, 29)},
       "Going offline in mynet .. failed, already offline\n"},
      {{"leave", "mynet"}, netop_req("mynet", 3), {result_reply(134, 31)},
       "Leaving mynet .. failed, you are an owner\n"},
      {{"evict", "mynet", "5.1.2.3"}, req(11, "mynet", record), {result_reply(138, 1)},
       "evicting 5.1.2.3 from mynet .. ok\n"},
      // The session went offline: no result will come.
      {{"leave", "mynet"}, netop_req("mynet", 3), {state_change(1, 0), state_change(1, 1)},
       "Leaving mynet .. failed (offline)\n"},
      {{"create", "mynet", "pw"}, req(4, "mynet", "pw"), {state_change(1, 0), state_change(1, 1)},
       "Creating mynet .. failed (offline)\n"},
      {{"delete", "mynet"}, req(5, "mynet"), {state_change(1, 1)},
       "Deleting mynet .. failed (offline)\n"},
  };
  for (auto &c : cases) {
    answer(10, c.replies, 1);
    auto r = run(c.words);
    EXPECT_EQ(sent(), c.request) << c.words[0];
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(Cli, OneOutcomeEvenWhenTwoArriveTogether) {
  daemon().serve([&](fake_client &c) {
    c.send(status_reply(10, 1));
    if (!c.receive(request)) return;
    c.send_together(result_reply(131, 1), result_reply(131, 15));
    second_request = c.receive(extra);
  });
  auto r = run({"create", "mynet", "pw"});
  sent();
  EXPECT_EQ(r.out, "Creating mynet .. ok\n");
}

TEST_F(Cli, RequestsThatWaitForNothing) {
  struct {
    std::vector<std::string> words;
    std::string request;
    std::string out;
  } cases[] = {
      {{"set-nick", "bob"}, req(9, "bob"), "Setting nickname .. ok\n"},
      {{"get-nicks"}, req(10), "Retrieving peers' nicknames .. \n"},
      {{"resolve"}, req(10), "Retrieving peers' nicknames .. \n"},
      {{"kill-io"}, req(112), ""},
  };
  for (auto &c : cases) {
    answer(10, {}, 1);
    auto r = run(c.words);
    EXPECT_EQ(sent(), c.request);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(Cli, StopWaitsForTheDaemonToGo) {
  answer(10, {}, 1, true);
  auto r = run({"stop"});
  EXPECT_EQ(sent(), req(1));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Shutting down .. ok\n");
}

TEST_F(Cli, ListShowsNetworksAndMembers) {
  std::string truncated = member_reply(0x05010209, "eve", 1, 1, 0, 0);
  truncated.pop_back();
  answer(10, {network_reply("home", 1),
              member_reply(0x05010203, "bob", 1, 1, 0xC6336407, 4500),  // tunnel
              member_reply(0x05010204, "carol", 1, 1, 0, 0),            // unreachable
              member_reply(0x05010205, "", 0, 0, 0, 0),                 // not online here
              member_reply(0x05010206, "dave", 1, 0, 0, 0),             // not yet reported
              network_reply("work\x1b[2J", 0),
              member_reply(0x05010207, "a-very-long-nickname-of-thirty", 1, 1, 0xC6336408, 1),
              truncated,                                  // malformed: ignored
              req(137) + '\0',                            // trailing byte: ignored
              req(200) + req(137)});                      // unknown code skipped
  auto r = run({"list"});
  EXPECT_EQ(sent(), req(8));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            " * [home]\n"
            "     * 5.1.2.3          bob                        198.51.100.7:4500\n"
            "     x 5.1.2.4          carol                    \n"
            "       5.1.2.5                                   \n"
            "     * 5.1.2.6          dave                     \n"
            "   [work?[2J]\n"
            "     * 5.1.2.7          a-very-long-nickname-of-t  198.51.100.8:1\n");

  answer(10, {req(137)}, 1);
  r = run({"list"});
  sent();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(Cli, RequestThatCannotBeSentMeansNoDaemon) {
  daemon().serve([](fake_client &c) {
    c.stop_reading();
    c.send(status_reply(1));
    c.closes_without_request();
  });
  auto r = run({"login"});
  daemon().join();
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Logging in ..\n" + kNotRunning);
}

TEST_F(Cli, PasswordIsAskedWithoutEchoAndNeverBlankForCreate) {
  answer(10, {result_reply(131, 1)}, 1);
  pty_process p(QUILMAR_BIN, args({"create", "mynet"}));
  if (p.pid() < 0) GTEST_SKIP() << "no pseudo-terminal available";
  ASSERT_TRUE(p.wait_for_output("Password: "));
  ASSERT_TRUE(p.wait_echo_off());
  p.type("\n");
  ASSERT_TRUE(p.wait_for_output("blank\nPassword: "));
  ASSERT_TRUE(p.wait_echo_off());
  p.type("s3cret\n");
  ASSERT_TRUE(p.wait_exit());
  EXPECT_EQ(sent(), req(4, "mynet", "s3cret"));
  EXPECT_EQ(p.status(), 0);
  EXPECT_EQ(p.output(),
            "Password: \nPassword cannot be blank\nPassword: \nCreating mynet .. ok\n");
}

TEST_F(Cli, JoinAcceptsABlankPassword) {
  answer(10, {result_reply(133, 1)}, 1);
  pty_process p(QUILMAR_BIN, args({"join", "mynet"}));
  if (p.pid() < 0) GTEST_SKIP() << "no pseudo-terminal available";
  ASSERT_TRUE(p.wait_for_output("Password: "));
  ASSERT_TRUE(p.wait_echo_off());
  p.type("\n");
  ASSERT_TRUE(p.wait_exit());
  EXPECT_EQ(sent(), req(6, "mynet", ""));
  EXPECT_EQ(p.output(), "Password: \nJoining mynet .. ok\n");
}

TEST_F(Cli, CreateWithoutTerminalOrInputSendsNothing) {
  // Standard input is /dev/null: every answer would be blank.
  expect_no_request(10, 1);
  auto r = run({"create", "mynet"});
  daemon().join();
  EXPECT_TRUE(closed_quietly);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Password: ");
}

}  // namespace
