// tapwarden itself. The command-line cases need nothing special; the rest
// run the real helper with /dev/net/tun inside a network namespace of
// their own, with this test process moved into it as the client:
//
//   +------------------- namespace qtw<pid>-<n> ---------------------+
//   |  tapwarden -s <tmp>/tw.sock      test process (tuntap client)  |
//   |      |  creates quilmarN  --fd-->    |  reads/writes frames    |
//   |      |  assigns 5.x/mask             |  ip, ping               |
//   +----------------------------------------------------------------+
//
// A guardian child outlives a crashing test just long enough to kill the
// helper and delete the namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "clisrv/frame_size.h"
#include "common/log.h"
#include "common/version.h"
#include "events/evl.h"
#include "event_loop.h"
#include "process.h"
#include "tapdev/tapdev.h"
#include "tapdev/tapwarden_msg.h"
#include "log_capture.h"
#include "netns_guardian.h"
#include "tempdir.h"

namespace {

using namespace std::chrono_literals;


struct owner_log : tapdev_cb {
  std::vector<bool> configured;
  std::vector<std::string> frames;
  void on_configured(bool ok) override { configured.push_back(ok); }
  void on_frame(uint8_t *frame, int length) override {
    frames.emplace_back(reinterpret_cast<const char *>(frame), static_cast<size_t>(length));
  }
};

// A client speaking the protocol by hand, to misbehave on purpose.
struct raw_client {
  int fd = -1;
  int device = -1;
  int32_t code = -1;
  explicit raw_client(const std::string &path, bool read_greeting = true) {
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) return;
    if (!read_greeting) return;
    uint8_t greeting[10];
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))];
    iovec iov = {greeting, sizeof greeting};
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (!readable(10000) || recvmsg(fd, &msg, 0) != 10) return;
    memcpy(&code, greeting, 4);
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    if (c && c->cmsg_type == SCM_RIGHTS) memcpy(&device, CMSG_DATA(c), sizeof device);
  }
  ~raw_client() {
    if (fd >= 0) close(fd);
    if (device >= 0) close(device);
  }
  bool readable(int ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
  }
  // Sends `request` and returns the 4-byte answer, or -1 when none came.
  int64_t ask(const std::string &request) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
      return -1;
    int32_t answer;
    if (!readable(10000) || recv(fd, &answer, 4, MSG_WAITALL) != 4) return -1;
    return answer;
  }
};

std::string request_bytes(uint32_t address, uint32_t netmask) {
  std::string s(reinterpret_cast<const char *>(&address), 4);
  s.append(reinterpret_cast<const char *>(&netmask), 4);
  return s;
}

std::string mac_text(const uint8_t *mac) {
  char buf[32];
  snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return buf;
}

// --- the command line, no privileges needed ---

class TapwardenCli : public ::testing::Test {
 protected:
  temp_dir dir;
};

TEST_F(TapwardenCli, HelpAndVersionAnywhere) {
  const auto usage = run_process(TAPWARDEN_BIN, {"-h"});
  EXPECT_EQ(usage.status, 0);
  EXPECT_NE(usage.out.find("usage: tapwarden"), std::string::npos) << usage.out;
  EXPECT_NE(usage.out.find("MTU of the interfaces, 68 to " + std::to_string(TUNNEL_MAX_MTU)),
            std::string::npos) << usage.out;
  const std::string version = std::string("tapwarden ") + QUILMAR_VERSION + "\n";
  for (auto [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-m", "99999", "--help"}, usage.out}, {{"-n", "3", "-h", "-V"}, usage.out},
           {{"-m", "1300", "--version"}, version}}) {
    auto r = run_process(TAPWARDEN_BIN, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
  }
}

TEST_F(TapwardenCli, BadArgumentsAreUsageErrors) {
  // Above TUNNEL_MAX_MTU (1422) a full-size packet's datagram would not fit
  // a 1500-byte path.
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-x"}, {"-m", "1423"}, {"-m", "67"}, {"-m", "14x"},
        {"-m", " 1400"}, {"-n", "0"}, {"-g", "no-such-group-here"}, {"extra"}}) {
    auto r = run_process(TAPWARDEN_BIN, args);
    EXPECT_EQ(r.status, 1) << args[0] << ": " << r.out;
  }
}

