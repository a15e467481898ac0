// Networks on quilmar-server as their members see them: creating, joining
// and going online introduce members to each other with mirrored tunnel
// identifiers; every refusal carries the code the client explains; members
// hear of every change.
#include <gtest/gtest.h>

#include "hub.h"  // the server's own result codes
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

class Networks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.up()) << server.output();
    ASSERT_TRUE(alice.login_new(server.port, "alice"));
    ASSERT_TRUE(bob.login_new(server.port, "bob"));
  }
  // The next network message that carries a change of the given kind.
  network_view next_change(proto_client &c, std::vector<uint32_t> network_view::*kind) {
    network_view n;
    while (c.next_network(n))
      if (!(n.*kind).empty()) return n;
    ADD_FAILURE() << "no such network message";
    return n;
  }
  // Both in "office", both online; the introductions consumed.
  void both_online(peer_view &pa, peer_view &pb) {
    ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
    ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
    ASSERT_EQ(alice.netop("office", srv::NETOP_online), srv::STATUS_ok);
    ASSERT_EQ(bob.netop("office", srv::NETOP_online), srv::STATUS_ok);
    ASSERT_TRUE(alice.next_peer(pa));
    ASSERT_TRUE(bob.next_peer(pb));
  }

  temp_dir dir;
  server_process server{dir.path(), {"-m", "3"}};
  proto_client alice, bob;
};

TEST_F(Networks, CreateJoinAndGoOnlineIntroduceTheMembers) {
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
  network_view n;
  ASSERT_TRUE(alice.next_network(n));
  EXPECT_EQ(n.name, "office");
  EXPECT_EQ(n.owner, alice.identity);
  EXPECT_EQ(n.added, std::vector<uint32_t>{alice.identity});

  ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  ASSERT_TRUE(bob.next_network(n));
  EXPECT_EQ(n.owner, alice.identity);
  EXPECT_EQ(n.added, (std::vector<uint32_t>{alice.identity, bob.identity}));
  EXPECT_TRUE(n.online.empty());
  n = next_change(alice, &network_view::added);
  EXPECT_EQ(n.added, std::vector<uint32_t>{bob.identity});

  ASSERT_EQ(alice.netop("office", srv::NETOP_online), srv::STATUS_ok);
  n = next_change(bob, &network_view::online);
  EXPECT_EQ(n.online, std::vector<uint32_t>{alice.identity});
  EXPECT_FALSE(alice.has(srv::MSG_peer, 200));  // alone online: nobody to meet

  ASSERT_EQ(bob.netop("office", srv::NETOP_online), srv::STATUS_ok);
  n = next_change(alice, &network_view::online);
  EXPECT_EQ(n.online, std::vector<uint32_t>{bob.identity});

  // Each is told to punch towards the other, then gets its peer.ok.
  std::vector<srv::punch_record> punch;
  ASSERT_TRUE(alice.next_punch(punch));
  ASSERT_EQ(punch.size(), 1u);
  EXPECT_EQ(punch[0].target.addr, bob.udp_endpoint.addr);
  EXPECT_EQ(punch[0].target.port, bob.udp_endpoint.port);
  EXPECT_LE(punch[0].payload.size(), 28u);  // dropped unread by the peer
  ASSERT_TRUE(bob.next_punch(punch));
  EXPECT_EQ(punch[0].target.port, alice.udp_endpoint.port);

  peer_view pa, pb;
  ASSERT_TRUE(alice.next_peer(pa));
  ASSERT_TRUE(bob.next_peer(pb));
  EXPECT_EQ(pa.peer, bob.identity);
  EXPECT_EQ(pb.peer, alice.identity);
  EXPECT_EQ(pa.status, srv::STATUS_ok);
  EXPECT_EQ(pa.ok.public_endpoint.addr, bob.udp_endpoint.addr);
  EXPECT_EQ(pa.ok.public_endpoint.port, bob.udp_endpoint.port);
  EXPECT_EQ(pb.ok.public_endpoint.port, alice.udp_endpoint.port);
  EXPECT_EQ(pa.ok.spi_in, pb.ok.spi_out);
  EXPECT_EQ(pa.ok.spi_out, pb.ok.spi_in);
  EXPECT_NE(pa.ok.spi_in, pa.ok.spi_out);
  EXPECT_NE(pa.ok.spi_in, alice.channel);
  EXPECT_EQ(pa.ok.keymat, pb.ok.keymat);
  EXPECT_GE(pa.ok.keymat.size(), 52u);

  // The tunnel works: what Alice protects, Bob accepts, found by its SPI.
  msg_crypto_v2 ta, tb;
  ASSERT_TRUE(ta.set_keys(pa.ok.keymat, false));
  ASSERT_TRUE(tb.set_keys(pb.ok.keymat, false));
  ta.out_spi = pa.ok.spi_out;
  std::string dgram = std::string(8, '\0') + "\x80hello";
  ta.protect(dgram, true);
  EXPECT_EQ(uint32_t(uint8_t(dgram[0])) << 24 | uint32_t(uint8_t(dgram[1])) << 16 |
                uint32_t(uint8_t(dgram[2])) << 8 | uint8_t(dgram[3]),
            pb.ok.spi_in);
  ASSERT_TRUE(tb.unprotect(dgram));
  EXPECT_EQ(dgram.substr(8), "\x80hello");

  // Once introduced, no second introduction.
  EXPECT_FALSE(alice.has(srv::MSG_peer, 200));
}

