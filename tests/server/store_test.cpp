// The store through its interface, in SQLite and in PostgreSQL, and the
// password hashes kept in it: each change whole or not at all, orders kept,
// a store from a newer server refused, an older one upgraded.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "hub.h"
#include "log_capture.h"
#include "pg_server.h"
#include "process.h"
#include "store.h"
#include "tempdir.h"

namespace {

class Store : public LoggedTest {
 protected:
  temp_dir dir;
  std::string path = dir.file("server.db");
};

// The same behaviour from either kind of store.
class EitherStore : public Store, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    Store::SetUp();
    if (GetParam()) {
      pg.reset(new pg_server);
      SKIP_WITHOUT_POSTGRESQL(*pg);
      url = pg->create_database("behaviour");
      ASSERT_FALSE(url.empty());
    }
  }
  std::unique_ptr<store> open() {
    return GetParam() ? open_postgresql_store(url) : open_sqlite_store(path);
  }
  std::unique_ptr<pg_server> pg;
  std::string url;
};

network_rec net(const std::string &name, uint32_t owner) {
  network_rec n;
  n.name = name;
  n.owner = owner;
  n.salt = "salt";
  n.hash = "hash";
  n.iterations = 1;
  return n;
}

account_rec account(uint32_t id) {
  account_rec a;
  a.identity = id;
  a.public_key = "key";
  a.nickname = "nick";
  return a;
}

