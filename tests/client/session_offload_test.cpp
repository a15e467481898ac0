// The UDP socket's capacity: large buffers, datagrams of one drain sent as
// one segmented message, coalesced reads split again, and the way back to
// datagram-by-datagram where the kernel refuses. What the peers see must
// not change.
#include <gtest/gtest.h>
#include <netinet/udp.h>

#include <algorithm>
#include <fstream>

#include "tunnel_fixture.h"

namespace {

int proc_value(const char *path) {
  std::ifstream in(path);
  int v = 0;
  in >> v;
  return v;
}

int socket_buffer(int fd, int option) {
  int got = 0;
  socklen_t len = sizeof got;
  getsockopt(fd, SOL_SOCKET, option, &got, &len);
  return got / 2;  // the kernel reports twice what it grants
}

TEST_F(TunnelTest, TheSocketGetsLargeBuffersAndSaysSo) {
  login_with_peers();
  // Privileged, we get all we ask for; otherwise up to the system's cap.
  const int wanted = 4 << 20;
  const bool root = geteuid() == 0;
  const int rcv_cap = root ? wanted : std::min(wanted, proc_value("/proc/sys/net/core/rmem_max"));
  const int snd_cap = root ? wanted : std::min(wanted, proc_value("/proc/sys/net/core/wmem_max"));
  EXPECT_GE(socket_buffer(s->udp_sock.fd, SO_RCVBUF), rcv_cap);
  EXPECT_GE(socket_buffer(s->udp_sock.fd, SO_SNDBUF), snd_cap);
  EXPECT_EQ(lines_with("udp: socket buffers ").size(), 1u) << logged_text();
}

}  // namespace
