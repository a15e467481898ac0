#include "stack/resolve.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "events/evl.h"
#include "hosts_override.h"
#include "pipe_helpers.h"
#include "process.h"
#include "tempdir.h"

namespace {

struct answer {
  int error;
  std::vector<uint32_t> addrs;
};

struct requester : resolve_cb {
  std::vector<answer> answers;
  std::function<void()> action;
  void on_resolved(int error, const uint32_t *addrs, int count) override {
    answers.push_back({error, std::vector<uint32_t>(addrs, addrs + count)});
    if (action) action();
  }
};

// A label longer than 63 characters: the system resolver turns it down on
// the spot, so the lookup fails without asking any name server.
const std::string impossible_name = std::string(70, 'a') + ".invalid";

std::set<std::string> open_descriptors(pid_t pid) {
  std::set<std::string> fds;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') fds.insert(e->d_name);
    closedir(d);
  }
  return fds;
}

// What a descriptor of `pid` refers to ("pipe:[1234]", a path), or "".
std::string descriptor_target(pid_t pid, const std::string &fd) {
  char target[512];
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + fd;
  ssize_t n = readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, size_t(n)) : "";
}

// The descriptors of `child` that it has from us: those referring to what
// one of ours refers to (the answer pipe's read end is ours, its write end
// the child's). Files the system's resolver opens for a moment in the
// child are its own business.
std::set<std::string> inherited_descriptors(pid_t child) {
  std::set<std::string> ours;
  for (const std::string &fd : open_descriptors(getpid())) ours.insert(descriptor_target(getpid(), fd));
  std::set<std::string> inherited;
  for (const std::string &fd : open_descriptors(child))
    if (ours.count(descriptor_target(child, fd))) inherited.insert(fd);
  return inherited;
}

// Living (not yet reaped or zombie) children of this process.
std::vector<pid_t> live_children() {
  std::vector<pid_t> kids;
  DIR *d = opendir("/proc");
  if (!d) return kids;
  while (dirent *e = readdir(d)) {
    pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(f, line)) continue;
    size_t close_paren = line.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream rest(line.substr(close_paren + 2));
    char state;
    pid_t ppid;
    rest >> state >> ppid;
    if (ppid == getpid() && state != 'Z') kids.push_back(pid);
  }
  closedir(d);
  return kids;
}

void reap_children() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

class Resolve : public ::testing::Test {
 protected:
  void TearDown() override { reap_children(); }
};

TEST_F(Resolve, LocalhostComesFromTheHostsFileInNetworkOrder) {
  requester r;
  resolve("localhost", &r);
  EXPECT_TRUE(r.answers.empty()) << "the answer comes from inside the loop";
  ASSERT_TRUE(run_until([&] { return !r.answers.empty(); }));
  ASSERT_EQ(r.answers.size(), 1u);
  ASSERT_EQ(r.answers[0].addrs.size(), 1u);
  EXPECT_EQ(r.answers[0].addrs[0], htonl(0x7f000001));
  run_idle();
  EXPECT_EQ(r.answers.size(), 1u);
}

TEST_F(Resolve, NameWithSeveralAddressesGivesThemAllInOrder) {
  hosts_override hosts("192.0.2.7 pair.test\n127.0.0.1 localhost\n192.0.2.9 pair.test\n");
  if (!hosts.ready) GTEST_SKIP() << "needs a private mount namespace (root or user namespaces)";
  requester r;
  resolve("pair.test", &r);
  ASSERT_TRUE(run_until([&] { return !r.answers.empty(); }));
  EXPECT_EQ(r.answers[0].addrs, (std::vector<uint32_t>{htonl(0xc0000207), htonl(0xc0000209)}));
}

TEST_F(Resolve, ImpossibleNameFailsWithoutAddresses) {
  requester r;
  resolve(impossible_name.c_str(), &r);
  ASSERT_TRUE(run_until([&] { return !r.answers.empty(); }, std::chrono::seconds(3)));
  EXPECT_TRUE(r.answers[0].addrs.empty());
}

TEST_F(Resolve, SecondRequestFailsAtOnceAndFirstStillCompletes) {
  requester first, second;
  resolve("localhost", &first);
  resolve("localhost", &second);
  ASSERT_EQ(second.answers.size(), 1u) << "refused before resolve returned";
  EXPECT_EQ(second.answers[0].error, -1);
  EXPECT_TRUE(second.answers[0].addrs.empty());
  ASSERT_TRUE(run_until([&] { return !first.answers.empty(); }));
  ASSERT_EQ(first.answers[0].addrs.size(), 1u);
  EXPECT_EQ(first.answers[0].addrs[0], htonl(0x7f000001));
  EXPECT_EQ(second.answers.size(), 1u);
}