TEST_P(EitherStore, ChangesAreWholeAndKeptInOrder) {
  std::unique_ptr<store> db = open();
  ASSERT_TRUE(db);
  EXPECT_TRUE(logged_line(GetParam() ? "db: created the store in PostgreSQL database behaviour on " +
                                           pg->dir + " (schema 3)\n"
                                     : "db: created " + path + " (schema 2)\n"));
  for (uint32_t id : {0x05000001u, 0x05000002u, 0x05000003u})
    ASSERT_EQ(db->add_account(account(id)), STORE_ok);
  EXPECT_EQ(db->add_account(account(0x05000001)), STORE_exists);

  ASSERT_EQ(db->add_network(net("office", 0x05000002)), STORE_ok);
  // A taken name changes nothing, not even the members.
  EXPECT_EQ(db->add_network(net("office", 0x05000003)), STORE_exists);
  EXPECT_EQ(db->members("office"), std::vector<uint32_t>{0x05000002});
  ASSERT_EQ(db->add_member("office", 0x05000003), STORE_ok);
  ASSERT_EQ(db->add_member("office", 0x05000001), STORE_ok);
  EXPECT_EQ(db->add_member("office", 0x05000001), STORE_exists);
  EXPECT_EQ(db->members("office"), (std::vector<uint32_t>{0x05000002, 0x05000003, 0x05000001}));

  ASSERT_EQ(db->add_network(net("lab-net", 0x05000001)), STORE_ok);
  EXPECT_EQ(db->networks_of(0x05000001), (std::vector<std::string>{"office", "lab-net"}));
  EXPECT_EQ(db->remove_member("office", 0x05000001), STORE_ok);
  EXPECT_EQ(db->remove_member("office", 0x05000001), STORE_missing);
  EXPECT_FALSE(db->is_member("office", 0x05000001));

  EXPECT_EQ(db->delete_network("office"), STORE_ok);
  EXPECT_EQ(db->delete_network("office"), STORE_missing);
  EXPECT_TRUE(db->networks_of(0x05000003).empty());
  EXPECT_EQ(db->set_nickname(0x05000003, "renamed"), STORE_ok);
  EXPECT_EQ(db->set_nickname(0x05999999, "nobody"), STORE_missing);
  EXPECT_EQ(db->set_last_seen({{0x05000003, 1234}, {0x05000001, 99}}), STORE_ok);

  // Administration: bans keep their order, an owner cannot go, the counts.
  ASSERT_EQ(db->add_network(net("office", 0x05000002)), STORE_ok);
  ASSERT_EQ(db->add_member("office", 0x05000003), STORE_ok);
  EXPECT_EQ(db->ban("office", 0x05000003), STORE_ok);
  EXPECT_EQ(db->ban("office", 0x05000001), STORE_ok);
  EXPECT_EQ(db->ban("office", 0x05000001), STORE_exists);
  EXPECT_EQ(db->banned("office"), (std::vector<uint32_t>{0x05000003, 0x05000001}));
  EXPECT_EQ(db->members("office"), std::vector<uint32_t>{0x05000002});
  EXPECT_EQ(db->unban("office", 0x05000003), STORE_ok);
  EXPECT_EQ(db->unban("office", 0x05000003), STORE_missing);
  EXPECT_EQ(db->set_owner("office", 0x05000003), STORE_ok);
  EXPECT_EQ(db->members("office"), (std::vector<uint32_t>{0x05000002, 0x05000003}));
  EXPECT_EQ(db->remove_account(0x05000003), STORE_exists);
  EXPECT_EQ(db->remove_account(0x05000002), STORE_ok);
  EXPECT_EQ(db->remove_account(0x05000002), STORE_missing);
  pending_rec p{"key-id", "pub", "nick", "1.2.3.4:5", 77, false};
  EXPECT_EQ(db->put_pending(p), STORE_ok);
  EXPECT_EQ(db->add_approved_account(account(0x05000009), "key-id"), STORE_missing);
  EXPECT_EQ(db->approve_pending("key-id"), STORE_ok);
  p.nickname = "again";
  EXPECT_EQ(db->put_pending(p), STORE_ok);  // the approval stays
  ASSERT_EQ(db->pending().size(), 1u);
  EXPECT_TRUE(db->pending()[0].approved);
  EXPECT_EQ(db->pending()[0].nickname, "again");
  EXPECT_EQ(db->add_approved_account(account(0x05000009), "key-id"), STORE_ok);
  EXPECT_FALSE(db->find_pending("key-id", p));
  store_counts c = db->counts();
  EXPECT_EQ(c.accounts, 3u);
  EXPECT_EQ(c.networks, 2u);
  EXPECT_EQ(c.pending, 0u);
  db.reset();

  db = open();
  ASSERT_TRUE(db);
  account_rec a;
  ASSERT_TRUE(db->find_account(0x05000003, a));
  EXPECT_EQ(a.nickname, "renamed");
  EXPECT_EQ(a.last_seen, 1234);
  network_rec n;
  ASSERT_TRUE(db->find_network("lab-net", n));
  EXPECT_EQ(n.owner, 0x05000001u);
  ASSERT_TRUE(db->find_network("office", n));
  EXPECT_EQ(n.owner, 0x05000003u);
  EXPECT_EQ(db->memberships().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Backends, EitherStore, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                           return i.param ? "PostgreSQL" : "SQLite";
                         });

TEST_F(Store, FileOfANewerServerIsRefused) {
  ASSERT_TRUE(open_sqlite_store(path));
  sqlite3 *raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "PRAGMA user_version = 3", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  EXPECT_FALSE(open_sqlite_store(path));
  EXPECT_TRUE(logged_line("db: " + path +
                          " has schema 3, newer than this server's 2; run the newer "
                          "quilmar-server or restore a backup made by this one\n"));
  EXPECT_FALSE(open_sqlite_store(dir.file("no/such/dir/server.db")));
}

