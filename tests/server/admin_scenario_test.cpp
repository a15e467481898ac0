// An administrator at work on a server with three real daemons
// (client_server_fixture.h): listing clients and networks, banning a
// member, changing a network's password and owner, removing a client, the
// same commands on the stopped server, and who may enrol.
#include <httplib.h>

#include <map>

#include "client_server_fixture.h"

namespace {

using nlohmann::json;

bool ends_with(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What the documented command prints for a client's key ID.
std::string documented_key_id(const temp_dir &d) {
  process_result r = run_process(find_program("sha256sum"), {d.file("client.pub")});
  return r.out.substr(0, 16);
}

std::string metrics_page(uint16_t port) {
  httplib::Client http("127.0.0.1", port);
  auto res = http.Get("/metrics");
  return res && res->status == 200 ? res->body : "";
}

uint16_t metrics_port(server_process &s) {
  const std::string marker = "metrics at http://127.0.0.1:";
  size_t at = s.output().find(marker);
  return at == std::string::npos ? 0 : uint16_t(atoi(s.output().c_str() + at + marker.size()));
}

TEST_F(ClientServer, AnAdministratorManagesClientsAndNetworks) {
  start_server({"--metrics", "127.0.0.1:0"});
  auto da = start(a), db = start(b), dc = start(c);
  for (temp_dir *d : {&a, &b, &c})
    EXPECT_NE(quilmar(*d, {"login"}).out.find(" ok\n"), std::string::npos);
  const std::string ida = identity(a), idb = identity(b), idc = identity(c);
  EXPECT_EQ(quilmar(a, {"create", "office", "secret"}).out, "Creating office .. ok\n");
  for (temp_dir *d : {&b, &c})
    EXPECT_EQ(quilmar(*d, {"join", "office", "secret"}).out, "Joining office .. ok\n");
  for (temp_dir *d : {&a, &b, &c}) quilmar(*d, {"go-online", "office"});
  ASSERT_TRUE(logged(*dc, "ses: received peer.ok " + ida));
  ASSERT_TRUE(logged(*dc, "ses: received peer.ok " + idb));

  // Everyone as the administrator sees them, and as Prometheus does.
  json clients = admin_json({"clients", "list"});
  ASSERT_EQ(clients.size(), 3u) << clients;
  for (const json &cl : clients) {
    EXPECT_EQ(cl["online"], true);
    EXPECT_EQ(cl["endpoint"].get<std::string>().rfind("127.0.0.1:", 0), 0u) << cl;
    EXPECT_EQ(cl["networks"], json::array({"office"}));
    EXPECT_EQ(cl["online_in"], json::array({"office"}));
    EXPECT_EQ(cl["key_id"], documented_key_id(a));
    EXPECT_EQ(cl["enrolled"].get<std::string>().size(), 20u) << cl;  // 2026-01-02T03:04:05Z
    EXPECT_TRUE(cl["last_seen"].is_string());
  }
  std::map<std::string, std::string> nickname_of;
  for (const json &cl : clients) nickname_of[cl["address"]] = cl["nickname"];
  EXPECT_EQ(nickname_of,
            (std::map<std::string, std::string>{{ida, "alice"}, {idb, "bob"}, {idc, "carol"}}));
  EXPECT_EQ(admin_json({"networks", "list"}),
            json::parse(R"([{"name":"office","owner":")" + ida + R"(","members":3,"online":3}])"));
  json office = admin_json({"networks", "show", "office"});
  ASSERT_EQ(office["members"].size(), 3u);
  EXPECT_EQ(office["members"][2],
            json::parse(R"({"address":")" + idc + R"(","nickname":"carol","online":true})"));
  ASSERT_TRUE(server->logged("metrics at http://"));
  EXPECT_TRUE(wait_until([&] {
    return metrics_page(metrics_port(*server)).find("\nquilmar_clients_ready 3\n") !=
           std::string::npos;
  }));

  // A ban evicts carol and keeps her out.
  EXPECT_EQ(admin({"networks", "ban", "office", idc}).out,
            "banned " + idc + " (carol) from office\n");
  EXPECT_TRUE(logged(*dc, "ses: received evicted office"));
  EXPECT_TRUE(logged(*da, "ses:   - " + idc));
  EXPECT_TRUE(logged(*da, "ses: received peer.unreachable " + idc));
  EXPECT_EQ(quilmar(c, {"join", "office", "secret"}).out,
            "Joining office .. failed, access denied\n");
  EXPECT_EQ(admin_json({"networks", "show", "office"})["banned"], json::array({idc}));

  // A new password: the old one no longer lets her in, the new one does.
  EXPECT_EQ(admin({"networks", "unban", "office", idc}).status, 0);
  process_result pw = run_process(
      "/bin/sh",
      {"-c", "echo fresh | " + kServerBin + " networks set-password office -d " + sdir.path()});
  EXPECT_EQ(pw.out, "changed the password of office\n");
  EXPECT_EQ(quilmar(c, {"join", "office", "secret"}).out,
            "Joining office .. failed, invalid password\n");
  EXPECT_EQ(quilmar(c, {"join", "office", "fresh"}).out, "Joining office .. ok\n");

  // Bob takes the network over and may evict at once.
  EXPECT_EQ(admin({"networks", "set-owner", "office", idb}).out,
            "office now belongs to " + idb + " (bob)\n");
  EXPECT_TRUE(logged(*da, "ses:   owner -- " + idb));
  EXPECT_EQ(quilmar(b, {"evict", "office", idc}).out, "evicting " + idc + " from office .. ok\n");
  EXPECT_EQ(quilmar(a, {"evict", "office", idb}).out,
            "evicting " + idb + " from office .. failed, denied\n");

  // Alice is removed: bob loses his tunnel to her, her next login fails.
  EXPECT_EQ(admin({"clients", "remove", idb}).status, 2);  // bob owns office
  EXPECT_EQ(admin({"clients", "remove", ida}).out, "removed " + ida + " (alice)\n");
  EXPECT_TRUE(logged(*db, "ses: received peer.unreachable " + ida));
  EXPECT_TRUE(logged(*db, "ses:   - " + ida));
  EXPECT_TRUE(server->logged("refused: unknown identity " + ida));
  EXPECT_TRUE(ends_with(quilmar(a, {"login"}).out, " failed\n"));

  // The same commands on the stopped server give the same answers.
  EXPECT_EQ(server->stop(), 0);
  clients = admin_json({"clients", "list"});
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0]["online"], false);
  EXPECT_TRUE(clients[0]["endpoint"].is_null());
  EXPECT_EQ(admin({"networks", "ban", "office", idc}).out,
            "banned " + idc + " (carol) from office\n");
  EXPECT_EQ(admin({"networks", "set-owner", "office", idc}).out,
            "quilmar-server: " + idc + " is banned from office; unban it first\n");
  EXPECT_EQ(admin({"networks", "unban", "office", idc}).out,
            "lifted the ban of " + idc + " (carol) from office\n");
  EXPECT_EQ(admin({"networks", "list"}).out, "NAME    OWNER" + std::string(idb.size() - 5, ' ') +
                                                 "  MEMBERS  ONLINE\noffice  " + idb +
                                                 "  1        0\n");
  EXPECT_EQ(admin({"clients", "remove", ida}).out, "quilmar-server: no client " + ida + "\n");
}