TEST_F(Resolve, CancelledRequesterHearsNothingAndANewLookupWorks) {
  requester cancelled, next;
  resolve("localhost", &cancelled);
  resolve_cancel(&next);  // not the owner: no effect
  resolve_cancel(&cancelled);
  resolve("localhost", &next);
  ASSERT_TRUE(run_until([&] { return !next.answers.empty(); }));
  EXPECT_EQ(next.answers[0].addrs.size(), 1u);
  run_idle();
  EXPECT_TRUE(cancelled.answers.empty());
}

TEST_F(Resolve, RequesterMayResolveAgainFromInsideTheAnswer) {
  requester r;
  r.action = [&] {
    if (r.answers.size() == 1) resolve("localhost", &r);
  };
  resolve(impossible_name.c_str(), &r);
  ASSERT_TRUE(run_until([&] { return r.answers.size() == 2; }));
  EXPECT_TRUE(r.answers[0].addrs.empty());
  ASSERT_EQ(r.answers[1].addrs.size(), 1u);
  EXPECT_EQ(r.answers[1].addrs[0], htonl(0x7f000001));
}

TEST_F(Resolve, NoDescriptorLeaksOverManyLookups) {
  auto before = open_descriptors(getpid());
  for (int i = 0; i < 40; i++) {
    requester ok, busy, dropped;
    resolve(i % 2 ? "localhost" : impossible_name.c_str(), &ok);
    resolve("localhost", &busy);
    ASSERT_TRUE(run_until([&] { return !ok.answers.empty(); }));
    resolve("localhost", &dropped);
    resolve_cancel(&dropped);
    reap_children();
  }
  EXPECT_EQ(open_descriptors(getpid()), before);
}

TEST_F(Resolve, ChildKilledBeforeAnsweringIsAFailure) {
  auto blocked = std::make_unique<hosts_override>();  // lookups hang
  if (!blocked->ready) GTEST_SKIP() << "needs a private mount namespace (root or user namespaces)";
  // Descriptors the lookup child has no business holding.
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  int plain = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(plain, 0);

  requester r;
  resolve("localhost", &r);
  std::vector<pid_t> kids;
  ASSERT_TRUE(wait_until([&] {
    kids = live_children();
    return kids.size() == 1;
  }));
  pid_t child = kids[0];
  std::set<std::string> held;
  EXPECT_TRUE(wait_until([&] {
    held = open_descriptors(child);
    return !held.empty() && !held.count(std::to_string(pair[0])) &&
           !held.count(std::to_string(pair[1])) && !held.count(std::to_string(plain));
  }, std::chrono::seconds(5)))
      << "the lookup child keeps " << held.size() << " descriptors";
  const std::set<std::string> inherited = inherited_descriptors(child);
  EXPECT_LE(inherited.size(), 4u) << "standard descriptors and the answer pipe only";

  run_idle(3);
  EXPECT_TRUE(r.answers.empty()) << "the child is still stuck in the lookup";
  ASSERT_EQ(kill(child, SIGKILL), 0);
  ASSERT_TRUE(run_until([&] { return !r.answers.empty(); }));
  EXPECT_EQ(r.answers[0].error, -1);
  EXPECT_TRUE(r.answers[0].addrs.empty());
  EXPECT_EQ(waitpid(child, nullptr, 0), child);
  close(pair[0]);
  close(pair[1]);
  close(plain);

  // The resolver is idle again.
  blocked.reset();
  requester again;
  resolve(impossible_name.c_str(), &again);
  ASSERT_TRUE(run_until([&] { return !again.answers.empty(); }));
  EXPECT_TRUE(again.answers[0].addrs.empty());
}

// With no processes allowed, the lookup cannot fork: the failure reaches
// the requester before resolve returns. Answers whether it did.
bool fork_failure_is_reported() {
  rlimit old{};
  getrlimit(RLIMIT_NPROC, &old);
  rlimit lim{0, old.rlim_max};  // the hard limit stays, so it can be undone
  if (setrlimit(RLIMIT_NPROC, &lim) != 0) return false;
  requester r;
  resolve("localhost", &r);
  setrlimit(RLIMIT_NPROC, &old);
  return r.answers.size() == 1 && r.answers[0].error == -1 && r.answers[0].addrs.empty();
}

TEST_F(Resolve, ForkFailureIsReportedBeforeResolveReturns) {
  if (getuid() != 0) {
    EXPECT_TRUE(fork_failure_is_reported());
    return;
  }
  // The process limit does not bind root: a child gives root up first.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const uid_t nobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(2);
    _exit(fork_failure_is_reported() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 2) << "could not give up root";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