TEST_F(Networks, GoingOfflineOrAwayEndsTheTunnel) {
  peer_view pa, pb;
  both_online(pa, pb);

  ASSERT_EQ(alice.netop("office", srv::NETOP_offline), srv::STATUS_ok);
  network_view n = next_change(bob, &network_view::offline);
  EXPECT_EQ(n.offline, std::vector<uint32_t>{alice.identity});
  peer_view gone;
  ASSERT_TRUE(bob.next_peer(gone));
  EXPECT_EQ(gone.peer, alice.identity);
  EXPECT_NE(gone.status, srv::STATUS_ok);
  ASSERT_TRUE(alice.next_peer(gone));
  EXPECT_EQ(gone.peer, bob.identity);
  EXPECT_NE(gone.status, srv::STATUS_ok);

  // Online again: a new introduction with new identifiers.
  ASSERT_EQ(alice.netop("office", srv::NETOP_online), srv::STATUS_ok);
  peer_view again;
  ASSERT_TRUE(bob.next_peer(again));
  EXPECT_EQ(again.status, srv::STATUS_ok);
  EXPECT_NE(again.ok.keymat, pb.ok.keymat);

  // A client that disconnects is offline everywhere at once.
  alice.disconnect();
  n = next_change(bob, &network_view::offline);
  EXPECT_EQ(n.offline, std::vector<uint32_t>{alice.identity});
  EXPECT_TRUE(server.logged(", closing"));
}

TEST_F(Networks, EveryRefusalCarriesItsResultCode) {
  proto_client carol;
  ASSERT_TRUE(carol.login_new(server.port, "carol"));
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);

  EXPECT_EQ(alice.create("office", "other"), srv::RESULT_name_taken);
  EXPECT_EQ(bob.create("office", "other"), srv::RESULT_name_taken);
  EXPECT_EQ(alice.remove("nowhere"), srv::RESULT_delete_not_found);
  EXPECT_EQ(bob.remove("office"), srv::RESULT_not_owner);

  // A name that does not exist is answered as a wrong password is.
  EXPECT_EQ(bob.join("nowhere", "secret"), srv::RESULT_bad_password);
  EXPECT_EQ(alice.join("office", "secret"), srv::RESULT_join_owner);
  EXPECT_EQ(bob.join("office", "wrong"), srv::RESULT_bad_password);
  EXPECT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  EXPECT_EQ(bob.join("office", "secret"), srv::RESULT_already_member);
  EXPECT_EQ(carol.join("office", "secret"), srv::STATUS_ok);
  proto_client dave;  // -m 3: alice, bob and carol fill it
  ASSERT_TRUE(dave.login_new(server.port, "dave"));
  EXPECT_EQ(dave.join("office", "secret"), srv::RESULT_network_full);
  // Guessing passwords: after five wrong ones from this address (Bob's two
  // and three of Dave's) even the right one is denied.
  for (int i = 0; i < 3; i++) EXPECT_EQ(dave.join("office", "guess"), srv::RESULT_bad_password);
  EXPECT_EQ(dave.join("office", "secret"), srv::RESULT_access_denied);

  EXPECT_EQ(bob.netop("nowhere", srv::NETOP_online), srv::RESULT_netop_not_found);
  EXPECT_EQ(dave.netop("office", srv::NETOP_online), srv::RESULT_not_member);
  EXPECT_EQ(bob.netop("office", srv::NETOP_offline), srv::RESULT_already_offline);
  EXPECT_EQ(bob.netop("office", srv::NETOP_online), srv::STATUS_ok);
  EXPECT_EQ(bob.netop("office", srv::NETOP_online), srv::RESULT_already_online);
  EXPECT_EQ(alice.netop("office", srv::NETOP_leave), srv::RESULT_owner_cannot_leave);

  EXPECT_EQ(alice.evict("nowhere", bob.identity), srv::RESULT_modify_not_found);
  EXPECT_EQ(bob.evict("office", carol.identity), srv::RESULT_modify_denied);
  EXPECT_EQ(alice.evict("office", dave.identity), srv::RESULT_modify_not_found);
  EXPECT_EQ(alice.evict("office", alice.identity), srv::RESULT_modify_denied);
  EXPECT_EQ(alice.modify("office", "\x01\x02"), srv::RESULT_modify_denied);

  EXPECT_EQ(alice.create("abc", "pw"), RESULT_invalid);  // shorter than 4
  EXPECT_EQ(alice.create(std::string(65, 'n'), "pw"), RESULT_invalid);
  // None of it cost a connection.
  EXPECT_EQ(alice.create("second", "pw"), srv::STATUS_ok);
}

