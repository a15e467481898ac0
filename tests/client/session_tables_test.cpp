// The session's tables of networks and peers and its network operations,
// driven by the scripted server after a login.
#include <gtest/gtest.h>
#include <unistd.h>

#include "clisrv/server_msg.h"
#include "common/codec.h"
#include "session_fixture.h"

namespace {

const uint32_t kSelf = 0x05000009;
const uint32_t kOwner = 0x05000001;
const uint32_t kP2 = 0x05000002, kP3 = 0x05000003, kP4 = 0x05000004;
const std::string kEnrolled = "Identity   5.0.0.9\nAutoLogin  yes\n";

using items = std::vector<std::pair<uint8_t, std::vector<uint32_t>>>;

std::string peer_ok_body(uint32_t vip) {
  std::string b;
  put_u32(b, vip);
  put_u8(b, srv::STATUS_ok);
  srv::peer_ok_msg m;
  m.public_endpoint = {0xc6336407, 4500};  // 198.51.100.7
  m.spi_in = 0x1001;
  m.spi_out = 0x2002;
  m.keymat = std::string(120, 'k');
  srv::put_peer_ok(b, m);
  return b;
}

std::string peer_unreachable_body(uint32_t vip) {
  std::string b;
  put_u32(b, vip);
  put_u8(b, 3);
  return b;
}

std::vector<uint32_t> vips(const std::list<peer *> &peers) {
  std::vector<uint32_t> out;
  for (peer *p : peers) out.push_back(p->vip);
  return out;
}

std::set<uint32_t> vips(const std::set<peer *> &peers) {
  std::set<uint32_t> out;
  for (peer *p : peers) out.insert(p->vip);
  return out;
}

std::set<std::string> names(const std::set<network *> &nets) {
  std::set<std::string> out;
  for (network *n : nets) out.insert(n->name);
  return out;
}

std::vector<client_msg> of_type(const std::vector<client_msg> &all, uint8_t type) {
  std::vector<client_msg> out;
  for (const client_msg &m : all)
    if (m.type == type) out.push_back(m);
  return out;
}

// Sync fills the tables and brings the user back online where he was;
// later network messages move peers in and out, and a peer leaves the
// tables once no network is shared with it.
TEST_F(SessionTest, NetworkMessagesKeepBothSidesOfTheTablesInStep) {
  start(kEnrolled + "OnlineNet  home\n");
  std::vector<client_msg> sent;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login_until_sync();
    c->send(srv::MSG_network, network_body("home", {{srv::NET_owner, {kOwner}},
                                                    {srv::NET_member_added, {kP2, kSelf}},
                                                    {srv::NET_member_online, {kP3}}}));
    c->send(srv::MSG_network, network_body("work", {{srv::NET_member_added, {kP2}},
                                                    {srv::NET_member_online, {kP4, kSelf}}}));
    c->send(srv::MSG_sync, status_body(srv::STATUS_ok));
    // Once ready, a network message asks for nothing.
    c->send(srv::MSG_network, network_body("home", {{srv::NET_member_online, {kP2}}}));
    c->expect(srv::MSG_netop);
    c->send(srv::MSG_netop, netop_reply_body(srv::NETOP_online, srv::STATUS_ok));
    c->barrier();
    pause(1);

    c->send(srv::MSG_peer, peer_ok_body(kP3));
    c->send(srv::MSG_peer, peer_ok_body(kP4));
    // P3 is online in home, where we are online too: another network
    // reporting it offline changes nothing for it.
    c->send(srv::MSG_network, network_body("work", {{srv::NET_member_online, {kP3}}}));
    c->send(srv::MSG_network, network_body("work", {{srv::NET_member_offline, {kP3, 0x05000077}}}));
    // P4 is online only in work, where we are not: it loses its tunnel but
    // stays a member.
    c->send(srv::MSG_network, network_body("work", {{srv::NET_member_offline, {kP4}}}));
    c->barrier();
    pause(2);

    c->send(srv::MSG_network, network_body("work", {{srv::NET_member_removed, {kP4}}}));
    c->send(srv::MSG_peer, peer_unreachable_body(kP2));
    c->barrier();
    pause(3);

    c->expect(srv::MSG_netop);  // go offline in home, asked by the test
    c->send(srv::MSG_netop, netop_reply_body(srv::NETOP_offline, srv::STATUS_ok));
    c->barrier();
    pause(4);

    c->send(srv::MSG_evicted, str_body("work"));
    c->send(srv::MSG_evicted, str_body("nowhere"));
    c->barrier();
    sent = c->received;
  });
  s->go_online();
  ASSERT_TRUE(reached(1));

  EXPECT_EQ(vips(s->peers), (std::vector<uint32_t>{kP2, kP3, kP4}));
  ASSERT_EQ(s->networks.size(), 2u);
  network *home = s->find_network("home", false);
  network *work = s->find_network("work", false);
  ASSERT_TRUE(home && work);
  EXPECT_EQ(s->networks.front(), home);
  EXPECT_EQ(vips(home->members), (std::set<uint32_t>{kP2, kP3}));
  EXPECT_EQ(vips(home->online), (std::set<uint32_t>{kP2, kP3}));
  EXPECT_EQ(vips(work->members), (std::set<uint32_t>{kP2, kP4}));
  EXPECT_EQ(vips(work->online), (std::set<uint32_t>{kP4}));
  peer *p2 = s->find_peer(kP2, false);
  ASSERT_TRUE(p2);
  EXPECT_EQ(names(p2->networks), (std::set<std::string>{"home", "work"}));
  EXPECT_EQ(names(p2->online_in), (std::set<std::string>{"home"}));
  EXPECT_EQ(s->find_peer(kSelf, false), nullptr);
  EXPECT_EQ(s->find_peer(kOwner, false), nullptr);
  EXPECT_TRUE(s->pending.empty());
  EXPECT_EQ(reports.others(), std::vector<std::string>{"netop 1 home 1"});
  for (const char *line :
       {"ses: received network home\n", "ses:   owner -- 5.0.0.1\n", "ses: adding peer 5.0.0.2\n",
        "ses:   + 5.0.0.2\n", "ses:   ^ 5.0.0.3\n", "ses:   ^ 5.0.0.4\n",
        "ses: sent netop.1.home\n", "ses: received netop.1.1\n"})
    EXPECT_TRUE(logged_line(line)) << line;
  EXPECT_FALSE(logged_line("ses:   + 5.0.0.9\n"));
  EXPECT_FALSE(logged_line("ses:   ^ 5.0.0.9\n"));

  ASSERT_TRUE(reached(2));
  peer *p3 = s->find_peer(kP3, false), *p4 = s->find_peer(kP4, false);
  ASSERT_TRUE(p3 && p4);
  EXPECT_EQ(p3->server_reported, 1);
  EXPECT_EQ(names(p3->online_in), (std::set<std::string>{"home"}));
  EXPECT_EQ(names(p3->networks), (std::set<std::string>{"home", "work"}));
  EXPECT_TRUE(logged_line("ses:   v 5.0.0.3\n"));
  EXPECT_EQ(p4->server_reported, 0);
  EXPECT_EQ(names(p4->networks), (std::set<std::string>{"work"}));
  EXPECT_TRUE(p4->online_in.empty());
  EXPECT_TRUE(logged_line("ses: received peer.ok 5.0.0.4 -- 198.51.100.7:4500\n"));
  EXPECT_TRUE(logged_line("ses:   v 5.0.0.4\n"));
  EXPECT_FALSE(logged_prefix("ses:   v 5.0.0.77"));

  ASSERT_TRUE(reached(3));
  EXPECT_EQ(s->find_peer(kP4, false), nullptr);
  EXPECT_TRUE(logged_line("ses: deleting peer 5.0.0.4\n"));
  EXPECT_TRUE(logged_line("ses:   - 5.0.0.4\n"));
  EXPECT_EQ(vips(work->members), (std::set<uint32_t>{kP2, kP3}));
  EXPECT_TRUE(logged_line("ses: received peer.unreachable 5.0.0.2\n"));
  EXPECT_EQ(s->find_peer(kP2, false)->server_reported, 1);
  EXPECT_EQ(state_file(), kEnrolled + "OnlineNet  home\n");

  s->netop("home", srv::NETOP_offline);
  ASSERT_TRUE(reached(4));
  // Nothing keeps P3's tunnel any more, but home still has it as a member.
  EXPECT_EQ(s->find_peer(kP3, false)->server_reported, 0);
  EXPECT_EQ(state_file(), kEnrolled);

  ASSERT_TRUE(script_done());
  EXPECT_EQ(s->find_network("work", false), nullptr);
  EXPECT_EQ(names(s->find_peer(kP2, false)->networks), (std::set<std::string>{"home"}));
  EXPECT_TRUE(logged_line("ses: received evicted work\n"));
  EXPECT_TRUE(logged_line("ses: received evicted nowhere\n"));
  EXPECT_TRUE(logged_line("ses: unknown network\n"));
  // Going online again was asked for exactly once, during sync.
  std::vector<client_msg> netops = of_type(sent, srv::MSG_netop);
  ASSERT_EQ(netops.size(), 2u);
  msg_reader r(netops[0].body);
  srv::netop_msg m;
  srv::get_netop(r, m);
  EXPECT_EQ(m.name, "home");
  EXPECT_EQ(m.op, srv::NETOP_online);
}

