// Small helpers over the SQLite library for the store's files: a cache of
// prepared statements, one use of a statement, and running plain SQL.
// Everything here belongs to one connection and its thread.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/log.h"
#include "store.h"

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

// Runs SQL without results; false after a log line.
inline bool sqlite_run(sqlite3 *db, const char *sql) {
  char *msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  log_write("db: %s\n", msg ? msg : sqlite3_errmsg(db));
  sqlite3_free(msg);
  return false;
}

// The store over an open connection, which it takes over (store_sqlite.cpp).
std::unique_ptr<store> sqlite_store_over(sqlite3 *db);