TEST_F(Networks, EvictionLeavingAndDeletionReachEveryMember) {
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(bob.netop("office", srv::NETOP_online), srv::STATUS_ok);

  ASSERT_EQ(alice.evict("office", bob.identity), srv::STATUS_ok);
  std::string name;
  ASSERT_TRUE(bob.next_evicted(name));
  EXPECT_EQ(name, "office");
  network_view n = next_change(alice, &network_view::removed);
  EXPECT_EQ(n.removed, std::vector<uint32_t>{bob.identity});
  EXPECT_EQ(bob.netop("office", srv::NETOP_online), srv::RESULT_not_member);

  ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(bob.netop("office", srv::NETOP_leave), srv::STATUS_ok);
  n = next_change(alice, &network_view::removed);
  EXPECT_EQ(n.removed, std::vector<uint32_t>{bob.identity});

  ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(alice.remove("office"), srv::STATUS_ok);
  ASSERT_TRUE(alice.next_evicted(name));
  EXPECT_EQ(name, "office");
  ASSERT_TRUE(bob.next_evicted(name));
  EXPECT_EQ(name, "office");
  EXPECT_EQ(bob.join("office", "secret"), srv::RESULT_bad_password);  // as unknown names are
  // The name is free again.
  EXPECT_EQ(bob.create("office", "mine"), srv::STATUS_ok);
}

TEST_F(Networks, NicknamesAreToldOnlyWithinCommonNetworks) {
  std::string nick;
  EXPECT_EQ(bob.info(alice.identity, nick), STATUS_not_found);
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  EXPECT_EQ(bob.info(alice.identity, nick), srv::STATUS_ok);
  EXPECT_EQ(nick, "alice");
  EXPECT_EQ(alice.change_nick("alice in wonderland"), srv::STATUS_ok);
  EXPECT_EQ(bob.info(alice.identity, nick), srv::STATUS_ok);
  EXPECT_EQ(nick, "alice in wonderland");
  EXPECT_EQ(alice.change_nick(std::string(256, 'x')), RESULT_invalid);
}

TEST_F(Networks, SyncListsMembersAndWhoIsOnline) {
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(alice.create("lab-net", "secret"), srv::STATUS_ok);
  ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(alice.netop("office", srv::NETOP_online), srv::STATUS_ok);

  const uint32_t id = bob.identity;
  bob.disconnect();
  proto_client again;
  ASSERT_TRUE(again.connect(server.port));
  ASSERT_EQ(again.helo(), srv::STATUS_ok);
  ASSERT_EQ(again.auth(id), srv::STATUS_ok);
  ASSERT_EQ(again.discovery(), srv::STATUS_ok);
  std::vector<network_view> nets;
  ASSERT_EQ(again.sync(&nets), srv::STATUS_ok);
  ASSERT_EQ(nets.size(), 1u);
  EXPECT_EQ(nets[0].name, "office");
  EXPECT_EQ(nets[0].owner, alice.identity);
  EXPECT_EQ(nets[0].added, (std::vector<uint32_t>{alice.identity, id}));
  EXPECT_EQ(nets[0].online, std::vector<uint32_t>{alice.identity});
  // The client's automatic go-online after sync introduces it.
  ASSERT_EQ(again.netop("office", srv::NETOP_online), srv::STATUS_ok);
  peer_view p;
  ASSERT_TRUE(again.next_peer(p));
  EXPECT_EQ(p.peer, alice.identity);
}

}  // namespace