// A store of the first release (schema 1, made here with its own SQL) is
// kept as a copy, then upgraded in place with everything in it.
TEST_F(Store, OlderStoreIsCopiedThenUpgraded) {
  sqlite3 *raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw,
                         "CREATE TABLE account (identity INTEGER PRIMARY KEY, public_key BLOB NOT "
                         "NULL, nickname BLOB NOT NULL, first_seen INTEGER NOT NULL, last_seen "
                         "INTEGER NOT NULL);"
                         "CREATE TABLE network (name BLOB PRIMARY KEY, owner INTEGER NOT NULL, "
                         "salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT NULL);"
                         "CREATE TABLE member (seq INTEGER PRIMARY KEY AUTOINCREMENT, network BLOB "
                         "NOT NULL, identity INTEGER NOT NULL, UNIQUE (network, identity));"
                         "INSERT INTO account VALUES (83886081, x'00', x'616c696365', 1, 2);"
                         "INSERT INTO network VALUES (x'6f6666696365', 83886081, x'', x'', 1);"
                         "INSERT INTO member (network, identity) VALUES (x'6f6666696365', 83886081);"
                         "PRAGMA user_version = 1;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);

  std::unique_ptr<store> db = open_sqlite_store(path);
  ASSERT_TRUE(db);
  const std::string copy = path + ".schema-1.bak";
  EXPECT_TRUE(logged_line("db: upgraded " + path + " from schema 1 to 2; the old store is kept as " +
                          copy + "\n"));
  EXPECT_EQ(db->networks_of(0x05000001), std::vector<std::string>{"office"});
  EXPECT_EQ(db->ban("office", 0x05000001), STORE_ok);
  EXPECT_TRUE(db->is_banned("office", 0x05000001));
  EXPECT_FALSE(db->is_member("office", 0x05000001));
  db.reset();
  // The copy is the old store, untouched.
  ASSERT_EQ(sqlite3_open(copy.c_str(), &raw), SQLITE_OK);
  sqlite3_stmt *s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT (SELECT count(*) FROM member), "
                               "(SELECT user_version FROM pragma_user_version)", -1, &s, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 1);
  EXPECT_EQ(sqlite3_column_int(s, 1), 1);
  sqlite3_finalize(s);
  sqlite3_close(raw);
}

TEST(Passwords, SaltedSlowHashesComparedWhole) {
  network_rec n;
  n.salt = "0123456789abcdef";
  n.iterations = 1000;
  n.hash = password_hash("secret", n.salt, n.iterations);
  EXPECT_EQ(n.hash.size(), 32u);
  EXPECT_TRUE(password_matches("secret", n));
  EXPECT_FALSE(password_matches("Secret", n));
  EXPECT_FALSE(password_matches("", n));
  EXPECT_NE(password_hash("secret", "another salt....", 1000), n.hash);
  EXPECT_NE(password_hash("secret", n.salt, 1001), n.hash);
  network_rec empty = n;
  empty.hash = password_hash("", n.salt, n.iterations);
  EXPECT_TRUE(password_matches("", empty));
}

// A database of a newer server is refused; one of the first schema is
// upgraded with everything in it.
TEST_F(Store, PostgreSQLSchemaFollowsTheSameRules) {
  pg_server pg;
  SKIP_WITHOUT_POSTGRESQL(pg);
  const std::string newer = pg.create_database("newer"), older = pg.create_database("older");
  ASSERT_TRUE(open_postgresql_store(newer));
  ASSERT_TRUE(pg.sql("newer", "UPDATE quilmar_schema SET version = 4"));
  EXPECT_FALSE(open_postgresql_store(newer));
  EXPECT_TRUE(logged_line("db: PostgreSQL database newer on " + pg.dir +
                          " has schema 4, newer than this server's 3; run the newer "
                          "quilmar-server or restore a backup made by this one\n"));

  ASSERT_TRUE(pg.sql("older",
                     "CREATE TABLE account (identity BIGINT PRIMARY KEY, public_key BYTEA NOT "
                     "NULL, nickname BYTEA NOT NULL, first_seen BIGINT NOT NULL, last_seen BIGINT "
                     "NOT NULL);"
                     "CREATE TABLE network (name BYTEA PRIMARY KEY, owner BIGINT NOT NULL "
                     "REFERENCES account(identity), salt BYTEA NOT NULL, hash BYTEA NOT NULL, "
                     "iterations BIGINT NOT NULL);"
                     "CREATE TABLE member (seq BIGSERIAL PRIMARY KEY, network BYTEA NOT NULL "
                     "REFERENCES network(name) ON DELETE CASCADE, identity BIGINT NOT NULL "
                     "REFERENCES account(identity), UNIQUE (network, identity));"
                     "INSERT INTO account VALUES (83886081, '\\x00', 'alice', 1, 2);"
                     "INSERT INTO network VALUES ('office', 83886081, '', '', 1);"
                     "INSERT INTO member (network, identity) VALUES ('office', 83886081);"
                     "CREATE TABLE quilmar_schema (version BIGINT NOT NULL);"
                     "INSERT INTO quilmar_schema VALUES (1);"));
  std::unique_ptr<store> db = open_postgresql_store(older);
  ASSERT_TRUE(db);
  EXPECT_TRUE(logged_line("db: upgraded the store in PostgreSQL database older on " + pg.dir +
                          " from schema 1 to 3\n"));
  EXPECT_EQ(db->networks_of(0x05000001), std::vector<std::string>{"office"});
  EXPECT_EQ(db->ban("office", 0x05000001), STORE_ok);
  EXPECT_FALSE(db->is_member("office", 0x05000001));
  EXPECT_FALSE(open_postgresql_store("postgresql://quilmar@/none?host=" + pg.dir));
  EXPECT_TRUE(logged_prefix("db: cannot connect to PostgreSQL: "));
}

