// `backup` of a store that a server is busy writing: clients log in and
// enrol while the copy is taken, and a second server started from the copy
// knows every client and network that existed before.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/util.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

using nlohmann::json;

json admin_json(const std::vector<std::string> &words) {
  process_result r = run_process(kServerBin, words);
  EXPECT_EQ(r.status, 0) << r.out;
  return json::parse(r.out, nullptr, false);
}

TEST(AdminBackup, CopyTakenUnderALoginLoadServesASecondServer) {
  temp_dir dir, copy;
  server_process server(dir.path());
  ASSERT_TRUE(server.up()) << server.output();
  std::vector<uint32_t> ids;
  std::vector<std::string> nets;
  for (int i = 0; i < 9; i++) {
    proto_client p;
    ASSERT_TRUE(p.login_new(server.port, "c" + std::to_string(i)));
    ids.push_back(p.identity);
    if (i % 3 == 0) {
      nets.push_back("net-" + std::to_string(i));
      ASSERT_EQ(p.create(nets.back(), "pw"), srv::STATUS_ok);
    }
  }

  // Logins and enrolments go on, bounded in time, until the copy is made.
  std::atomic<bool> copied{false};
  std::atomic<int> logins{0};
  std::thread load([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (size_t i = 0; !copied && std::chrono::steady_clock::now() < deadline; i++) {
      proto_client p;
      if (i % 2 ? p.login(server.port, ids[i % ids.size()]) : p.login_new(server.port, "load"))
        logins++;
    }
  });
  EXPECT_TRUE(wait_until([&] { return logins >= 4; }));
  process_result r = run_process(kServerBin, {"backup", "-d", dir.path(), copy.file("server.db")});
  const int during = logins;
  EXPECT_TRUE(wait_until([&] { return logins > during; }));  // the server kept serving
  copied = true;
  load.join();
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.rfind("wrote " + copy.file("server.db") + ": ", 0), 0u) << r.out;

  server_process second(copy.path());
  ASSERT_TRUE(second.up()) << second.output();
  json clients = admin_json({"clients", "list", "-d", copy.path(), "--json"});
  for (uint32_t id : ids) {
    bool found = false;
    for (const json &c : clients) found = found || c["address"] == ip_to_text(id);
    EXPECT_TRUE(found) << ip_to_text(id);
  }
  json networks = admin_json({"networks", "list", "-d", copy.path(), "--json"});
  ASSERT_EQ(networks.size(), nets.size());
  for (size_t i = 0; i < nets.size(); i++) {
    EXPECT_EQ(networks[i]["name"], nets[i]);
    EXPECT_EQ(networks[i]["owner"], ip_to_text(ids[3 * i]));
  }
  // The owner of the first network logs in to the second server and finds it.
  proto_client owner;
  ASSERT_TRUE(owner.connect(second.port));
  ASSERT_EQ(owner.helo(), srv::STATUS_ok);
  ASSERT_EQ(owner.auth(ids[0]), srv::STATUS_ok);
  ASSERT_EQ(owner.discovery(), srv::STATUS_ok);
  std::vector<network_view> synced;
  ASSERT_EQ(owner.sync(&synced), srv::STATUS_ok);
  ASSERT_EQ(synced.size(), 1u);
  EXPECT_EQ(synced[0].name, nets[0]);
}

}  // namespace
