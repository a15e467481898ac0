// The store in one SQLite file. Write-ahead logging with synchronous=FULL:
// a change that a client has been told about survives a crash of the
// server or the machine. The schema carries its version in user_version;
// a file from a newer server is refused rather than misread. The file and
// its -wal and -shm companions are readable by the server's user only.
#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "common/log.h"
#include "store.h"

namespace {

constexpr int SCHEMA_VERSION = 1;

const char schema_v1[] =
    "CREATE TABLE account ("
    "  identity INTEGER PRIMARY KEY,"
    "  public_key BLOB NOT NULL,"
    "  nickname BLOB NOT NULL,"
    "  first_seen INTEGER NOT NULL,"
    "  last_seen INTEGER NOT NULL);"
    "CREATE TABLE network ("
    "  name BLOB PRIMARY KEY,"
    "  owner INTEGER NOT NULL REFERENCES account(identity),"
    "  salt BLOB NOT NULL,"
    "  hash BLOB NOT NULL,"
    "  iterations INTEGER NOT NULL);"
    "CREATE TABLE member ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  network BLOB NOT NULL REFERENCES network(name) ON DELETE CASCADE,"
    "  identity INTEGER NOT NULL REFERENCES account(identity),"
    "  UNIQUE (network, identity));"
    "CREATE INDEX member_by_identity ON member(identity);"
    "PRAGMA user_version = 1;";

// Statements are prepared once per store and kept: preparing costs more
// than running most of them.
class statement_cache {
 public:
  explicit statement_cache(sqlite3 *db) : db(db) {}
  ~statement_cache() {
    for (auto &entry : cache) sqlite3_finalize(entry.second);
  }
  sqlite3_stmt *get(const char *sql) {
    auto it = cache.find(sql);
    if (it != cache.end()) return it->second;
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
      log_write("db: prepare failed: %s\n", sqlite3_errmsg(db));
      return nullptr;
    }
    cache[sql] = s;
    return s;
  }

 private:
  sqlite3 *db;
  std::map<std::string, sqlite3_stmt *> cache;
};

// One use of a prepared statement, reset and cleared when the scope ends.
class stmt {
 public:
  stmt(statement_cache &cache, const char *sql) : s(cache.get(sql)) {}
  stmt(sqlite3 *db, const char *sql) : owned(true) {
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) s = nullptr;
  }
  ~stmt() {
    if (owned) {
      sqlite3_finalize(s);
    } else if (s) {
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
    }
  }
  void bind(int i, int64_t v) { sqlite3_bind_int64(s, i, v); }
  void bind(int i, const std::string &v) {
    sqlite3_bind_blob(s, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
  }
  int step() { return s ? sqlite3_step(s) : SQLITE_ERROR; }
  int64_t integer(int col) { return sqlite3_column_int64(s, col); }
  std::string blob(int col) {
    const void *p = sqlite3_column_blob(s, col);
    int n = sqlite3_column_bytes(s, col);
    return p ? std::string(static_cast<const char *>(p), size_t(n)) : std::string();
  }

 private:
  sqlite3_stmt *s = nullptr;
  bool owned = false;
};

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
    stmt s(*statements, "DELETE FROM member WHERE network = ? AND identity = ?");
    s.bind(1, network);
    s.bind(2, identity);
    return finish_update(s.step());
  }

  bool is_member(const std::string &network, uint32_t identity) override {
    stmt s(*statements, "SELECT 1 FROM member WHERE network = ? AND identity = ?");
    s.bind(1, network);
    s.bind(2, identity);
    return row(s.step());
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

 private:
  store_result insert_member(const std::string &network, uint32_t identity) {
    stmt s(*statements, "INSERT INTO member (network, identity) VALUES (?, ?)");
    s.bind(1, network);
    s.bind(2, identity);
    return finish(s.step());
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

bool run(sqlite3 *db, const char *sql) {
  char *msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  log_write("db: %s\n", msg ? msg : sqlite3_errmsg(db));
  sqlite3_free(msg);
  return false;
}

// The store holds password hashes and client keys: mode 0600 whatever the
// directory's mode and the umask. SQLite gives the -wal and -shm files it
// makes the mode of the database file; older ones are corrected here.
bool make_private(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && fchmod(fd, 0600) == 0;
  if (fd >= 0) close(fd);
  for (const char *suffix : {"-wal", "-shm"})
    if (chmod((path + suffix).c_str(), 0600) != 0 && errno != ENOENT) ok = false;
  if (!ok) log_write("db: cannot make %s private: %s\n", path.c_str(), strerror(errno));
  return ok;
}

int user_version(sqlite3 *db) {
  stmt s(db, "PRAGMA user_version");
  return s.step() == SQLITE_ROW ? int(s.integer(0)) : -1;
}

}  // namespace

std::unique_ptr<store> open_sqlite_store(const std::string &path) {
  if (path != ":memory:" && !make_private(path)) return nullptr;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    log_write("db: cannot open %s: %s\n", path.c_str(), db ? sqlite3_errmsg(db) : "no memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  bool ok = run(db, "PRAGMA journal_mode = WAL") && run(db, "PRAGMA synchronous = FULL") &&
            run(db, "PRAGMA foreign_keys = ON");
  int version = ok ? user_version(db) : -1;
  if (ok && version == 0) {
    ok = run(db, "BEGIN IMMEDIATE") && run(db, schema_v1) && run(db, "COMMIT");
    if (ok) log_write("db: created %s (schema %d)\n", path.c_str(), SCHEMA_VERSION);
    version = user_version(db);
  }
  if (ok && version != SCHEMA_VERSION) {
    log_write("db: %s has schema %d, this server knows %d\n", path.c_str(), version,
              SCHEMA_VERSION);
    ok = false;
  }
  if (!ok) {
    sqlite3_close(db);
    return nullptr;
  }
  return std::unique_ptr<store>(new sqlite_store(db));
}