TEST_F(ClientServer, ApprovalDecidesWhoEnrols) {
  start_server({"--enroll", "approve"});
  auto da = start(a);
  EXPECT_TRUE(ends_with(quilmar(a, {"login"}).out, " failed\n"));
  json pending = admin_json({"clients", "pending"});
  ASSERT_EQ(pending.size(), 1u) << pending;
  EXPECT_EQ(pending[0]["key_id"], documented_key_id(a));
  EXPECT_EQ(pending[0]["nickname"], "alice");
  EXPECT_EQ(pending[0]["source"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
  EXPECT_EQ(pending[0]["approved"], false);
  EXPECT_EQ(admin({"clients", "approve", "0000000000000000"}).status, 2);
  EXPECT_EQ(admin({"clients", "approve", documented_key_id(a)}).out,
            "approved key " + documented_key_id(a) + " (alice): its next login enrols\n");
  EXPECT_NE(quilmar(a, {"login"}).out.find(" ok\n"), std::string::npos);
  EXPECT_EQ(admin_json({"clients", "pending"}), json::array());
  EXPECT_EQ(admin_json({"stats"})["enrolments"], 1);

  // Closed: no new key, not even an approved one; enrolled clients go on.
  quilmar(a, {"stop"});
  ASSERT_TRUE(da->wait_exit());
  start_server({"--enroll", "closed"});
  da = start(a);
  auto db = start(b);
  EXPECT_TRUE(logged(*da, "ses: received auth.ok"));  // it logs in by itself
  EXPECT_TRUE(ends_with(quilmar(b, {"login"}).out, " failed\n"));
  EXPECT_TRUE(server->logged("enrolment is closed"));
  EXPECT_EQ(admin_json({"clients", "pending"}), json::array());
  EXPECT_EQ(admin_json({"stats"})["refusals"], 1);
}

}  // namespace
