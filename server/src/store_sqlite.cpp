// The store in one SQLite file. Write-ahead logging with synchronous=FULL:
// a change that a client has been told about survives a crash of the
// server or the machine. Opening, the schema and its upgrades, and backups
// are in store_sqlite_schema.cpp.
#include "sqlite_util.h"

namespace {

#define PENDING_COLUMNS "key_id, public_key, nickname, source, requested, approved"

class sqlite_store final : public store {
 public:
  explicit sqlite_store(sqlite3 *db) : db(db), statements(new statement_cache(db)) {}
  ~sqlite_store() override {
    statements.reset();
    if (sqlite3_close(db) != SQLITE_OK) log_write("db: close failed\n");
  }

  store_result add_account(const account_rec &a) override {
    stmt s(*statements, "INSERT INTO account VALUES (?, ?, ?, ?, ?)");
    s.bind(1, a.identity);
    s.bind(2, a.public_key);
    s.bind(3, a.nickname);
    s.bind(4, a.first_seen);
    s.bind(5, a.last_seen);
    return finish(s.step());
  }

  bool find_account(uint32_t identity, account_rec &a) override {
    stmt s(*statements, "SELECT public_key, nickname, first_seen, last_seen FROM account WHERE identity = ?");
    s.bind(1, identity);
    if (!row(s.step())) return false;
    a.identity = identity;
    a.public_key = s.blob(0);
    a.nickname = s.blob(1);
    a.first_seen = s.integer(2);
    a.last_seen = s.integer(3);
    return true;
  }

  store_result set_nickname(uint32_t identity, const std::string &nickname) override {
    stmt s(*statements, "UPDATE account SET nickname = ? WHERE identity = ?");
    s.bind(1, nickname);
    s.bind(2, identity);
    return finish_update(s.step());
  }

  store_result set_last_seen(const std::map<uint32_t, int64_t> &times) override {
    if (!exec("BEGIN IMMEDIATE")) return STORE_error;
    store_result r = STORE_ok;
    for (const auto &t : times) {
      stmt s(*statements, "UPDATE account SET last_seen = ? WHERE identity = ?");
      s.bind(1, t.second);
      s.bind(2, t.first);
      r = finish(s.step());
      if (r != STORE_ok) break;
    }
    return end_transaction(r);
  }

  store_result add_network(const network_rec &n) override {
    if (!exec("BEGIN IMMEDIATE")) return STORE_error;
    store_result r;
    {
      stmt s(*statements, "INSERT INTO network VALUES (?, ?, ?, ?, ?)");
      s.bind(1, n.name);
      s.bind(2, n.owner);
      s.bind(3, n.salt);
      s.bind(4, n.hash);
      s.bind(5, n.iterations);
      r = finish(s.step());
    }
    if (r == STORE_ok) r = insert_member(n.name, n.owner);
    return end_transaction(r);
  }

  bool find_network(const std::string &name, network_rec &n) override {
    stmt s(*statements, "SELECT owner, salt, hash, iterations FROM network WHERE name = ?");
    s.bind(1, name);
    if (!row(s.step())) return false;
    n.name = name;
    n.owner = uint32_t(s.integer(0));
    n.salt = s.blob(1);
    n.hash = s.blob(2);
    n.iterations = uint32_t(s.integer(3));
    return true;
  }

  store_result delete_network(const std::string &name) override {
    if (!exec("BEGIN IMMEDIATE")) return STORE_error;
    store_result r;
    {
      stmt m(*statements, "DELETE FROM member WHERE network = ?");
      m.bind(1, name);
      r = finish(m.step());
    }
    if (r == STORE_ok) {
      stmt s(*statements, "DELETE FROM network WHERE name = ?");
      s.bind(1, name);
      r = finish_update(s.step());
    }
    return end_transaction(r);
  }

  store_result add_member(const std::string &network, uint32_t identity) override {
    return insert_member(network, identity);
  }

  store_result remove_member(const std::string &network, uint32_t identity) override {
    return finish_update(step_pair("DELETE FROM member WHERE network = ? AND identity = ?", network, identity));
  }

  bool is_member(const std::string &network, uint32_t identity) override {
    return row(step_pair("SELECT 1 FROM member WHERE network = ? AND identity = ?", network, identity));
  }

  std::vector<uint32_t> members(const std::string &network) override {
    std::vector<uint32_t> out;
    stmt s(*statements, "SELECT identity FROM member WHERE network = ? ORDER BY seq");
    s.bind(1, network);
    int rc;
    while (row(rc = s.step())) out.push_back(uint32_t(s.integer(0)));
    return out;
  }