TEST_F(TapwardenCli, RefusesToReplaceSomethingThatIsNoSocket) {
  write_file(dir.file("tw.sock"), "precious");
  auto r = run_process(TAPWARDEN_BIN, {"-s", dir.file("tw.sock")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("is not a socket"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(dir.file("tw.sock")), "precious");
}

TEST_F(TapwardenCli, ReplacesStaleSocketOwnerOnlyAndRemovesItOnStop) {
  std::string path = dir.file("tw.sock");
  {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    close(s);  // leaves the file behind, like a crashed run
  }
  background_process tw(TAPWARDEN_BIN, {"-s", path});
  ASSERT_TRUE(tw.wait_for_output("listening on " + path)) << tw.output();
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "without a group only the owner may connect";
  kill(tw.pid(), SIGTERM);
  ASSERT_TRUE(tw.wait_exit());
  EXPECT_EQ(tw.status(), 0);
  EXPECT_NE(lstat(path.c_str(), &st), 0) << "the socket file stays behind";
}

// --- the real thing, inside a namespace ---

class TapwardenNs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create tap interfaces and namespaces";
    if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun here";
    ip = find_program("ip");
    if (ip.empty()) GTEST_SKIP() << "the ip tool (iproute2) is not installed";
    static int serial = 0;
    ns = "qtw" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    ASSERT_TRUE(guardian.start(ip, ns));
    auto r = run_process(ip, {"netns", "add", ns});
    if (r.status != 0) GTEST_SKIP() << "cannot create a network namespace: " << r.out;
    int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(setns(fd, CLONE_NEWNET), 0) << strerror(errno);
    close(fd);
    path = dir.file("tw.sock");
    logged.clear();
    log_set_sink(capture_sink);
  }

  void TearDown() override {
    log_set_sink(nullptr);
    devices.clear();
    warden.reset();
    EXPECT_TRUE(guardian.stop()) << "the namespace was not removed in time";
  }

  void start_warden(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-s", path};
    args.insert(args.end(), extra.begin(), extra.end());
    warden = std::make_unique<background_process>(TAPWARDEN_BIN, args);
    pid_t pid = warden->pid();
    guardian.watch(pid);
    ASSERT_TRUE(warden->wait_for_output("listening on")) << warden->output();
  }

  tapdev *new_device() {
    devices.emplace_back(tuntap_create(&owner, path.c_str()));
    return devices.back().get();
  }

  process_result ip_run(std::vector<std::string> args) { return run_process(ip, args); }

  // The interface carrying `mac`, from `ip -o link`; empty when none does.
  std::string interface_with(const uint8_t *mac) {
    auto r = ip_run({"-o", "link"});
    std::string needle = "link/ether " + mac_text(mac);
    size_t at = r.out.find(needle);
    if (at == std::string::npos) return "";
    size_t line = r.out.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    size_t name = r.out.find(": ", line) + 2;
    return r.out.substr(name, r.out.find(':', name) - name);
  }

  std::string ip, ns, path;
  temp_dir dir;
  netns_guardian guardian;  // deletes the namespace, even if we die
  std::unique_ptr<background_process> warden;
  owner_log owner;
  std::vector<std::unique_ptr<tapdev>> devices;
};

TEST_F(TapwardenNs, OpenAndConfigureShowOnTheInterface) {
  start_warden({"-m", "1400"});
  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  EXPECT_GE(static_cast<tuntap *>(dev)->ev.fd, 0);
  std::string name = interface_with(dev->mac);
  ASSERT_FALSE(name.empty()) << ip_run({"-o", "link"}).out;

  dev->configure(0x05010203, 0xff000000);
  ASSERT_EQ(owner.configured, std::vector<bool>{true}) << logged_text();
  auto addr = ip_run({"-o", "addr", "show", "dev", name});
  EXPECT_NE(addr.out.find("inet 5.1.2.3/8"), std::string::npos) << addr.out;
  auto link = ip_run({"link", "show", "dev", name});
  EXPECT_NE(link.out.find("mtu 1400"), std::string::npos) << link.out;
  EXPECT_NE(link.out.find(",UP"), std::string::npos) << link.out;
}

TEST_F(TapwardenNs, MtuOptionIsApplied) {
  start_warden({"-m", "1280"});
  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  auto link = ip_run({"link", "show", "dev", interface_with(dev->mac)});
  EXPECT_NE(link.out.find("mtu 1280"), std::string::npos) << link.out;
}

