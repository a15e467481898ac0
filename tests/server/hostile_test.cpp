// One hostile client against quilmar-server, and what the others observe:
// a member toggling online and offline as fast as it may, a stranger
// filling its address with connections and enrolments, members guessing
// passwords and making the server hash. Each time honest clients still
// log in and get correct answers. Other 127.x.y.z addresses pose as other
// hosts.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "hub.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

constexpr uint32_t kStranger = 0x7f000002, kEnroller = 0x7f000003, kCarol = 0x7f000004;

using steady = std::chrono::steady_clock;

int seconds_since(steady::time_point start) {
  return int(std::chrono::duration_cast<std::chrono::seconds>(steady::now() - start).count());
}

TEST(Hostile, MemberTogglingIsPacedAndIntroducedOnce) {
  temp_dir dir;
  server_process server(dir.path());
  ASSERT_TRUE(server.up()) << server.output();
  proto_client alice, mallory;
  ASSERT_TRUE(alice.login_new(server.port, "alice"));
  ASSERT_TRUE(mallory.login_new(server.port, "mallory"));
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(mallory.join("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(alice.netop("office", srv::NETOP_online), srv::STATUS_ok);

  // Forty changes back to back: a few are made, the others refused, every
  // reply in order and naming its operation.
  const auto start = steady::now();
  bool online = false;
  int made = 0;
  for (int i = 0; i < 40; i++) {
    uint8_t status = mallory.netop("office", online ? srv::NETOP_offline : srv::NETOP_online);
    if (status == srv::STATUS_ok) {
      made++;
      online = !online;
    } else {
      ASSERT_EQ(status, srv::RESULT_too_fast);
    }
  }
  const int storm_seconds = seconds_since(start);
  EXPECT_LE(made, int(PRESENCE_CHANGES.burst) + storm_seconds + 1);

  // Once nothing more comes (a go-online waits a second at most), both
  // ends agree on the tunnel, or on there being none, and Alice was asked
  // to punch about once a second at most.
  peer_view to_mallory, to_alice, p;
  for (bool heard = true; heard;) {
    heard = false;
    while (alice.next_peer(p, 1500)) to_mallory = p, heard = true;
    while (mallory.next_peer(p, 0)) to_alice = p, heard = true;
  }
  EXPECT_EQ(to_mallory.status == srv::STATUS_ok, online);
  EXPECT_EQ(to_alice.status == srv::STATUS_ok, online);
  EXPECT_EQ(to_mallory.ok.spi_in, to_alice.ok.spi_out);
  EXPECT_EQ(to_mallory.ok.keymat, to_alice.ok.keymat);
  int punches = 0;
  std::vector<srv::punch_record> records;
  while (alice.next_punch(records, 0)) punches++;
  EXPECT_GE(punches, 1);
  EXPECT_LE(punches, storm_seconds + 3);
}

TEST(Hostile, StrangerIsHeldToWhatItsAddressMayDo) {
  temp_dir dir;
  server_process server(dir.path(), {"--enrol-rate", "3"});
  ASSERT_TRUE(server.up()) << server.output();

  // Connections that never log in: 32 are kept, the others closed at once.
  std::vector<std::unique_ptr<proto_client>> idle(40);
  for (auto &c : idle) {
    c.reset(new proto_client());
    ASSERT_TRUE(c->connect(server.port, kStranger));
  }
  for (size_t i = server_config().max_unauthenticated; i < idle.size(); i++)
    EXPECT_TRUE(idle[i]->closed_by_server(3000)) << i;
  EXPECT_FALSE(idle[0]->closed_by_server(200));
  proto_client honest;
  EXPECT_TRUE(honest.login_new(server.port, "honest"));

  // Before its login a connection may send a few KiB: a helo with a huge
  // key fingerprint is not even answered.
  proto_client big;
  ASSERT_TRUE(big.connect(server.port, kCarol));
  const std::string huge(8000, 'f');
  EXPECT_EQ(big.helo(srv::PROTOCOL_VERSION, &huge), 0);
  EXPECT_TRUE(big.closed_by_server(3000));

  // Enrolments per address and hour (--enrol-rate 3); the fourth is told
  // to come back later, not refused for good. Names reach the log escaped.
  std::vector<proto_client> enrolled(3);
  for (proto_client &c : enrolled)
    EXPECT_TRUE(c.login_new(server.port, "eve\nsrv: forged line", kEnroller));
  proto_client fourth;
  ASSERT_TRUE(fourth.connect(server.port, kEnroller));
  ASSERT_EQ(fourth.helo(), srv::STATUS_ok);
  const uint8_t status = fourth.enroll("fourth");
  EXPECT_TRUE(status != srv::STATUS_ok && status != 0 && !srv::status_is_final(status))
      << int(status);
  EXPECT_TRUE(server.logged("enrolled as 'eve\\x0asrv: forged line'"));
  EXPECT_EQ(server.output().find("\nsrv: forged"), std::string::npos);
}

TEST(Hostile, GuessesHashesAndNetworksAreBudgeted) {
  temp_dir dir;
  server_process server(dir.path());
  ASSERT_TRUE(server.up()) << server.output();
  proto_client alice, mallory, mallory2, carol, hasher;
  ASSERT_TRUE(alice.login_new(server.port, "alice"));
  ASSERT_TRUE(mallory.login_new(server.port, "mallory"));
  ASSERT_TRUE(mallory2.login_new(server.port, "mallory2"));
  ASSERT_TRUE(carol.login_new(server.port, "carol", kCarol));
  ASSERT_TRUE(hasher.login_new(server.port, "hasher"));
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);

  // Five wrong passwords from one address, then not even the right one is
  // tried, whichever identity asks: identities cost nothing.
  for (int i = 0; i < 5; i++) EXPECT_EQ(mallory.join("office", "guess"), srv::RESULT_bad_password);
  EXPECT_EQ(mallory.join("office", "secret"), srv::RESULT_access_denied);
  EXPECT_EQ(mallory2.join("office", "secret"), srv::RESULT_access_denied);
  // Another host is not locked out; a name that does not exist is
  // answered as a wrong password.
  EXPECT_EQ(carol.join("nowhere", "secret"), srv::RESULT_bad_password);
  EXPECT_EQ(carol.join("office", "secret"), srv::STATUS_ok);

  // Password hashes: a burst, then about one a second. Of sixteen creates
  // sent at once the first are made, the others refused; what needs no
  // hash is still answered for what it is.
  const auto start = steady::now();
  for (int i = 0; i < 16; i++) {
    std::string frame = srv::frame_begin(srv::MSG_create);
    srv::put_create(frame, {"net-" + std::to_string(i), "pw"});
    ASSERT_TRUE(hasher.send(frame));
  }
  int made = 0;
  for (int i = 0; i < 16; i++) {
    message m;
    ASSERT_TRUE(hasher.expect(srv::MSG_create, m));
    const uint8_t status = uint8_t(m.body.at(0));
    EXPECT_TRUE(status == srv::STATUS_ok || status == srv::RESULT_too_fast) << int(status);
    made += status == srv::STATUS_ok;
  }
  EXPECT_GE(made, int(HASH_BUDGET.burst));
  EXPECT_LE(made, int(HASH_BUDGET.burst) + seconds_since(start) + 1);
  EXPECT_EQ(hasher.create("office", "pw"), srv::RESULT_name_taken);

  // Networks per identity, owned or joined (--max-networks 3).
  temp_dir capped_dir;
  server_process capped(capped_dir.path(), {"--max-networks", "3"});
  ASSERT_TRUE(capped.up()) << capped.output();
  proto_client owner, joiner;
  ASSERT_TRUE(owner.login_new(capped.port, "owner"));
  ASSERT_TRUE(joiner.login_new(capped.port, "joiner"));
  ASSERT_EQ(owner.create("shared", "pw"), srv::STATUS_ok);
  for (int i = 0; i < 3; i++) ASSERT_EQ(joiner.create("own-" + std::to_string(i), "pw"), srv::STATUS_ok);
  EXPECT_EQ(joiner.create("one-more", "pw"), srv::RESULT_too_many_networks);
  EXPECT_EQ(joiner.join("shared", "pw"), srv::RESULT_too_many_networks);
}

}  // namespace
