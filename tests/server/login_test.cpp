// Logging in to quilmar-server, as a client sees it: enroll, auth after a
// reconnect, every login refusal, a second login of the same identity,
// discovery behind NAT, redirects, and bad input that ends only the
// connection that sent it.
#include <gtest/gtest.h>

#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

class Login : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.up()) << server.output(); }
  temp_dir dir;
  server_process server{dir.path()};
};

TEST_F(Login, EnrollThenAuthAfterReconnect) {
  proto_client alice;
  ASSERT_TRUE(alice.login_new(server.port, "alice"));
  const uint32_t id = alice.identity;
  EXPECT_EQ(id >> 24, 5u);
  EXPECT_NE(id & 0xff, 0u);
  EXPECT_NE(id & 0xff, 255u);
  EXPECT_NE(alice.channel, 0u);
  EXPECT_TRUE(server.logged("enrolled as 'alice'"));

  // A fresh connection, as after a daemon restart: auth with the identity.
  alice.disconnect();
  proto_client again;
  ASSERT_TRUE(again.login(server.port, id));
  EXPECT_EQ(again.identity, id);
  EXPECT_TRUE(server.logged("logged in"));
  // Ready: operations are answered.
  EXPECT_EQ(again.create("home-net", "pw"), srv::STATUS_ok);

  // Each enroll is a new account, even with the same key.
  proto_client bob;
  ASSERT_TRUE(bob.login_new(server.port, "bob"));
  EXPECT_NE(bob.identity, id);
}

TEST_F(Login, HeloWithAnotherVersionOrServerKeyIsRefused) {
  proto_client old;
  ASSERT_TRUE(old.connect(server.port));
  EXPECT_EQ(old.helo(3), srv::STATUS_refused);

  proto_client stranger;
  stranger.server_key = generated_keys(1024).pub;
  ASSERT_TRUE(stranger.connect(server.port));
  EXPECT_EQ(stranger.helo(), srv::STATUS_refused);
  EXPECT_TRUE(server.logged("another server key"));

  // A refused client has nothing more to say: what it sends is not read.
  EXPECT_FALSE(stranger.send(srv::frame_begin(srv::MSG_sync) + std::string(4, '\0')) &&
               stranger.has(srv::MSG_sync, 300));
}

TEST_F(Login, UnknownIdentityAndBadSignatureAreRefusedForGood) {
  proto_client nobody;
  ASSERT_TRUE(nobody.connect(server.port));
  ASSERT_EQ(nobody.helo(), srv::STATUS_ok);
  uint8_t status = nobody.auth(0x05010203);
  EXPECT_EQ(status, srv::STATUS_unknown_identity);
  EXPECT_TRUE(srv::status_is_final(status));

  proto_client owner;
  ASSERT_TRUE(owner.login_new(server.port, "owner"));
  proto_client thief(generated_keys(1024));
  ASSERT_TRUE(thief.connect(server.port));
  ASSERT_EQ(thief.helo(), srv::STATUS_ok);
  status = thief.auth(owner.identity);
  EXPECT_EQ(status, srv::STATUS_bad_signature);
  EXPECT_TRUE(srv::status_is_final(status));
  EXPECT_TRUE(server.logged("bad signature"));
}

TEST_F(Login, EnrollWithAWeakKeyOrAnOverlongNicknameIsRefused) {
  proto_client weak(generated_keys(512));
  ASSERT_TRUE(weak.connect(server.port));
  ASSERT_EQ(weak.helo(), srv::STATUS_ok);
  uint8_t status = weak.enroll("weak");
  EXPECT_EQ(status, srv::STATUS_bad_key);
  EXPECT_TRUE(srv::status_is_final(status));

  proto_client wordy;
  ASSERT_TRUE(wordy.connect(server.port));
  ASSERT_EQ(wordy.helo(), srv::STATUS_ok);
  EXPECT_EQ(wordy.enroll(std::string(256, 'n')), srv::STATUS_bad_message);
  proto_client long_name;  // 255 bytes are still a nickname
  ASSERT_TRUE(long_name.login_new(server.port, std::string(255, 'n')));
}

TEST_F(Login, SecondLoginOfAnIdentityReplacesTheFirst) {
  proto_client first, other;
  ASSERT_TRUE(first.login_new(server.port, "twice"));
  ASSERT_TRUE(other.login_new(server.port, "other"));
  ASSERT_EQ(first.create("shared-net", "pw"), srv::STATUS_ok);
  ASSERT_EQ(other.join("shared-net", "pw"), srv::STATUS_ok);
  ASSERT_EQ(first.netop("shared-net", srv::NETOP_online), srv::STATUS_ok);

  proto_client second;
  ASSERT_TRUE(second.login(server.port, first.identity));
  EXPECT_TRUE(first.closed_by_server());
  EXPECT_TRUE(server.logged("replaced by a new login"));
  // The others saw the old connection go offline.
  network_view n;
  do {
    ASSERT_TRUE(other.next_network(n));
  } while (n.offline.empty());
  EXPECT_EQ(n.offline, std::vector<uint32_t>{first.identity});
  // The new connection is the one that counts.
  EXPECT_EQ(second.netop("shared-net", srv::NETOP_online), srv::STATUS_ok);
}