// An ARP request from 5.1.2.4 at 02:00:00:00:00:01 asking for 5.1.2.3.
std::string arp_request(const uint8_t *to_mac) {
  const uint8_t us[6] = {0x02, 0, 0, 0, 0, 0x01};
  std::string f;
  f.append(reinterpret_cast<const char *>(to_mac), 6);
  f.append(reinterpret_cast<const char *>(us), 6);
  f += std::string("\x08\x06\x00\x01\x08\x00\x06\x04\x00\x01", 10);
  f.append(reinterpret_cast<const char *>(us), 6);
  f += std::string("\x05\x01\x02\x04", 4);
  f += std::string(6, '\0');
  f += std::string("\x05\x01\x02\x03", 4);
  return f;
}

bool is_arp_reply_from(const std::string &f, const std::string &ip) {
  return f.size() >= 42 && f.compare(12, 2, "\x08\x06", 2) == 0 &&
         f.compare(20, 2, "\x00\x02", 2) == 0 && f.compare(28, 4, ip) == 0;
}

// An IPv4 packet to `ip`, or an ARP request asking for it.
bool is_headed_to(const std::string &f, const std::string &ip) {
  if (f.size() >= 34 && f.compare(12, 2, "\x08\x00", 2) == 0) return f.compare(30, 4, ip) == 0;
  if (f.size() >= 42 && f.compare(12, 2, "\x08\x06", 2) == 0)
    return f.compare(20, 2, "\x00\x01", 2) == 0 && f.compare(38, 4, ip) == 0;
  return false;
}

TEST_F(TapwardenNs, FramesPassBothWays) {
  std::string ping = find_program("ping");
  if (ping.empty()) GTEST_SKIP() << "ping (iputils-ping) is not installed";
  start_warden();
  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  dev->configure(0x05010203, 0xff000000);
  ASSERT_EQ(owner.configured, std::vector<bool>{true}) << logged_text();
  ASSERT_TRUE(dev->bring_up());

  // Into the descriptor: the stack answers our ARP request.
  std::string request = arp_request(dev->mac);
  ASSERT_EQ(dev->write(request.data(), static_cast<int>(request.size())),
            static_cast<int>(request.size()));
  const std::string local("\x05\x01\x02\x03", 4);
  auto answered = [&] {
    for (auto &f : owner.frames)
      if (is_arp_reply_from(f, local)) return true;
    return false;
  };
  ASSERT_TRUE(run_until(answered)) << owner.frames.size() << " frames, none an ARP reply";

  // Out of the descriptor: a ping to another 5.x address leaves through it.
  owner.frames.clear();
  background_process pinger(ping, {"-n", "-c", "20", "-i", "0.2", "-W", "1", "5.1.2.4"});
  const std::string remote("\x05\x01\x02\x04", 4);
  auto pinged = [&] {
    for (auto &f : owner.frames)
      if (is_headed_to(f, remote)) return true;
    return false;
  };
  EXPECT_TRUE(run_until(pinged)) << owner.frames.size() << " frames, none to 5.1.2.4";
}