// `migrate` copies a stopped server's SQLite store whole, orders kept, and
// only into an empty database.
TEST_F(Store, MigrateCopiesTheSQLiteStoreIntoPostgreSQL) {
  pg_server pg;
  SKIP_WITHOUT_POSTGRESQL(pg);
  const std::string url = pg.create_database("copy");
  {
    std::unique_ptr<store> db = open_sqlite_store(path);
    ASSERT_TRUE(db);
    for (uint32_t id : {0x05000003u, 0x05000001u, 0x05000002u}) {
      account_rec a = account(id);
      a.first_seen = id & 0xff;
      ASSERT_EQ(db->add_account(a), STORE_ok);
    }
    ASSERT_EQ(db->add_network(net("office", 0x05000002)), STORE_ok);
    ASSERT_EQ(db->add_member("office", 0x05000003), STORE_ok);
    ASSERT_EQ(db->add_member("office", 0x05000001), STORE_ok);
    ASSERT_EQ(db->set_owner("office", 0x05000001), STORE_ok);
    ASSERT_EQ(db->add_network(net("lab", 0x05000003)), STORE_ok);
    ASSERT_EQ(db->ban("lab", 0x05000002), STORE_ok);
    ASSERT_EQ(db->put_pending({"k1", "pub", "newcomer", "1.2.3.4:5", 9, false}), STORE_ok);
    ASSERT_EQ(db->approve_pending("k1"), STORE_ok);
  }
  const std::vector<std::string> args = {"migrate", "-d", dir.path(), "--to", url};
  process_result r = run_process(QUILMAR_SERVER_BIN, args);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "copied 3 clients, 2 networks and 1 keys awaiting approval from " + path + "\n");

  std::unique_ptr<store> from = open_sqlite_store(path), to = open_postgresql_store(url);
  ASSERT_TRUE(from && to);
  ASSERT_EQ(to->accounts().size(), 3u);
  for (size_t i = 0; i < 3; i++) EXPECT_EQ(to->accounts()[i].identity, from->accounts()[i].identity);
  network_rec n;
  ASSERT_TRUE(to->find_network("office", n));
  EXPECT_EQ(n.owner, 0x05000001u);
  EXPECT_EQ(n.hash, "hash");
  EXPECT_EQ(to->members("office"), (std::vector<uint32_t>{0x05000002, 0x05000003, 0x05000001}));
  EXPECT_EQ(to->banned("lab"), std::vector<uint32_t>{0x05000002});
  pending_rec p;
  ASSERT_TRUE(to->find_pending("k1", p));
  EXPECT_TRUE(p.approved);
  // The servers go on from the copy: identities and names stay taken.
  EXPECT_EQ(to->add_account(account(0x05000002)), STORE_exists);
  EXPECT_EQ(to->add_network(net("lab", 0x05000001)), STORE_exists);

  r = run_process(QUILMAR_SERVER_BIN, args);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("already holds a store; copy only into an empty one"), std::string::npos)
      << r.out;
  EXPECT_EQ(to->counts().accounts, 3u);
}

}  // namespace
