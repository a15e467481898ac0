// The real client against the real server (client_server_fixture.h): both
// daemons enrol, create and join a network, go online and get tunnels to
// each other; A restarts and logs in again with its identity.
#include "client_server_fixture.h"

namespace {

TEST_F(ClientServer, TwoDaemonsEnrolMeetAndComeBack) {
  auto da = start(a), db = start(b);
  for (temp_dir *d : {&a, &b}) {
    process_result r = quilmar(*d, {"login"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 13), "Logging in ..");
    EXPECT_EQ(r.out.substr(r.out.size() - 4), " ok\n") << r.out;
  }
  const std::string ida = identity(a), idb = identity(b);
  ASSERT_EQ(ida.substr(0, 2), "5.");
  ASSERT_EQ(idb.substr(0, 2), "5.");
  EXPECT_NE(ida, idb);
  EXPECT_TRUE(server->logged("enrolled as 'alice'"));
  EXPECT_TRUE(server->logged("enrolled as 'bob'"));

  EXPECT_EQ(quilmar(a, {"create", "office", "secret"}).out, "Creating office .. ok\n");
  EXPECT_EQ(quilmar(b, {"create", "office", "other"}).out,
            "Creating office .. failed, network name is already taken\n");
  EXPECT_EQ(quilmar(b, {"join", "office", "wrong"}).out,
            "Joining office .. failed, invalid password\n");
  EXPECT_EQ(quilmar(b, {"join", "office", "secret"}).out, "Joining office .. ok\n");
  EXPECT_EQ(quilmar(a, {"leave", "office"}).out, "Leaving office .. failed, you are an owner\n");
  EXPECT_EQ(quilmar(a, {"go-online", "office"}).out, "Going online in office .. ok\n");
  EXPECT_EQ(quilmar(b, {"go-online", "office"}).out, "Going online in office .. ok\n");

  // Each has a tunnel to the other at its UDP socket on loopback.
  ASSERT_TRUE(da->wait_for_output("ses: received peer.ok " + idb + " -- 127.0.0.1:"))
      << da->output();
  ASSERT_TRUE(db->wait_for_output("ses: received peer.ok " + ida + " -- 127.0.0.1:"))
      << db->output();
  EXPECT_TRUE(da->wait_for_output("ses: adding tunnel for " + idb));
  EXPECT_TRUE(db->wait_for_output("ses: adding tunnel for " + ida));
  process_result list = quilmar(a, {"list"});
  EXPECT_NE(list.out.find(" * [office]\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("     * " + idb), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("127.0.0.1:"), std::string::npos) << list.out;

  // A restarts: it logs in with its identity (auth), goes online again by
  // itself, and B is introduced to it anew.
  EXPECT_EQ(quilmar(a, {"stop"}).out, "Shutting down .. ok\n");
  ASSERT_TRUE(da->wait_exit());
  ASSERT_TRUE(db->wait_for_output("ses:   v " + ida));
  da = start(a);
  ASSERT_TRUE(da->wait_for_output("ses: sending auth " + ida + " ..")) << da->output();
  ASSERT_TRUE(da->wait_for_output("ses: received peer.ok " + idb)) << da->output();
  ASSERT_TRUE(wait_until([&] {
    db->wait_for_output("(reads what came meanwhile)", std::chrono::milliseconds(50));
    return count(db->output(), "ses: received peer.ok " + ida) == 2;
  })) << db->output();
  EXPECT_EQ(identity(a), ida);
  EXPECT_TRUE(server->logged(ida + " (127.0.0.1:"));
  EXPECT_TRUE(server->logged("logged in (quilmar-lnx-0.9.9.9-17)"));
}

}  // namespace
