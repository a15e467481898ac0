// Three clients behind one public address, as they and the relay see it:
// the two on one private /24 are sent to each other's local endpoint; the
// third, on another network, meets them through the relay, which forwards
// datagrams unchanged, cannot be taken over by a forged or replayed
// datagram from another address, and holds each side to its rate.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/util.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

std::string datagram(msg_crypto_v2 &tunnel, const std::string &payload) {
  std::string frame = std::string(srv::FRAME_HEADER_SIZE, '\0') + payload;
  tunnel.protect(frame, true);
  return frame;
}

void tunnel_of(msg_crypto_v2 &tunnel, const peer_view &p) {
  ASSERT_TRUE(tunnel.set_keys(p.ok.keymat, false));
  tunnel.in_spi = p.ok.spi_in;
  tunnel.out_spi = p.ok.spi_out;
}

TEST(Relay, OneAddressMeetsOnItsLanOrThroughTheRelay) {
  temp_dir dir;
  server_process server(dir.path(), {"--relay-pair-rate", "1"});
  ASSERT_TRUE(server.up()) << server.output();
  proto_client a, b, c;
  proto_client *all[] = {&a, &b, &c};
  const uint32_t local[] = {0x0a010203, 0x0a010204, 0xc0a80005};
  for (int i = 0; i < 3; i++) {
    proto_client &x = *all[i];
    ASSERT_TRUE(x.connect(server.port));
    ASSERT_EQ(x.helo(), srv::STATUS_ok);
    ASSERT_EQ(x.enroll("natted"), srv::STATUS_ok);
    ASSERT_EQ(x.discovery(local[i]), srv::STATUS_ok);
    ASSERT_EQ(x.sync(), srv::STATUS_ok);
    ASSERT_EQ(i ? x.join("home", "pw") : x.create("home", "pw"), srv::STATUS_ok);
    ASSERT_EQ(x.netop("home", srv::NETOP_online), srv::STATUS_ok);
  }
  // a and b: each other's local address, with the port of the socket.
  std::vector<srv::punch_record> a_to_b, a_to_c, c_to_a;
  peer_view ab, ac, ca;
  ASSERT_TRUE(a.next_punch(a_to_b));
  ASSERT_TRUE(a.next_peer(ab));
  EXPECT_EQ(ab.peer, b.identity);
  EXPECT_EQ(ab.ok.public_endpoint.addr, local[1]);
  EXPECT_EQ(ab.ok.public_endpoint.port, b.udp_endpoint.port);
  EXPECT_EQ(a_to_b[0].target.addr, local[1]);

  // a and c: the relay, each told to punch it with a cookie first.
  ASSERT_TRUE(a.next_punch(a_to_c));
  ASSERT_TRUE(a.next_peer(ac));
  EXPECT_EQ(ac.peer, c.identity);
  const srv::endpoint relay = ac.ok.public_endpoint;
  EXPECT_NE(relay.port, server.port);
  EXPECT_EQ(a_to_c[0].target.port, relay.port);
  do {
    ASSERT_TRUE(c.next_punch(c_to_a));
    ASSERT_TRUE(c.next_peer(ca));
  } while (ca.peer != a.identity);
  EXPECT_EQ(ca.ok.public_endpoint.port, relay.port);
  EXPECT_TRUE(server.logged("no common private network"));
  msg_crypto_v2 ta, tc;
  tunnel_of(ta, ac);
  tunnel_of(tc, ca);

  const std::string ia = ip_to_text(a.identity), ic = ip_to_text(c.identity);
  ASSERT_TRUE(a.send_udp(a_to_c[0].payload, relay));
  ASSERT_TRUE(c.send_udp(c_to_a[0].payload, relay));
  ASSERT_TRUE(server.logged("relay: " + ia + " is at 127.0.0.1:" +
                            std::to_string(a.udp_endpoint.port) + " (its punch)"));
  ASSERT_TRUE(server.logged("relay: " + ic + " is at"));

  // Unchanged, both ways, from the relay's endpoint.
  std::string first = datagram(ta, "\x80 hello"), got;
  srv::endpoint from;
  ASSERT_TRUE(a.send_udp(first, relay));
  ASSERT_TRUE(c.recv_udp(got, from));
  EXPECT_EQ(got, first);
  EXPECT_EQ(from.port, relay.port);
  EXPECT_TRUE(tc.unprotect(got));
  std::string reply = datagram(tc, "\x80 hello back");
  ASSERT_TRUE(c.send_udp(reply, relay));
  ASSERT_TRUE(a.recv_udp(got, from));
  EXPECT_EQ(got, reply);

  // A third host sends a forged datagram and a copy of a genuine one.
  int mallory = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(relay.addr);
  to.sin_port = htons(relay.port);
  std::string forged = datagram(ta, "\x80 forged");
  forged.back() ^= 1;
  for (const std::string *bad : {&forged, &first})
    sendto(mallory, bad->data(), bad->size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  EXPECT_FALSE(c.recv_udp(got, from, 300));
  // The relay still sends c's datagrams to a, and a's to c.
  ASSERT_TRUE(c.send_udp(datagram(tc, "\x80 still"), relay));
  EXPECT_TRUE(a.recv_udp(got, from));
  const std::string later = datagram(ta, "\x80 still here");
  ASSERT_TRUE(a.send_udp(later, relay));
  ASSERT_TRUE(c.recv_udp(got, from));
  EXPECT_EQ(got, later);
  close(mallory);

  // A burst over a's limit of 1 Mbit/s (a bucket of 125000 bytes).
  const int burst = 120;
  const std::string big = datagram(ta, "\x80" + std::string(1350, 'x'));
  for (int i = 0; i < burst; i++) a.send_udp(big, relay);
  int passed = 0;
  while (c.recv_udp(got, from, 300)) passed++;
  EXPECT_GT(passed, 0);
  EXPECT_LT(passed, burst);

  // The pair ends with c; the relay tells what it carried.
  c.disconnect();
  EXPECT_TRUE(server.logged("relay forgets " + ic + " <-> " + ia + ": " +
                            std::to_string(4 + passed) + " packets, "));
  EXPECT_TRUE(server.logged(" bytes, 2 refused, " + std::to_string(burst - passed) +
                            " over the rate limit"));
  // Where a and c are was learnt once each, from their punches.
  size_t latches = 0;
  for (size_t at = 0; (at = server.output().find(" is at ", at)) != std::string::npos; at++)
    latches++;
  EXPECT_EQ(latches, 2u);
}

}  // namespace