TEST_F(SessionTest, BadNetworkItemFailsAfterTheItemsBeforeIt) {
  start(kEnrolled);
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login();
    std::string body = network_body("lan", {{srv::NET_member_added, {kP2}}});
    put_u8(body, 6);
    c->send(srv::MSG_network, body);
    c->wait_closed();
  });
  s->go_online();
  ASSERT_TRUE(script_done());
  EXPECT_TRUE(logged_line("ses: unknown tlv 6\n"));
  EXPECT_TRUE(logged_line("ses:   + 5.0.0.2\n"));
  EXPECT_TRUE(logged_prefix("ses: error 4 "));
  // Reconnection is pending: the tables stay as they were.
  EXPECT_TRUE(s->reconnect);
  EXPECT_NE(s->find_peer(kP2, false), nullptr);
}

// The user's operations go out only when the session is ready (netop in
// sync too), and each reply reaches the callbacks with the right name.
TEST_F(SessionTest, OperationsAndTheirReplies) {
  start(kEnrolled);
  std::vector<client_msg> sent;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login();
    c->send(srv::MSG_network, network_body("lan", {{srv::NET_member_added, {kP2}}}));
    c->barrier();
    pause(1);
    for (uint8_t type : {srv::MSG_create, srv::MSG_delete, srv::MSG_modify, srv::MSG_join,
                         srv::MSG_join, srv::MSG_info})
      c->expect(type);
    c->send(srv::MSG_create, status_body(srv::RESULT_name_taken));
    c->send(srv::MSG_delete, status_body(srv::STATUS_ok));
    c->send(srv::MSG_modify, status_body(srv::RESULT_modify_denied));
    c->send(srv::MSG_join, status_body(srv::STATUS_ok));
    c->send(srv::MSG_join, status_body(srv::RESULT_bad_password));
    c->send(srv::MSG_join, status_body(srv::STATUS_ok));  // nothing is pending
    std::string info;
    put_u32(info, kP2);
    put_u8(info, srv::STATUS_ok);
    put_u8(info, srv::INFO_nickname);
    put_str(info, "dave");
    put_u8(info, srv::INFO_value);
    put_u32(info, 7);
    put_u8(info, 99);
    put_u8(info, srv::INFO_nickname);
    put_str(info, "never read");
    c->send(srv::MSG_info, info);
    std::string unknown;
    put_u32(unknown, 0x05000055);
    put_u8(unknown, srv::STATUS_ok);
    c->send(srv::MSG_info, unknown);
    c->barrier();
    pause(2);
    c->expect(srv::MSG_netop);
    c->expect(srv::MSG_netop);
    c->send(srv::MSG_netop, netop_reply_body(srv::NETOP_online, srv::STATUS_ok));
    c->send(srv::MSG_netop, netop_reply_body(srv::NETOP_leave, srv::STATUS_ok));
    c->barrier();
    sent = c->received;
  });
  s->create_network("early", "pw");
  s->go_online();
  ASSERT_TRUE(reached(1));
  s->create_network("lan2", "secret");
  s->delete_network("old");
  s->modify_network("lan", srv::evict_record(kP2));
  s->join_network("a", "pw1");
  s->join_network("b", "pw2");
  s->request_nick(kP2);
  ASSERT_TRUE(reached(2));
  s->netop("a", srv::NETOP_online);
  s->netop("ghost", srv::NETOP_leave);
  ASSERT_TRUE(script_done());

  EXPECT_TRUE(logged_line("ses: create.early -- not ready\n"));
  EXPECT_EQ(reports.others(),
            (std::vector<std::string>{"create 15", "delete 1", "modify 253", "join 1 a",
                                      "join 24 b", "join 1 ", "netop 1 a 1",
                                      "netop 1 ghost 3"}));
  for (const char *line :
       {"ses: sent create.lan2\n", "ses: sent delete.old\n", "ses: sent modify.lan\n",
        "ses: sent join.a\n", "ses: sent join.b\n", "ses: sent netop.1.a\n",
        "ses: sent netop.3.ghost\n", "ses: sent info.nick for 5.0.0.2\n",
        "ses: received create.15\n", "ses: received join.24\n", "ses: received netop.3.1\n",
        "ses: unknown network\n", "ses: received info.5.0.0.2.1\n", "ses: unsupported tlv 99\n",
        "ses: received info.5.0.0.85.1\n", "ses: unknown peer\n"})
    EXPECT_TRUE(logged_line(line)) << line;
  peer *p2 = s->find_peer(kP2, false);
  ASSERT_TRUE(p2);
  EXPECT_EQ(p2->nickname, "dave");
  EXPECT_EQ(p2->info_value, 7u);
  EXPECT_EQ(state_file(), kEnrolled + "OnlineNet  a\n");

  // The bodies as the server reads them.
  ASSERT_EQ(of_type(sent, srv::MSG_create).size(), 1u);
  const std::string create_body = of_type(sent, srv::MSG_create).at(0).body;
  msg_reader create(create_body);
  srv::create_msg cm;
  srv::get_create(create, cm);
  EXPECT_TRUE(create.at_end());
  EXPECT_EQ(cm.name, "lan2");
  EXPECT_EQ(cm.password, "secret");
  const std::string modify_body = of_type(sent, srv::MSG_modify).at(0).body;
  msg_reader modify(modify_body);
  srv::modify_msg mm;
  srv::get_modify(modify, mm);
  uint32_t evicted = 0;
  EXPECT_TRUE(srv::parse_evict_record(mm.record, evicted));
  EXPECT_EQ(evicted, kP2);
  const std::string join_body = of_type(sent, srv::MSG_join).at(1).body;
  msg_reader join(join_body);
  srv::join_msg jm;
  srv::get_join(join, jm);
  EXPECT_EQ(jm.name, "b");
  EXPECT_EQ(jm.password, "pw2");
  const std::string info_body = of_type(sent, srv::MSG_info).at(0).body;
  msg_reader info(info_body);
  srv::info_msg im;
  srv::get_info(info, im);
  EXPECT_EQ(im.peer, kP2);
  EXPECT_EQ(im.attribute, srv::INFO_nickname);
}

