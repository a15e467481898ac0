// tuntap against a scripted tapwarden on a temporary socket path; the
// "device" it hands over is one end of a datagram socket pair, so frames
// can be injected and observed without privileges.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "events/evl.h"
#include "event_loop.h"
#include "fake_tapwarden.h"
#include "process.h"
#include "tapdev/tapdev.h"
#include "tapdev/tapwarden_msg.h"
#include "log_capture.h"
#include "tempdir.h"

namespace {


struct owner_log : tapdev_cb {
  std::vector<bool> configured;
  std::vector<std::string> frames;
  void on_configured(bool ok) override { configured.push_back(ok); }
  void on_frame(uint8_t *frame, int length) override {
    frames.emplace_back(reinterpret_cast<const char *>(frame), static_cast<size_t>(length));
  }
};

const uint8_t MAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

// A datagram pair standing in for the tap device: `device` goes to the
// client, `wire` is the host's side of the interface.
struct fake_device {
  int device = -1, wire = -1;
  fake_device() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) == 0) {
      device = fds[0];
      wire = fds[1];
    }
  }
  ~fake_device() {
    if (device >= 0) close(device);
    if (wire >= 0) close(wire);
  }
  // Once the client holds its copy, ours only gets in the way of seeing
  // whether it let go.
  void drop_our_copy() {
    close(device);
    device = -1;
  }
  bool wire_sees_hangup() const {
    // A datagram socket learns nothing from a closed peer, so send: with
    // every copy of the other end gone the kernel refuses.
    return send(wire, "x", 1, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == ECONNREFUSED;
  }
};

class TuntapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logged.clear();
    log_set_sink(capture_sink);
    path = dir.file("tw.sock");
  }
  void TearDown() override { log_set_sink(nullptr); }

  std::unique_ptr<tapdev> make() { return std::unique_ptr<tapdev>(tuntap_create(&owner, path.c_str())); }

  temp_dir dir;
  std::string path;
  owner_log owner;
};

// --- greeting ---

TEST_F(TuntapTest, OpenFailsWhenNobodyListens) {
  auto dev = make();
  EXPECT_FALSE(dev->open());
  EXPECT_EQ(logged_text(), "tap: connect() failed 2 (No such file or directory)\n");
  EXPECT_EQ(static_cast<tuntap *>(dev.get())->cfg, -1);
}

TEST_F(TuntapTest, OpenFailsWhenPathDoesNotFit) {
  std::string long_path(200, 'x');
  std::unique_ptr<tapdev> dev(tuntap_create(&owner, long_path.c_str()));
  EXPECT_FALSE(dev->open());
  EXPECT_EQ(logged_text(), std::string("tap: connect() failed 36 (") + strerror(36) + ")\n");
}

TEST_F(TuntapTest, GoodGreetingGivesDeviceAndAddress) {
  fake_device d;
  fake_tapwarden tw(path, {greeting_bytes(0, MAC), d.device, {}});
  auto dev = make();
  ASSERT_TRUE(dev->open());
  EXPECT_EQ(logged_text(), "");
  EXPECT_EQ(0, memcmp(dev->mac, MAC, 6));
  auto *t = static_cast<tuntap *>(dev.get());
  EXPECT_GE(t->ev.fd, 0);
  EXPECT_GE(t->cfg, 0);
  EXPECT_FALSE(t->up);
  EXPECT_NE(t->ev.slot, 0) << "the device is watched by the loop";
  d.drop_our_copy();
  dev->close();
  EXPECT_EQ(t->ev.fd, -1);
  EXPECT_EQ(t->cfg, -1);
  EXPECT_TRUE(tw.wait_client_closed()) << "close releases the tapwarden connection";
  EXPECT_TRUE(d.wire_sees_hangup()) << "close releases the device";
}

struct code_case {
  uint32_t code;
  std::string explanation;  // empty: only the first line
};

void PrintTo(const code_case &c, std::ostream *os) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08x", c.code);
  *os << buf;
}

class GreetingCodeTest : public TuntapTest, public ::testing::WithParamInterface<code_case> {};

