// A slow database delays only the requests that need it: while a login
// waits for a locked table, a logged-in client still goes offline and
// online, its peer still meets it, and a newcomer's key exchange is still
// answered; once the lock goes the login completes. A client whose request
// waits for the store has its later requests answered after it, in order.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <thread>

#include "pg_server.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

// A second connection to the database, holding what the test locks.
class db_session {
 public:
  explicit db_session(const std::string &uri) : conn(PQconnectdb(uri.c_str())) {}
  ~db_session() { PQfinish(conn); }
  bool ok() const { return PQstatus(conn) == CONNECTION_OK; }
  // The first value of the statement's first row, "" on failure.
  std::string run(const std::string &sql) {
    PGresult *r = PQexec(conn, sql.c_str());
    std::string value;
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0) value = PQgetvalue(r, 0, 0);
    if (PQresultStatus(r) == PGRES_COMMAND_OK) value = "done";
    PQclear(r);
    return value;
  }
  // Whether some other session waits for one of our locks, within a deadline.
  bool someone_waits() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (run("SELECT count(*) FROM pg_locks WHERE NOT granted") == "0") {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

 private:
  PGconn *conn;
};

TEST(SlowStore, ALockedTableHoldsOnlyTheLoginThatNeedsIt) {
  pg_server pg;
  SKIP_WITHOUT_POSTGRESQL(pg);
  const std::string url = pg.create_database("slow");
  ASSERT_FALSE(url.empty());
  temp_dir dir;
  server_process server(dir.path(), {"--store", url});
  ASSERT_TRUE(server.up()) << server.output();

  proto_client alice, carol, bob, dave;
  ASSERT_TRUE(alice.login_new(server.port, "alice"));
  ASSERT_TRUE(carol.login_new(server.port, "carol"));
  ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(carol.join("office", "secret"), srv::STATUS_ok);
  ASSERT_EQ(carol.netop("office", srv::NETOP_online), srv::STATUS_ok);

  db_session holder(url);
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(holder.run("BEGIN"), "done");
  ASSERT_EQ(holder.run("LOCK TABLE account IN ACCESS EXCLUSIVE MODE"), "done");
  // Bob's enrolment needs the account table: the store waits for the lock.
  ASSERT_TRUE(bob.connect(server.port));
  ASSERT_EQ(bob.helo(), srv::STATUS_ok);
  srv::enroll_msg e;
  e.key = demo_client_keys().pub;
  e.nickname = "bob";
  std::string frame = srv::frame_begin(srv::MSG_enroll);
  srv::put_enroll(frame, e);
  ASSERT_TRUE(bob.send(frame));
  ASSERT_TRUE(holder.someone_waits());

  // Meanwhile the others are served.
  EXPECT_EQ(alice.netop("office", srv::NETOP_online), srv::STATUS_ok);
  peer_view met;
  ASSERT_TRUE(carol.next_peer(met));
  EXPECT_EQ(met.peer, alice.identity);
  EXPECT_EQ(met.status, srv::STATUS_ok);
  EXPECT_EQ(alice.netop("office", srv::NETOP_offline), srv::STATUS_ok);
  ASSERT_TRUE(dave.connect(server.port));
  EXPECT_EQ(dave.helo(), srv::STATUS_ok);
  // All of it while the login still waited.
  EXPECT_FALSE(bob.has(srv::MSG_enroll, 0));
  EXPECT_TRUE(holder.someone_waits());

  // Carol's nickname change queues behind the login; her go-offline, which
  // alone would need no store, waits for it.
  frame = srv::frame_begin(srv::MSG_change);
  srv::put_change(frame, {srv::CHANGE_nickname, "carol2"});
  ASSERT_TRUE(carol.send(frame));
  frame = srv::frame_begin(srv::MSG_netop);
  srv::put_netop(frame, {"office", srv::NETOP_offline});
  ASSERT_TRUE(carol.send(frame));

  // Unanswered while the store waits (a correct server never answers here,
  // so the short wait cannot fail it).
  EXPECT_FALSE(carol.has(srv::MSG_netop, 200));
  ASSERT_EQ(holder.run("COMMIT"), "done");
  message m;
  ASSERT_TRUE(bob.expect(srv::MSG_enroll, m));
  ASSERT_FALSE(m.body.empty());
  EXPECT_EQ(uint8_t(m.body[0]), srv::STATUS_ok);
  // The change's answer came first: reading up to it found no netop reply.
  ASSERT_TRUE(carol.expect(srv::MSG_change, m));
  for (const message &earlier : carol.queued) EXPECT_NE(earlier.type, srv::MSG_netop);
  EXPECT_TRUE(carol.expect(srv::MSG_netop, m));
}

}  // namespace