  std::vector<std::string> networks_of(uint32_t identity) override {
    std::vector<std::string> out;
    stmt s(*statements, "SELECT network FROM member WHERE identity = ? ORDER BY seq");
    s.bind(1, identity);
    int rc;
    while (row(rc = s.step())) out.push_back(s.blob(0));
    return out;
  }


  // ---- Administration ----

  std::vector<account_rec> accounts() override {
    std::vector<account_rec> out;
    stmt s(*statements,
           "SELECT identity, public_key, nickname, first_seen, last_seen FROM account "
           "ORDER BY first_seen, identity");
    while (row(s.step())) {
      account_rec a;
      a.identity = uint32_t(s.integer(0));
      a.public_key = s.blob(1);
      a.nickname = s.blob(2);
      a.first_seen = s.integer(3);
      a.last_seen = s.integer(4);
      out.push_back(a);
    }
    return out;
  }

  store_result remove_account(uint32_t identity) override {
    if (!exec("BEGIN IMMEDIATE")) return STORE_error;
    store_result r = STORE_ok;
    for (const char *sql : {"DELETE FROM member WHERE identity = ?", "DELETE FROM ban WHERE identity = ?"}) {
      stmt s(*statements, sql);
      s.bind(1, identity);
      if (r == STORE_ok) r = finish(s.step());
    }
    if (r == STORE_ok) {
      stmt s(*statements, "DELETE FROM account WHERE identity = ?");
      s.bind(1, identity);
      r = finish_update(s.step());
    }
    return end_transaction(r);
  }

  std::vector<network_rec> networks() override {
    std::vector<network_rec> out;
    stmt s(*statements, "SELECT name, owner, salt, hash, iterations FROM network ORDER BY name");
    while (row(s.step())) {
      network_rec n;
      n.name = s.blob(0);
      n.owner = uint32_t(s.integer(1));
      n.salt = s.blob(2);
      n.hash = s.blob(3);
      n.iterations = uint32_t(s.integer(4));
      out.push_back(n);
    }
    return out;
  }

  std::vector<membership_rec> memberships() override {
    std::vector<membership_rec> out;
    stmt s(*statements, "SELECT network, identity FROM member ORDER BY seq");
    while (row(s.step())) out.push_back({s.blob(0), uint32_t(s.integer(1))});
    return out;
  }

  store_result set_owner(const std::string &network, uint32_t identity) override {
    if (!exec("BEGIN IMMEDIATE")) return STORE_error;
    store_result r;
    {
      stmt s(*statements, "UPDATE network SET owner = ? WHERE name = ?");
      s.bind(1, identity);
      s.bind(2, network);
      r = finish_update(s.step());
    }
    if (r == STORE_ok && !is_member(network, identity)) r = insert_member(network, identity);
    return end_transaction(r);
  }

  store_result set_password(const network_rec &n) override {
    stmt s(*statements, "UPDATE network SET salt = ?, hash = ?, iterations = ? WHERE name = ?");
    s.bind(1, n.salt);
    s.bind(2, n.hash);
    s.bind(3, n.iterations);
    s.bind(4, n.name);
    return finish_update(s.step());
  }

  store_result ban(const std::string &network, uint32_t identity) override {
    if (!exec("BEGIN IMMEDIATE")) return STORE_error;
    store_result r = remove_member(network, identity);
    if (r == STORE_missing) r = STORE_ok;
    if (r == STORE_ok) r = finish(step_pair("INSERT INTO ban (network, identity) VALUES (?, ?)", network, identity));
    return end_transaction(r);
  }

  store_result unban(const std::string &network, uint32_t identity) override {
    return finish_update(step_pair("DELETE FROM ban WHERE network = ? AND identity = ?", network, identity));
  }

  bool is_banned(const std::string &network, uint32_t identity) override {
    return row(step_pair("SELECT 1 FROM ban WHERE network = ? AND identity = ?", network, identity));
  }

  std::vector<uint32_t> banned(const std::string &network) override {
    std::vector<uint32_t> out;
    stmt s(*statements, "SELECT identity FROM ban WHERE network = ? ORDER BY rowid");
    s.bind(1, network);
    while (row(s.step())) out.push_back(uint32_t(s.integer(0)));
    return out;
  }