TEST_F(Login, ClientBehindNatIsReachedWhereItsPunchCameFrom) {
  // `a` announces an address that is not the one the server sees; `b` is
  // on a public address.
  proto_client a, b;
  ASSERT_TRUE(b.login_new(server.port, "public"));
  ASSERT_TRUE(a.connect(server.port));
  ASSERT_EQ(a.helo(), srv::STATUS_ok);
  ASSERT_EQ(a.enroll("natted"), srv::STATUS_ok);
  ASSERT_EQ(a.discovery(0x0a010203), srv::STATUS_ok);
  ASSERT_EQ(a.sync(), srv::STATUS_ok);
  EXPECT_TRUE(server.logged("is behind NAT, reached at 127.0.0.1:"));
  EXPECT_TRUE(server.logged("keeps its port for every destination"));
  ASSERT_EQ(a.create("nat-net", "pw"), srv::STATUS_ok);
  ASSERT_EQ(b.join("nat-net", "pw"), srv::STATUS_ok);
  ASSERT_EQ(a.netop("nat-net", srv::NETOP_online), srv::STATUS_ok);
  ASSERT_EQ(b.netop("nat-net", srv::NETOP_online), srv::STATUS_ok);
  peer_view pa, pb;
  ASSERT_TRUE(a.next_peer(pa));
  ASSERT_TRUE(b.next_peer(pb));
  // The endpoints are the real sockets, not the announced address.
  EXPECT_EQ(pa.ok.public_endpoint.addr, b.udp_endpoint.addr);
  EXPECT_EQ(pa.ok.public_endpoint.port, b.udp_endpoint.port);
  EXPECT_EQ(pb.ok.public_endpoint.addr, a.udp_endpoint.addr);
  EXPECT_EQ(pb.ok.public_endpoint.port, a.udp_endpoint.port);
}

TEST_F(Login, SilentNatClientIsAskedToRetryDiscovery) {
  proto_client c;
  ASSERT_TRUE(c.connect(server.port));
  ASSERT_EQ(c.helo(), srv::STATUS_ok);
  ASSERT_EQ(c.enroll("silent"), srv::STATUS_ok);
  EXPECT_EQ(c.discovery(0x0a010203, false), srv::STATUS_disc_retry);
}

TEST(LoginRedirect, EveryClientIsHandedOn) {
  temp_dir dir;
  server_process server(dir.path(), {"-r", "10.0.0.1:12975"});
  ASSERT_TRUE(server.up()) << server.output();
  proto_client c;
  ASSERT_TRUE(c.connect(server.port));
  c.mc.reset(new msg_crypto_v2());
  c.mc->make_local();
  srv::helo_msg h;
  varint_lengths = false;
  h.fingerprint = key_fingerprint(c.server_key);
  varint_lengths = true;
  h.nonce = c.mc->nx;
  h.dh_value = c.mc->gx;
  std::string frame = srv::frame_begin(srv::MSG_helo);
  srv::put_helo(frame, h);
  ASSERT_TRUE(c.send(frame));
  message m;
  ASSERT_TRUE(c.expect(srv::MSG_redirect, m));
  msg_reader r(m.body);
  EXPECT_EQ(r.get_u8(), srv::STATUS_again);
  srv::endpoint to = srv::get_endpoint(r);
  EXPECT_EQ(to.addr, 0x0a000001u);
  EXPECT_EQ(to.port, 12975);
}

// Each kind of bad input ends the connection that sent it; a client that
// behaves goes on being served.
TEST_F(Login, BadInputEndsOnlyThatConnection) {
  proto_client good;
  ASSERT_TRUE(good.login_new(server.port, "good"));

  proto_client garbage;  // a protected frame that fails its check
  ASSERT_TRUE(garbage.connect(server.port));
  ASSERT_EQ(garbage.helo(), srv::STATUS_ok);
  EXPECT_TRUE(garbage.send_raw(std::string("\x00\x00\x00\x30", 4) + std::string(48, 'x')));
  EXPECT_TRUE(garbage.closed_by_server());
  EXPECT_TRUE(server.logged("frame failed its check"));

  proto_client huge;  // a length word beyond any frame we take
  ASSERT_TRUE(huge.connect(server.port));
  EXPECT_TRUE(huge.send_raw(std::string("\x00\x10\x00\x00", 4)));
  EXPECT_TRUE(huge.closed_by_server());
  EXPECT_TRUE(server.logged("too big"));

  proto_client early;  // sync before helo
  ASSERT_TRUE(early.connect(server.port));
  EXPECT_TRUE(early.send(srv::frame_begin(srv::MSG_sync) + std::string(4, '\0')));
  EXPECT_TRUE(early.closed_by_server());
  EXPECT_TRUE(server.logged("message 5 in state 0"));

  proto_client cut;  // helo without its fields
  ASSERT_TRUE(cut.connect(server.port));
  EXPECT_TRUE(cut.send(srv::frame_begin(srv::MSG_helo) + "\x02"));
  EXPECT_TRUE(cut.closed_by_server());
  EXPECT_TRUE(server.logged("malformed message 1"));

  proto_client odd;  // a type no client sends, once logged in
  ASSERT_TRUE(odd.login_new(server.port, "odd"));
  EXPECT_TRUE(odd.send(srv::frame_begin(srv::MSG_peer)));
  EXPECT_TRUE(odd.closed_by_server());

  proto_client flood;  // far more frames than any client sends
  ASSERT_TRUE(flood.login_new(server.port, "flood"));
  std::string burst;
  for (int i = 0; i < 1000; i++) {
    std::string frame = srv::frame_begin(srv::MSG_keepalive);
    flood.mc->protect(frame, false);
    burst += frame;
  }
  flood.send_raw(burst);
  EXPECT_TRUE(flood.closed_by_server());
  EXPECT_TRUE(server.logged("flooding"));

  EXPECT_EQ(good.create("still-here", "pw"), srv::STATUS_ok);
  proto_client later;
  EXPECT_TRUE(later.login_new(server.port, "later"));
}

}  // namespace
