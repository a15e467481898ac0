// Servers on one PostgreSQL database serve as one: clients on different
// servers share networks, hear each other's changes and meet with mirrored
// introductions; a server that dies costs its clients their presence
// within ten seconds, and one stopped with SIGTERM hands its clients to a
// live server.
#include <gtest/gtest.h>

#include "pg_server.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

// The next network message that carries a change of the given kind.
bool next_change(proto_client &c, std::vector<uint32_t> network_view::*kind, uint32_t who,
                 int timeout_ms = 12000) {
  network_view n;
  while (c.next_network(n, timeout_ms))
    for (uint32_t id : n.*kind)
      if (id == who) return true;
  return false;
}

TEST(Cluster, ClientsOnTwoServersMeetAndOutliveEitherServer) {
  pg_server pg;
  SKIP_WITHOUT_POSTGRESQL(pg);
  const std::string url = pg.create_database("cluster");
  ASSERT_FALSE(url.empty());
  temp_dir d1, d2, d3;
  server_process one(d1.path(), {"--store", url}), two(d2.path(), {"--store", url});
  ASSERT_TRUE(one.up() && two.up()) << one.output() << two.output();
  ASSERT_TRUE(one.logged("cluster: this server is ")) << one.output();
  ASSERT_TRUE(two.logged("cluster: this server is ")) << two.output();

  proto_client alice, bob, carol;
  ASSERT_TRUE(alice.login_new(one.port, "alice"));
  ASSERT_TRUE(bob.login_new(two.port, "bob"));
  ASSERT_TRUE(carol.login_new(one.port, "carol"));
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
  // The name is taken for the whole cluster.
  EXPECT_EQ(bob.create("office", "other"), srv::RESULT_name_taken);
  ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  EXPECT_TRUE(next_change(alice, &network_view::added, bob.identity));
  ASSERT_EQ(carol.join("office", "secret"), srv::STATUS_ok);
  EXPECT_TRUE(next_change(bob, &network_view::added, carol.identity));

  // Across servers: each side hears of the other from its own server, with
  // the same key material and mirrored identifiers.
  ASSERT_EQ(bob.netop("office", srv::NETOP_online), srv::STATUS_ok);
  ASSERT_EQ(alice.netop("office", srv::NETOP_online), srv::STATUS_ok);
  EXPECT_TRUE(next_change(alice, &network_view::online, bob.identity));
  peer_view pa, pb;
  ASSERT_TRUE(alice.next_peer(pa));
  ASSERT_TRUE(bob.next_peer(pb));
  EXPECT_EQ(pa.peer, bob.identity);
  EXPECT_EQ(pb.peer, alice.identity);
  ASSERT_EQ(pa.status, srv::STATUS_ok);
  ASSERT_EQ(pb.status, srv::STATUS_ok);
  EXPECT_EQ(pa.ok.keymat, pb.ok.keymat);
  EXPECT_EQ(pa.ok.spi_in, pb.ok.spi_out);
  EXPECT_EQ(pa.ok.spi_out, pb.ok.spi_in);
  EXPECT_EQ(pa.ok.public_endpoint.port, bob.udp_endpoint.port);
  EXPECT_EQ(pb.ok.public_endpoint.port, alice.udp_endpoint.port);
  // Each server hands out identifiers of its own slot, so that no two
  // servers give a client the same one.
  EXPECT_NE(alice.channel >> 24, bob.channel >> 24);
  EXPECT_EQ(pa.ok.spi_in >> 24, pb.ok.spi_in >> 24);
  EXPECT_TRUE(bob.has(srv::MSG_punch, 1000));

  // Eviction by the owner on one server reaches the member on the other.
  ASSERT_EQ(alice.evict("office", carol.identity), srv::STATUS_ok);
  std::string evicted;
  ASSERT_TRUE(carol.next_evicted(evicted));
  EXPECT_EQ(evicted, "office");
  EXPECT_TRUE(next_change(bob, &network_view::removed, carol.identity));

  // Server two dies: its client goes offline for alice and the tunnel ends.
  two.crash();
  EXPECT_TRUE(next_change(alice, &network_view::offline, bob.identity)) << one.output();
  EXPECT_TRUE(one.logged("stopped heartbeating; its clients are offline"));
  peer_view gone;
  ASSERT_TRUE(alice.next_peer(gone));
  EXPECT_EQ(gone.peer, bob.identity);
  EXPECT_EQ(gone.status, srv::STATUS_refused);

  // A planned stop hands the clients to a live server.
  server_process three(d3.path(), {"--store", url});
  ASSERT_TRUE(three.up() && three.logged("cluster: this server is "));
  EXPECT_EQ(one.stop(), 0);
  message m;
  ASSERT_TRUE(alice.expect(srv::MSG_redirect, m)) << one.output();
  msg_reader r(m.body);
  EXPECT_EQ(r.get_u8(), srv::STATUS_again);
  const srv::endpoint to = srv::get_endpoint(r);
  EXPECT_EQ(to.addr, uint32_t(INADDR_LOOPBACK));
  EXPECT_EQ(to.port, three.port);
  EXPECT_TRUE(one.output().find("left the cluster") != std::string::npos);

  // With no server on its directory, the administration commands work on
  // the shared database, not on the directory's SQLite file.
  process_result list = run_process(kServerBin, {"networks", "list", "-d", d1.path()});
  EXPECT_EQ(list.status, 0) << list.out;
  EXPECT_NE(list.out.find("office"), std::string::npos) << list.out;
  process_result backup = run_process(kServerBin, {"backup", "-d", d1.path(), d1.file("copy")});
  EXPECT_NE(backup.out.find("is in PostgreSQL: back it up with pg_dump"), std::string::npos);
}

}  // namespace