// Only what a daemon needs: an address in 5.0.0.0/8 with the netmask
// 255.0.0.0. A longer mask (whose routes would win over another user's
// interface) and an address that another interface already carries are
// refused, so one local user cannot capture another's traffic.
TEST_F(TapwardenNs, ForeignAddressesBadMasksAndTakenAddressesAreRefused) {
  start_warden();
  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  std::string name = interface_with(dev->mac);

  dev->configure(0x0a000001, 0xff000000);  // 10.0.0.1/8
  dev->configure(0x05010203, 0xff00ff00);  // 255.0.255.0 has a hole
  dev->configure(0x05010203, 0xfe000000);  // /7 reaches beyond 5.0.0.0/8
  dev->configure(0x06010203, 0xffffff00);  // 6.1.2.3
  dev->configure(0x05010203, 0xffffffff);  // a /32 would win every route to it
  dev->configure(0x05010203, 0xffff0000);
  EXPECT_EQ(owner.configured, std::vector<bool>(6, false));
  EXPECT_NE(logged_text().find("tap: bad response 06000016\n"), std::string::npos) << logged_text();
  auto addr = ip_run({"-o", "addr", "show", "dev", name});
  EXPECT_EQ(addr.out.find("inet "), std::string::npos) << addr.out;

  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured.back(), true) << logged_text();
  dev->configure(0x05010203, 0xff000000);  // again, on its own interface
  EXPECT_EQ(owner.configured.back(), true) << logged_text();

  // A second client may not take the address, nor one that the host
  // carries elsewhere.
  tapdev *other = new_device();
  ASSERT_TRUE(other->open()) << logged_text();
  logged.clear();
  other->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured.back(), false);
  EXPECT_EQ(logged_text(), "tap: bad response 06000062\n");  // EADDRINUSE
  ASSERT_EQ(ip_run({"addr", "add", "5.9.9.9/32", "dev", "lo"}).status, 0);
  other->configure(0x05090909, 0xff000000);
  EXPECT_EQ(owner.configured.back(), false);
  other->configure(0x05010204, 0xff000000);
  EXPECT_EQ(owner.configured.back(), true) << logged_text();
  addr = ip_run({"-o", "addr", "show", "dev", name});
  EXPECT_NE(addr.out.find("inet 5.1.2.3/8"), std::string::npos) << addr.out;
}

TEST_F(TapwardenNs, InterfaceDisappearsWithTheClient) {
  start_warden();
  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  std::string name = interface_with(dev->mac);
  ASSERT_FALSE(name.empty());
  dev->close();
  EXPECT_TRUE(wait_until([&] { return ip_run({"link", "show", "dev", name}).status != 0; }, 10s))
      << name << " is still there";
}

// The interface deleted under a running client: the device reports an
// error on every poll from then on. The client gives it up with one line,
// and the loop goes back to waiting instead of spinning.
TEST_F(TapwardenNs, DeletedInterfaceIsGivenUpWithoutSpinning) {
  start_warden();
  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  ASSERT_TRUE(dev->bring_up());
  std::string name = interface_with(dev->mac);
  ASSERT_FALSE(name.empty());
  auto del = ip_run({"link", "del", "dev", name});
  ASSERT_EQ(del.status, 0) << del.out;

  auto lost = [] { return logged_prefix("tap: device lost - read() returned -1 (77 "); };
  ASSERT_TRUE(run_until(lost)) << logged_text();
  auto *t = static_cast<tuntap *>(dev);
  EXPECT_EQ(t->ev.slot, 0);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; i++) evl_run(100);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms) << "the loop spins";
  int lines = 0;
  for (auto &line : logged) lines += line.rfind("tap: device lost", 0) == 0;
  EXPECT_EQ(lines, 1) << logged_text();
  EXPECT_EQ(dev->write("x", 1), -1);
  dev->close();
}

TEST_F(TapwardenNs, ClientLimitHolds) {
  start_warden({"-n", "2"});
  tapdev *a = new_device();
  tapdev *b = new_device();
  tapdev *c = new_device();
  ASSERT_TRUE(a->open()) << logged_text();
  ASSERT_TRUE(b->open()) << logged_text();
  EXPECT_FALSE(c->open());
  EXPECT_NE(logged_text().find("tap: bad response from tapwarden - 01000000\n     too many clients\n"),
            std::string::npos)
      << logged_text();
  a->close();
  // tapwarden notices the departure on its own time.
  int attempts = 0;
  EXPECT_TRUE(wait_until([&] { return ++attempts <= 200 && c->open(); }, 10s)) << logged_text();
  logged.clear();
  c->configure(0x05000009, 0xff000000);
  EXPECT_EQ(owner.configured.back(), true) << logged_text();
}

TEST_F(TapwardenNs, MisbehavingClientsDoNotDisturbOthers) {
  start_warden({"-n", "8"});
  raw_client half(path);
  ASSERT_EQ(half.code, 0);
  ASSERT_EQ(send(half.fd, "\x05\x01\x02", 3, MSG_NOSIGNAL), 3);  // and then nothing
  raw_client mute(path, false);  // connects, never reads anything
  raw_client garbage(path);
  ASSERT_EQ(garbage.code, 0);
  int64_t answer = garbage.ask("garbage!");
  EXPECT_EQ(answer >> 24, TAPW_bad_request) << answer;
  {
    raw_client quitter(path);
    ASSERT_EQ(quitter.code, 0);
    ASSERT_EQ(send(quitter.fd, "\x01\x02\x03\x04\x05", 5, MSG_NOSIGNAL), 5);
  }  // gone in the middle of a request

  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{true}) << logged_text();
  // The half-sent request still completes for its sender.
  EXPECT_EQ(half.ask(std::string("\x05", 1) + request_bytes(0, 0xff000000).substr(4)), 0)
      << warden->output();
}