// A rename asked for while offline is sent once the session is ready; the
// server's answer decides which name stays.
TEST_F(SessionTest, RenameWaitsForTheLoginAndFollowsTheReply) {
  start("Identity   5.0.0.9\nNickname   alice\n");
  std::vector<std::string> asked;
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login();
    int step = 0;
    for (uint8_t status : {uint8_t(srv::STATUS_ok), uint8_t(9)}) {
      client_msg m = c->expect(srv::MSG_change);
      msg_reader r(m.body);
      srv::change_msg change;
      srv::get_change(r, change);
      EXPECT_EQ(change.what, srv::CHANGE_nickname);
      asked.push_back(change.nickname);
      c->send(srv::MSG_change, status_body(status));
      c->barrier();
      pause(++step);
    }
  });
  s->set_nick("bob");
  EXPECT_TRUE(logged_line("ses: set_nick(bob) - not online\n"));
  EXPECT_EQ(state_file(), "Identity   5.0.0.9\nNickname   alice\nRenameTo   bob\n");
  s->go_online();
  ASSERT_TRUE(reached(1));
  EXPECT_TRUE(logged_line("ses: sent change.nick 'bob'\n"));
  EXPECT_TRUE(logged_line("ses: received change.1\n"));
  EXPECT_EQ(state_file(), "Identity   5.0.0.9\nNickname   bob\nAutoLogin  yes\n");

  s->set_nick("carol");
  ASSERT_TRUE(script_done());
  EXPECT_EQ(asked, (std::vector<std::string>{"bob", "carol"}));
  EXPECT_EQ(current_config.nickname, "bob");
  EXPECT_EQ(current_config.rename_to, "");
  EXPECT_EQ(state_file(), "Identity   5.0.0.9\nNickname   bob\nAutoLogin  yes\n");
}

