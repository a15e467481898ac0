// The SQLite store through its interface, and the password hashes kept in
// it: each change whole or not at all, orders kept, a file from a newer
// server refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "hub.h"
#include "log_capture.h"
#include "store.h"
#include "tempdir.h"

namespace {

class Store : public LoggedTest {
 protected:
  temp_dir dir;
  std::string path = dir.file("server.db");
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

TEST_F(Store, ChangesAreWholeAndKeptInOrder) {
  std::unique_ptr<store> db = open_sqlite_store(path);
  ASSERT_TRUE(db);
  EXPECT_TRUE(logged_line("db: created " + path + " (schema 2)\n"));
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
  db.reset();

  db = open_sqlite_store(path);
  ASSERT_TRUE(db);
  account_rec a;
  ASSERT_TRUE(db->find_account(0x05000003, a));
  EXPECT_EQ(a.nickname, "renamed");
  EXPECT_EQ(a.last_seen, 1234);
  network_rec n;
  ASSERT_TRUE(db->find_network("lab-net", n));
  EXPECT_EQ(n.owner, 0x05000001u);
  EXPECT_FALSE(db->find_network("office", n));
}

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

}  // namespace
