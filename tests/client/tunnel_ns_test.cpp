// Real packets: inside a network namespace of its own, the test process
// runs the session with a real tap interface from tapwarden, logged in to
// the scripted server, and plays the peer 5.0.0.2 on a loopback UDP socket,
// answering the echo requests that reach it through the tunnel. ping fails
// before the server introduces the peer and works after.
//
//   +----------------------- namespace qtn<pid> -------------------------+
//   |  ping 5.0.0.2                                                      |
//   |    | stack: 5.0.0.9/8 on the tap from tapwarden                    |
//   |    v                                                               |
//   |  session (test process) --- UDP 127.0.0.1 ---> peer_end 5.0.0.2    |
//   |    ^  TCP 127.0.0.1                            (echo replies back) |
//   |  test_server (thread): login, network, peer.ok                     |
//   +--------------------------------------------------------------------+
//
// A guardian child deletes the namespace and kills tapwarden even when the
// test dies on the way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#include "netns_guardian.h"
#include "process.h"
#include "tunnel_fixture.h"

namespace {

using namespace std::chrono_literals;

// Enters a fresh namespace before anything of the fixture opens a socket
// (the scripted server and the peers listen on this namespace's loopback).
struct namespace_entered {
  namespace_entered() {
    if (geteuid() != 0) {
      skip = "needs root to create tap interfaces and namespaces";
      return;
    }
    if (access("/dev/net/tun", R_OK | W_OK) != 0) {
      skip = "no /dev/net/tun here";
      return;
    }
    ip = find_program("ip");
    ping = find_program("ping");
    if (ip.empty() || ping.empty()) {
      skip = "needs ip (iproute2) and ping (iputils-ping)";
      return;
    }
    ns = "qtn" + std::to_string(getpid());
    if (!guardian.start(ip, ns)) {
      skip = "cannot start the namespace's guardian";
      return;
    }
    if (run_process(ip, {"netns", "add", ns}).status != 0) {
      skip = "cannot create a network namespace";
      return;
    }
    int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      skip = "cannot enter the namespace";
      if (fd >= 0) close(fd);
      return;
    }
    close(fd);
    entered = true;
    run_process(ip, {"link", "set", "lo", "up"});
  }
  // Has the guardian kill `pid` at the end.
  void guard(pid_t pid) { guardian.watch(pid); }

  std::string skip, ip, ping, ns;
  bool entered = false;
  netns_guardian guardian;  // deletes the namespace, even if we die
};

class TunnelNs : public namespace_entered, public TunnelTest {
 protected:
  void SetUp() override {
    if (!skip.empty()) GTEST_SKIP() << skip;
    TunnelTest::SetUp();
  }
};

// The ICMP echo reply to an echo request, or empty when it is none.
std::string echo_reply(const std::string &request) {
  if (request.size() < 28 || request[9] != 1) return "";
  const size_t ihl = (uint8_t(request[0]) & 0x0f) * 4u;
  if (request.size() < ihl + 8 || request[ihl] != 8) return "";
  std::string reply = request;
  reply.replace(12, 4, request.substr(16, 4));  // swapping keeps the header sum
  reply.replace(16, 4, request.substr(12, 4));
  reply[ihl] = 0;
  reply[ihl + 2] = reply[ihl + 3] = 0;
  uint32_t sum = 0;
  for (size_t i = ihl; i + 1 < reply.size(); i += 2)
    sum += uint32_t(uint8_t(reply[i])) << 8 | uint8_t(reply[i + 1]);
  if ((reply.size() - ihl) % 2) sum += uint32_t(uint8_t(reply.back())) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  put16_at(reply, ihl + 2, static_cast<uint16_t>(~sum));
  return reply;
}

TEST_F(TunnelNs, PingCrossesTheTunnelAndComesBack) {
  const std::string tw_path = dir.file("tw.sock");
  background_process warden(TAPWARDEN_BIN, {"-s", tw_path});
  guard(warden.pid());
  ASSERT_TRUE(warden.wait_for_output("listening on")) << warden.output();

  start(kEnrolledState);
  delete s->tap;
  s->tap = tuntap_create(s.get(), tw_path.c_str());
  ASSERT_TRUE(s->tap->open()) << logged_text();
  ASSERT_TRUE(s->tap->bring_up());
  s->tap->configure(kSelf, 0xff000000);
  ASSERT_EQ(s->tap_status, 1) << logged_text();

  const std::string ok2 = p2.peer_ok_body();
  server.run([=](test_server &srv) {
    test_conn *c = srv.accept();
    if (!c) return;
    c->login();
    c->send(srv::MSG_network, network_body("lan", {{srv::NET_member_online, {kP2}}}));
    c->barrier();
    pause(1);
    c->send(srv::MSG_peer, ok2);
    c->barrier();
    pause(2);
  });
  s->go_online();
  ASSERT_TRUE(reached(1)) << logged_text();
  session_udp = s->local_addr;

  // The peer: every echo request that comes through the tunnel is answered.
  int requests = 0;
  auto serve_peer = [&] {
    std::string d = p2.recv(0);
    if (d.empty()) return;
    std::string message = p2.open(d);
    if (message.size() < 2 || message[0] != '\x80') return;
    std::string reply = echo_reply(message.substr(1));
    if (reply.empty()) return;
    requests++;
    p2.send_raw(p2.datagram("\x80" + reply), session_udp);
  };
  auto ping_until_exit = [&](std::vector<std::string> args) {
    background_process pinger(ping, args);
    guard(pinger.pid());
    bool exited = run_until(
        [&] {
          serve_peer();
          return pinger.wait_exit(0ms);
        },
        30s);
    EXPECT_TRUE(exited) << "ping did not finish";
    pinger.wait_exit(2s);
    return std::make_pair(pinger.status(), pinger.output());
  };

  // No tunnel yet: the peer's address is not even resolved.
  auto before = ping_until_exit({"-n", "-c", "1", "-W", "1", "5.0.0.2"});
  EXPECT_NE(before.first, 0) << before.second;
  EXPECT_TRUE(logged_line("tap: arp - unknown peer 5.0.0.2\n")) << logged_text();
  EXPECT_EQ(requests, 0);

  ASSERT_TRUE(reached(2)) << logged_text();
  ASSERT_TRUE(s->find_tunnel(kP2));
  auto after = ping_until_exit({"-n", "-c", "3", "-i", "0.2", "-W", "5", "5.0.0.2"});
  EXPECT_EQ(after.first, 0) << after.second << logged_text();
  EXPECT_NE(after.second.find("3 received"), std::string::npos) << after.second;
  EXPECT_GE(requests, 3);
  EXPECT_GE(s->find_tunnel(kP2)->rx_count, 3u);
}

}  // namespace