TEST_P(GreetingCodeTest, LogsCodeAndExplanation) {
  const code_case &c = GetParam();
  fake_tapwarden tw(path, {greeting_bytes(static_cast<int32_t>(c.code), MAC), -1, {}});
  auto dev = make();
  EXPECT_FALSE(dev->open());
  char first[80];
  snprintf(first, sizeof first, "tap: bad response from tapwarden - %08x\n", c.code);
  std::string expected = first;
  if (!c.explanation.empty()) expected += "     " + c.explanation + "\n";
  EXPECT_EQ(logged_text(), expected);
  EXPECT_FALSE(log_continuation);
  EXPECT_TRUE(tw.wait_client_closed());
  EXPECT_EQ(static_cast<tuntap *>(dev.get())->cfg, -1);
}

std::string with_error(const char *format, int error) {
  char buf[200];
  snprintf(buf, sizeof buf, format, error, strerror(error));
  return buf;
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, GreetingCodeTest,
    ::testing::Values(
        code_case{0x01000000, "too many clients"},
        code_case{0x02000002, with_error("open('/dev/net/tun') failed with %d (%s)", 2)},
        code_case{0x0300000d, with_error("ioctl(TUNSETIFF ...) failed with %d (%s)", 13)},
        code_case{0x04000018, with_error("socket(SOCK_DGRAM ...) failed with %d (%s)", 24)},
        code_case{0x05000013, with_error("ioctl(SIOCGIFHWADDR ...) failed with %d (%s)", 19)},
        code_case{0x06000016, "invalid ipc request"},
        code_case{0x07000001, "invalid ipc request"},
        code_case{0x00000005, ""},
        code_case{0x08000001, ""},
        code_case{0x7f000001, ""},
        code_case{0xff000001, ""},
        code_case{0x80000000, ""}),
    [](const ::testing::TestParamInfo<code_case> &info) {
      char buf[16];
      snprintf(buf, sizeof buf, "code_%08x", info.param.code);
      return std::string(buf);
    });

TEST_F(TuntapTest, ErrorBitsAboveSixteenAreNotPartOfTheErrorNumber) {
  fake_tapwarden tw(path, {greeting_bytes(0x02ff0002, MAC), -1, {}});
  auto dev = make();
  EXPECT_FALSE(dev->open());
  EXPECT_NE(logged_text().find(with_error("open('/dev/net/tun') failed with %d (%s)", 2)),
            std::string::npos)
      << logged_text();
}

TEST_F(TuntapTest, GreetingWithoutDescriptorIsABadMessage) {
  fake_tapwarden tw(path, {greeting_bytes(0, MAC), -1, {}});
  auto dev = make();
  EXPECT_FALSE(dev->open());
  EXPECT_EQ(logged_text(), "tap: bad message\n");
  EXPECT_TRUE(tw.wait_client_closed());
  EXPECT_EQ(static_cast<tuntap *>(dev.get())->ev.fd, -1);
}

TEST_F(TuntapTest, ShortGreetingFails) {
  fake_tapwarden tw(path, {std::string("\0\0\0\0\2\2", 6), -1, {}});
  auto dev = make();
  EXPECT_FALSE(dev->open());
  EXPECT_EQ(logged_text(), "tap: recvmsg() failed 0\n");
}

TEST_F(TuntapTest, DescriptorWithAFailureCodeIsNotKept) {
  fake_device d;
  fake_tapwarden tw(path, {greeting_bytes(0x03000001, MAC), d.device, {}});
  auto dev = make();
  EXPECT_FALSE(dev->open());
  EXPECT_TRUE(tw.wait_client_closed());
  d.drop_our_copy();
  EXPECT_TRUE(d.wire_sees_hangup()) << "the passed descriptor was left open";
}

TEST_F(TuntapTest, OpenTwiceAssertsAndReleasesTheFirstConnection) {
  fake_device d;
  fake_tapwarden tw(path, {greeting_bytes(0, MAC), d.device, {}});
  auto dev = make();
  ASSERT_TRUE(dev->open());
  d.drop_our_copy();
  logged.clear();
  EXPECT_FALSE(dev->open());  // the fake accepts one client only
  EXPECT_NE(logged_text().find("assert cfg < 0 in ../tapdev/src/linux/tapdev.cpp:"), std::string::npos)
      << logged_text();
  EXPECT_NE(logged_text().find("tap: connect() failed 111 (Connection refused)\n"), std::string::npos)
      << logged_text();
  EXPECT_TRUE(tw.wait_client_closed());
  EXPECT_TRUE(d.wire_sees_hangup());
}

// --- configuration ---

