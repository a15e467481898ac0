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
#include "../netlib/tcp_frames.h"

namespace {


struct owner_log : tapdev_cb {
  std::vector<bool> configured;
  std::vector<std::string> frames;
  void on_configured(bool ok) override { configured.push_back(ok); }
  void on_frame(uint8_t *frame, int length) override {
    frames.emplace_back(reinterpret_cast<const char *>(frame), static_cast<size_t>(length));
    if (!in_batch) frames_outside_batch++;
  }
  void on_frames_begin() override {
    EXPECT_FALSE(in_batch);
    in_batch = true;
    batches++;
  }
  void on_frames_end() override {
    EXPECT_TRUE(in_batch);
    in_batch = false;
  }
  bool in_batch = false;
  int batches = 0, frames_outside_batch = 0;
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

// Frames queued on the device all come out of one wake-up of the loop, in
// order, each whole; a drained device is no failure.
TEST_F(open_device, QueuedFramesAreDrainedInOneWakeUpInOrder) {
  start({});
  ASSERT_TRUE(dev->bring_up());
  auto *t = static_cast<tuntap *>(dev.get());
  std::vector<std::string> sent;
  // As many as the pair queues (the kernel holds only a few datagrams).
  for (int i = 0; i < 64; ++i) {
    std::string frame =
        "frame " + std::to_string(i) + std::string(size_t(i) * 20, char('a' + i % 26));
    if (send(d.wire, frame.data(), frame.size(), MSG_DONTWAIT) != ssize_t(frame.size())) break;
    sent.push_back(frame);
  }
  ASSERT_GE(sent.size(), 2u);
  ASSERT_TRUE(pending(t->ev.fd));
  evl_run(1000);
  EXPECT_EQ(owner.frames, sent);
  EXPECT_EQ(owner.batches, 1) << "one batch around all of them";
  EXPECT_FALSE(owner.in_batch);
  EXPECT_EQ(owner.frames_outside_batch, 0);
  EXPECT_FALSE(pending(t->ev.fd));
  EXPECT_EQ(logged_text(), "");
  EXPECT_NE(t->ev.slot, 0) << "still watched";
}

// An owner may close the device from inside on_frame: the drain stops
// there, quietly.
TEST_F(TuntapTest, OwnerClosingTheDeviceDuringAFrameStopsTheDrain) {
  struct closing_owner : owner_log {
    tapdev *dev = nullptr;
    void on_frame(uint8_t *frame, int length) override {
      owner_log::on_frame(frame, length);
      dev->close();
    }
  } closer;
  fake_device d;
  fake_tapwarden tw(path, {greeting_bytes(0, MAC), d.device, {}});
  std::unique_ptr<tapdev> dev(tuntap_create(&closer, path.c_str()));
  closer.dev = dev.get();
  ASSERT_TRUE(dev->open());
  ASSERT_TRUE(dev->bring_up());
  ASSERT_EQ(send(d.wire, "one", 3, 0), 3);
  ASSERT_EQ(send(d.wire, "two", 3, 0), 3);
  ASSERT_TRUE(run_until([&] { return !closer.frames.empty(); }));
  EXPECT_EQ(closer.frames, std::vector<std::string>{"one"});
  EXPECT_EQ(static_cast<tuntap *>(dev.get())->ev.fd, -1);
  EXPECT_EQ(logged_text(), "");
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

// ---- offloads ----

std::string offload_request() {
  std::string r(reinterpret_cast<const char *>(&TAPW_OFFLOAD_ADDRESS), 4);
  return r.append(reinterpret_cast<const char *>(&TAPW_OFFLOAD_MAGIC), 4);
}

// A tapwarden that does not know the request refuses it like a foreign
// address; the device and everything after stay as without offloads.
TEST_F(TuntapTest, OffloadsRefusedByAnOlderTapwardenChangeNothing) {
  fake_device d;
  fake_tapwarden tw(path, fake_script{greeting_bytes(0, MAC), d.device,
                                     {code_bytes(0x06000016), code_bytes(0)}, false});
  std::unique_ptr<tapdev> dev(tuntap_create(&owner, path.c_str(), true));
  ASSERT_TRUE(dev->open());
  EXPECT_EQ(logged_text(), "tap: no offloads from tapwarden (4 bytes, code 06000016)\n");
  EXPECT_FALSE(static_cast<tuntap *>(dev.get())->vnet);
  dev->configure(0x05010203, 0xff000000);
  EXPECT_EQ(owner.configured, std::vector<bool>{true});
  ASSERT_EQ(dev->write("frame", 5), 5);
  char buf[16];
  EXPECT_EQ(recv(d.wire, buf, sizeof buf, MSG_DONTWAIT), 5) << "written as it was";
  dev.reset();
  ASSERT_TRUE(tw.wait_client_closed());
  EXPECT_EQ(tw.requests().size(), 2u);
  EXPECT_EQ(tw.requests()[0], offload_request());
}

// Given the device anew with the header, the owner still sees plain
// frames: large segments cut into packets, partial checksums completed;
// and consecutive segments written are joined until the batch ends.
TEST_F(TuntapTest, WithOffloadsTheOwnerSeesPacketsAndTheDeviceJoinedSegments) {
  using namespace tcpf;
  const uint8_t MAC2[6] = {0x02, 0x66, 0x77, 0x88, 0x99, 0xaa};
  fake_device d, d2;
  fake_script script{greeting_bytes(0, MAC), d.device, {greeting_bytes(0, MAC2)}, false};
  script.answer_fd = d2.device;
  fake_tapwarden tw(path, script);
  std::unique_ptr<tapdev> dev(tuntap_create(&owner, path.c_str(), true));
  ASSERT_TRUE(dev->open());
  auto *t = static_cast<tuntap *>(dev.get());
  ASSERT_TRUE(t->vnet) << logged_text();
  EXPECT_EQ(0, memcmp(dev->mac, MAC2, 6));
  d.drop_our_copy();
  d2.drop_our_copy();
  EXPECT_TRUE(d.wire_sees_hangup()) << "the old device is let go";
  ASSERT_TRUE(dev->bring_up());

  // A 3000-byte segment (checksum partial) and a UDP packet whose checksum
  // is left to the device.
  segment_fields s;
  s.payload = pattern(3000);
  s.flags = 0x18;
  std::string big = tcp_frame(s);
  const std::string whole = big;
  set16(big, 50, uint16_t(sum16(big, 26, 34) + 6 + uint32_t(big.size() - 34)));
  std::string header(VNET_HDR_SIZE, '\0');
  vnet_hdr h;
  h.flags = VNET_F_NEEDS_CSUM;
  h.gso_type = VNET_GSO_TCPV4;
  h.gso_size = 1400;
  h.csum_start = 34;
  h.csum_offset = 16;
  vnet_hdr_write(h, reinterpret_cast<uint8_t *>(&header[0]));
  ASSERT_EQ(send(d2.wire, (header + big).data(), header.size() + big.size(), 0),
            ssize_t(header.size() + big.size()));
  std::string udp = whole.substr(0, 34) + std::string(8, '\0') + "datagram";
  udp[23] = 17;
  set16(udp, 16, 20 + 16);
  set16(udp, 24, 0);
  set16(udp, 24, uint16_t(~sum16(udp, 14, 34)));
  set16(udp, 38, 16);
  set16(udp, 40, uint16_t(sum16(udp, 26, 34) + 17 + 16));
  h = vnet_hdr();
  h.flags = VNET_F_NEEDS_CSUM;
  h.csum_start = 34;
  h.csum_offset = 6;
  vnet_hdr_write(h, reinterpret_cast<uint8_t *>(&header[0]));
  ASSERT_EQ(send(d2.wire, (header + udp).data(), header.size() + udp.size(), 0),
            ssize_t(header.size() + udp.size()));
  ASSERT_TRUE(run_until([&] { return owner.frames.size() >= 4; }));
  ASSERT_EQ(owner.frames.size(), 4u);
  std::string payload;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(tcp_checksum_ok(owner.frames[i])) << i;
    payload += owner.frames[i].substr(54);
  }
  EXPECT_EQ(payload, s.payload);
  EXPECT_EQ(sum16(owner.frames[3], 34, 50, sum16(udp, 26, 34) + 17 + 16), 0xffff)
      << "UDP checksum completed";

  // Those three written back are joined, and go when the batch ends; an
  // ARP frame is written at once, behind what was held.
  for (size_t i = 0; i < 3; ++i)
    ASSERT_EQ(dev->write(owner.frames[i].data(), int(owner.frames[i].size())),
              int(owner.frames[i].size()));
  char buf[8192];
  EXPECT_LT(recv(d2.wire, buf, sizeof buf, MSG_DONTWAIT), 0) << "held back";
  const std::string arp = std::string(12, '\x01') + "\x08\x06" + std::string(28, 'a');
  ASSERT_EQ(dev->write(arp.data(), int(arp.size())), int(arp.size()));
  ssize_t n = recv(d2.wire, buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_EQ(n, ssize_t(VNET_HDR_SIZE + whole.size()));
  vnet_hdr_read(reinterpret_cast<uint8_t *>(buf), h);
  EXPECT_EQ(h.gso_type, VNET_GSO_TCPV4);
  EXPECT_EQ(h.gso_size, 1400);
  std::string joined(buf + VNET_HDR_SIZE, size_t(n) - VNET_HDR_SIZE);
  EXPECT_EQ(joined.substr(54), s.payload);
  n = recv(d2.wire, buf, sizeof buf, MSG_DONTWAIT);
  EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))), std::string(VNET_HDR_SIZE, '\0') + arp);
}

}  // namespace