TEST_F(SessionTest, NicknameBeforeEnrolmentGoesWithTheEnroll) {
  start();
  s->set_nick("zoe");
  EXPECT_TRUE(logged_line("ses: set_nick(zoe) - pre-enroll\n"));
  EXPECT_EQ(state_file(), "Nickname   zoe\n");
  s->netop("x", srv::NETOP_online);
  s->join_network("x", "");
  EXPECT_TRUE(logged_line("ses: netop.1.x -- not ready\n"));
  EXPECT_TRUE(logged_line("ses: join.x -- not ready\n"));
  EXPECT_TRUE(s->pending.empty());
}

TEST_F(SessionTest, LogoutPurgesTheTablesAndClearsAutoLogin) {
  start(kEnrolled, "OnOffline touch " + dir.file("offline-ran") + "\n");
  server.run([&](test_server &srv) {
    auto c = srv.accept();
    if (!c) return;
    c->login();
    c->send(srv::MSG_network, network_body("lan", {{srv::NET_member_online, {kP2}}}));
    c->barrier();
    c->wait_closed();
  });
  s->go_online();
  ASSERT_TRUE(run_until([&] { return !s->peers.empty(); }));
  unlink(dir.file("offline-ran").c_str());
  s->set_reconn(false);
  s->go_offline();
  ASSERT_TRUE(script_done());
  EXPECT_TRUE(s->peers.empty());
  EXPECT_TRUE(s->networks.empty());
  EXPECT_FALSE(evl_timer_running(&s->server_keepalive_timer));
  EXPECT_EQ(state_file(), "Identity   5.0.0.9\n");
  EXPECT_EQ(read_file(dir.file("offline-ran")), "");
  EXPECT_EQ(access(dir.file("offline-ran").c_str(), F_OK), 0) << "OnOffline ran";
}

}  // namespace