struct open_device : TuntapTest {
  void start(std::vector<std::string> answers, bool hang_up = false) {
    tw = std::make_unique<fake_tapwarden>(
        path, fake_script{greeting_bytes(0, MAC), d.device, answers, hang_up});
    dev = make();
    ASSERT_TRUE(dev->open());
    d.drop_our_copy();
  }
  void TearDown() override {
    dev.reset();
    tw.reset();
    TuntapTest::TearDown();
  }
  fake_device d;
  std::unique_ptr<fake_tapwarden> tw;
  std::unique_ptr<tapdev> dev;
};

TEST_F(open_device, ConfigureSendsHostOrderRequestAndReportsSuccess) {
  start({code_bytes(0)});
  dev->configure(0x05010203, 0xff000000);
  ASSERT_EQ(owner.configured, std::vector<bool>{true});
  EXPECT_EQ(logged_text(), "");
  dev.reset();
  ASSERT_TRUE(tw->wait_client_closed());
  uint32_t address = 0x05010203, mask = 0xff000000;
  std::string expected(reinterpret_cast<const char *>(&address), 4);
  expected.append(reinterpret_cast<const char *>(&mask), 4);
  EXPECT_EQ(tw->requests(), std::vector<std::string>{expected});
}

TEST_F(open_device, ConfigureRefusedByCode) {
  start({code_bytes(0x06000016)});
  dev->configure(0x0a000001, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{false});
  EXPECT_EQ(logged_text(), "tap: bad response 06000016\n");
}

TEST_F(open_device, EightByteAnswerIsAFailure) {
  start({std::string(8, '\0')});
  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{false});
  EXPECT_EQ(logged_text(), "tap: config.recv() failed 8 0\n");
}

TEST_F(open_device, TapwardenHangingUpInsteadOfAnswering) {
  start({""}, true);
  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{false});
  EXPECT_EQ(logged_text(), "tap: config.recv() failed 0 0\n");
}

TEST_F(open_device, TapwardenGoneBeforeTheRequest) {
  start({}, true);
  auto *t = static_cast<tuntap *>(dev.get());
  pollfd p = {t->cfg, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1) << "the fake did not hang up";
  // Sending to a closed peer must fail, not kill the process with SIGPIPE.
  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{false});
  EXPECT_EQ(logged_text(), "tap: config.send() failed -1 32\n");
}

TEST_F(TuntapTest, ConfigureWithoutConnectionFails) {
  auto dev = make();
  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{false});
  EXPECT_NE(logged_text().find("assert cfg != -1 in ../tapdev/src/linux/tapdev.cpp:"), std::string::npos)
      << logged_text();
  EXPECT_NE(logged_text().find("tap: config.send() failed -1 9\n"), std::string::npos) << logged_text();
}

// --- frames ---