  store_counts counts() override {
    store_counts c;
    stmt s(*statements,
           "SELECT (SELECT count(*) FROM account), (SELECT count(*) FROM network), "
           "(SELECT count(*) FROM pending)");
    if (row(s.step())) {
      c.accounts = size_t(s.integer(0));
      c.networks = size_t(s.integer(1));
      c.pending = size_t(s.integer(2));
    }
    return c;
  }

  // ---- Enrolment awaiting approval ----

  store_result put_pending(const pending_rec &p) override {
    stmt s(*statements,
           "INSERT INTO pending (key_id, public_key, nickname, source, requested) "
           "VALUES (?, ?, ?, ?, ?) ON CONFLICT (key_id) DO UPDATE SET "
           "nickname = excluded.nickname, source = excluded.source, requested = excluded.requested");
    s.bind(1, p.key_id);
    s.bind(2, p.public_key);
    s.bind(3, p.nickname);
    s.bind(4, p.source);
    s.bind(5, p.requested);
    return finish(s.step());
  }

  bool find_pending(const std::string &key_id, pending_rec &p) override {
    stmt s(*statements, "SELECT " PENDING_COLUMNS " FROM pending WHERE key_id = ?");
    s.bind(1, key_id);
    if (!row(s.step())) return false;
    p = pending_from(s);
    return true;
  }

  std::vector<pending_rec> pending() override {
    std::vector<pending_rec> out;
    stmt s(*statements, "SELECT " PENDING_COLUMNS " FROM pending ORDER BY requested, key_id");
    while (row(s.step())) out.push_back(pending_from(s));
    return out;
  }

  store_result approve_pending(const std::string &key_id) override {
    stmt s(*statements, "UPDATE pending SET approved = 1 WHERE key_id = ?");
    s.bind(1, key_id);
    return finish_update(s.step());
  }

  store_result remove_pending(const std::string &key_id) override {
    stmt s(*statements, "DELETE FROM pending WHERE key_id = ?");
    s.bind(1, key_id);
    return finish_update(s.step());
  }

  store_result add_approved_account(const account_rec &a, const std::string &key_id) override {
    if (!exec("BEGIN IMMEDIATE")) return STORE_error;
    store_result r;
    {
      stmt s(*statements, "DELETE FROM pending WHERE key_id = ? AND approved = 1");
      s.bind(1, key_id);
      r = finish_update(s.step());
    }
    if (r == STORE_ok) r = add_account(a);
    return end_transaction(r);
  }

 private:
  static pending_rec pending_from(stmt &s) {
    pending_rec p;
    p.key_id = s.blob(0);
    p.public_key = s.blob(1);
    p.nickname = s.blob(2);
    p.source = s.blob(3);
    p.requested = s.integer(4);
    p.approved = s.integer(5) != 0;
    return p;
  }

  store_result insert_member(const std::string &network, uint32_t identity) {
    return finish(step_pair("INSERT INTO member (network, identity) VALUES (?, ?)", network, identity));
  }

  // Runs a statement whose two parameters are a network and an identity;
  // the result code of its one step.
  int step_pair(const char *sql, const std::string &network, uint32_t identity) {
    stmt s(*statements, sql);
    s.bind(1, network);
    s.bind(2, identity);
    return s.step();
  }

  bool exec(const char *sql) {
    char *msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    log_write("db: %s failed: %s\n", sql, msg ? msg : "?");
    sqlite3_free(msg);
    return false;
  }

  store_result end_transaction(store_result r) {
    if (r == STORE_ok) {
      if (exec("COMMIT")) return STORE_ok;
      r = STORE_error;
    }
    exec("ROLLBACK");
    return r;
  }

  bool row(int rc) {
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) log_write("db: query failed: %s\n", sqlite3_errmsg(db));
    return false;
  }

  store_result finish(int rc) {
    if (rc == SQLITE_DONE) return STORE_ok;
    if ((rc & 0xff) == SQLITE_CONSTRAINT) return STORE_exists;
    log_write("db: change failed: %s\n", sqlite3_errmsg(db));
    return STORE_error;
  }

  store_result finish_update(int rc) {
    store_result r = finish(rc);
    if (r == STORE_ok && sqlite3_changes(db) == 0) return STORE_missing;
    return r;
  }

  sqlite3 *db;
  std::unique_ptr<statement_cache> statements;
};


}  // namespace

std::unique_ptr<store> sqlite_store_over(sqlite3 *db) {
  return std::unique_ptr<store>(new sqlite_store(db));
}