TEST_F(TapwardenNs, AnInterfaceLeftBehindCannotBeTakenOverByName) {
  start_warden();
  raw_client first(path);
  ASSERT_EQ(first.code, 0);
  ASSERT_GE(first.device, 0);
  close(first.device);  // its interface goes, the connection stays
  first.device = -1;
  // The next interface may well get the same name.
  tapdev *dev = new_device();
  ASSERT_TRUE(dev->open()) << logged_text();
  int64_t answer = first.ask(request_bytes(0x05060606, 0xff000000));
  EXPECT_EQ(answer >> 24, TAPW_config_failed) << answer;
  auto addr = ip_run({"-o", "addr"});
  EXPECT_EQ(addr.out.find("5.6.6.6"), std::string::npos) << addr.out;
}

TEST_F(TapwardenNs, GroupMayBeGivenTheSocket) {
  start_warden({"-g", "4321"});
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_gid, 4321u);
}

TEST_F(TapwardenNs, GroupHoldsInASetGroupIdDirectory) {
  // New files there take the directory's group; the socket must not.
  std::string sub = dir.file("sgid");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ASSERT_EQ(chown(sub.c_str(), 0, 4322), 0);
  ASSERT_EQ(chmod(sub.c_str(), 02755), 0);
  path = sub + "/tw.sock";
  start_warden({"-g", "4321"});
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_gid, 4321u);
  EXPECT_EQ(st.st_uid, 0u);
}

// A client that asks gets its interface anew with the virtio-net header,
// once; one that does not ask is served as it always was.
TEST_F(TapwardenNs, OffloadsBringTheInterfaceAnewOnceAndOnlyWhenAsked) {
  start_warden({"-m", "1400"});
  tapdev *plain = new_device();
  ASSERT_TRUE(plain->open()) << logged_text();
  devices.emplace_back(tuntap_create(&owner, path.c_str(), true));
  tapdev *dev = devices.back().get();
  ASSERT_TRUE(dev->open()) << logged_text();
  auto *t = static_cast<tuntap *>(dev);
  ASSERT_TRUE(t->vnet) << logged_text();
  EXPECT_NE(logged_text().find("tap: offloads on (tso4, checksum)\n"), std::string::npos)
      << logged_text();
  auto flags = [](tapdev *d) {
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ioctl(static_cast<tuntap *>(d)->ev.fd, TUNGETIFF, &ifr);
    return ifr.ifr_flags;
  };
  EXPECT_TRUE(flags(dev) & IFF_VNET_HDR);
  EXPECT_FALSE(flags(plain) & IFF_VNET_HDR);
  EXPECT_EQ(interface_with(dev->mac), std::string(dev->name));

  dev->configure(0x05010204, 0xff000000);
  plain->configure(0x05010203, 0xff000000);
  ASSERT_EQ(owner.configured, (std::vector<bool>{true, true})) << logged_text();
  auto addr = ip_run({"-o", "addr", "show", "dev", dev->name});
  EXPECT_NE(addr.out.find("inet 5.1.2.4/8"), std::string::npos) << addr.out;

  // Once only: asked again, it refuses with a code.
  uint8_t request[TAPW_REQUEST_SIZE];
  memcpy(request, &TAPW_OFFLOAD_ADDRESS, 4);
  memcpy(request + 4, &TAPW_OFFLOAD_MAGIC, 4);
  ASSERT_EQ(send(t->cfg, request, sizeof request, MSG_NOSIGNAL), ssize_t(sizeof request));
  int32_t code = 0;
  pollfd p = {t->cfg, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  ASSERT_EQ(recv(t->cfg, &code, sizeof code, 0), ssize_t(sizeof code));
  EXPECT_EQ(code, tapw_code(TAPW_bad_request, EBUSY));
  EXPECT_TRUE(warden->wait_for_output("with offloads")) << warden->output();
}

}  // namespace