bool pending(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST_F(open_device, FramesWhileDownAreConsumedAndDropped) {
  start({});
  auto *t = static_cast<tuntap *>(dev.get());
  ASSERT_EQ(send(d.wire, "early", 5, 0), 5);
  ASSERT_TRUE(run_until([&] { return !pending(t->ev.fd); }));
  EXPECT_TRUE(owner.frames.empty());

  ASSERT_TRUE(dev->bring_up());
  ASSERT_EQ(send(d.wire, "frame", 5, 0), 5);
  ASSERT_TRUE(run_until([&] { return !owner.frames.empty(); }));
  EXPECT_EQ(owner.frames, std::vector<std::string>{"frame"});

  dev->bring_down();
  ASSERT_EQ(send(d.wire, "late", 4, 0), 4);
  ASSERT_TRUE(run_until([&] { return !pending(t->ev.fd); }));
  EXPECT_EQ(owner.frames.size(), 1u);
}

TEST_F(open_device, LongestFrameArrivesWhole) {
  start({});
  ASSERT_TRUE(dev->bring_up());
  std::string frame(1500, 'f');
  frame[0] = 'a';
  frame[1499] = 'z';
  ASSERT_EQ(send(d.wire, frame.data(), frame.size(), 0), 1500);
  ASSERT_TRUE(run_until([&] { return !owner.frames.empty(); }));
  EXPECT_EQ(owner.frames[0], frame);
}

TEST_F(open_device, WriteSendsTheWholeFrame) {
  start({});
  std::string frame = "ethernet frame bytes";
  EXPECT_EQ(dev->write(frame.data(), static_cast<int>(frame.size())), static_cast<int>(frame.size()));
  char buf[64];
  ssize_t got = recv(d.wire, buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_EQ(got, static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(std::string(buf, static_cast<size_t>(got)), frame);
}

TEST_F(open_device, NegativeLengthIsRefusedAndNothingIsWritten) {
  start({});
  char frame[64] = "ethernet frame bytes";
  errno = 0;
  EXPECT_EQ(dev->write(frame, -1), -1);
  EXPECT_EQ(errno, EINVAL);
  char buf[64];
  EXPECT_LT(recv(d.wire, buf, sizeof buf, MSG_DONTWAIT), 0) << "something reached the device";
  EXPECT_EQ(dev->write(frame, 0), 0);
}

TEST_F(open_device, CloseStopsEverything) {
  start({});
  ASSERT_TRUE(dev->bring_up());
  dev->close();
  auto *t = static_cast<tuntap *>(dev.get());
  EXPECT_FALSE(t->up);
  EXPECT_EQ(t->ev.slot, 0);
  EXPECT_EQ(dev->write("x", 1), 0);
  EXPECT_TRUE(tw->wait_client_closed());
  dev->close();  // a second close is harmless
  EXPECT_EQ(logged_text(), "");
}

// A device whose other end went away (an interface deleted under the
// daemon) hangs up or reports errors on every poll from then on. It is
// given up once, with one line, and the loop waits again.
TEST_F(TuntapTest, LostDeviceIsGivenUpOnceWithoutSpinning) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  fake_tapwarden tw(path, fake_script{greeting_bytes(0, MAC), pair[0], {}, false});
  auto dev = make();
  ASSERT_TRUE(dev->open());
  close(pair[0]);
  ASSERT_TRUE(dev->bring_up());
  ASSERT_EQ(send(pair[1], "frame", 5, 0), 5);
  ASSERT_TRUE(run_until([&] { return !owner.frames.empty(); }));

  close(pair[1]);
  const std::string lost =
      "tap: device lost - read() returned 0 (0 end of file), no longer reading it\n";
  ASSERT_TRUE(run_until([&] { return logged_line(lost); })) << logged_text();
  auto *t = static_cast<tuntap *>(dev.get());
  EXPECT_EQ(t->ev.slot, 0);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; i++) evl_run(100);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
  EXPECT_EQ(logged_text(), lost);
  EXPECT_EQ(owner.frames.size(), 1u);
  // Writes fail quietly, and closing still releases everything.
  EXPECT_EQ(dev->write("x", 1), -1);
  dev->close();
  EXPECT_EQ(t->ev.fd, -1);
}

TEST_F(TuntapTest, WriteOnClosedDeviceReturnsZero) {
  auto dev = make();
  EXPECT_EQ(dev->write("frame", 5), 0);
}

TEST_F(TuntapTest, BringUpWithoutDeviceAssertsAndFails) {
  auto dev = make();
  EXPECT_FALSE(dev->bring_up());
  EXPECT_NE(logged_text().find("assert ev.fd >= 0 && ! up in ../tapdev/src/linux/tapdev.cpp:"),
            std::string::npos)
      << logged_text();
  EXPECT_FALSE(static_cast<tuntap *>(dev.get())->up);
}

TEST_F(open_device, BringUpTwiceAsserts) {
  start({});
  EXPECT_TRUE(dev->bring_up());
  EXPECT_EQ(logged_text(), "");
  EXPECT_TRUE(dev->bring_up());
  EXPECT_NE(logged_text().find("assert ev.fd >= 0 && ! up"), std::string::npos);
}

// --- the dummy ---

TEST(TapdevDummy, AcceptsEverythingProducesNothing) {
  owner_log owner;
  std::unique_ptr<tapdev> dev(tapdev_dummy_create(&owner));
  EXPECT_EQ(dev->mac[0], 0x00);
  EXPECT_EQ(dev->mac[1], 0xff);
  EXPECT_TRUE(dev->open());
  EXPECT_TRUE(dev->bring_up());
  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{true});
  EXPECT_EQ(dev->write("twelve bytes", 12), 12);
  for (int i = 0; i < 3; i++) evl_run(0);
  EXPECT_TRUE(owner.frames.empty());
  dev->bring_down();
  dev->close();
}

TEST(TapdevDummy, AddressesAreRandom) {
  owner_log owner;
  std::unique_ptr<tapdev> a(tapdev_dummy_create(&owner)), b(tapdev_dummy_create(&owner));
  // Equal tails would take a 1 in 2^32 coincidence.
  EXPECT_NE(0, memcmp(a->mac + 2, b->mac + 2, 4));
}

}  // namespace
