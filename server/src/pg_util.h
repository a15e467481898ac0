// A thin layer over libpq for the PostgreSQL store: one connection with its
// prepared statements, parameters and results in binary form (byte strings
// as bytea, integers as int8), and the mapping of failures onto
// store_result. Everything here belongs to one connection and the thread
// that uses it.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store.h"

// One parameter of a statement, already in PostgreSQL's binary form.
struct pg_param {
  pg_param(int64_t v);  // NOLINT: integers pass as they are
  pg_param(uint32_t v) : pg_param(int64_t(v)) {}  // NOLINT
  pg_param(const std::string &v) : bytes(v), type(17) {}  // NOLINT: bytea
  pg_param(const std::string &v, unsigned type) : bytes(v), type(type) {}  // 25: text
  std::string bytes;
  unsigned type;  // Oid
};

// A result, freed with its scope.
class pg_result {
 public:
  explicit pg_result(PGresult *r = nullptr) : r(r) {}
  pg_result(pg_result &&o) noexcept : r(o.r) { o.r = nullptr; }
  pg_result &operator=(pg_result &&o) noexcept;
  ~pg_result() { PQclear(r); }
  pg_result(const pg_result &) = delete;
  pg_result &operator=(const pg_result &) = delete;

  // The statement ran (with or without rows).
  bool ok() const;
  int rows() const { return ok() ? PQntuples(r) : 0; }
  // Rows a change touched.
  long changed() const;
  // Columns of type bytea and int8.
  std::string bytes(int row, int col) const;
  int64_t integer(int row, int col) const;
  // What a failed change means for the store: STORE_exists when a
  // constraint refused it.
  store_result failure() const;
  PGresult *raw() const { return r; }

 private:
  PGresult *r;
};

class pg_connection {
 public:
  // Null, after a log line, when the database cannot be reached.
  static std::unique_ptr<pg_connection> open(const std::string &conninfo);
  ~pg_connection();

  // Runs `sql` (prepared on its first use) with `params`; results come in
  // binary form. A failure is logged here. When the connection was lost
  // outside a transaction, it is opened again and the statement retried
  // once.
  pg_result run(const char *sql, const std::vector<pg_param> &params = {});
  // Runs SQL without parameters or results (several statements may be
  // given); false after a log line.
  bool exec(const char *sql);
  // BEGIN, and COMMIT or ROLLBACK as `r` says; the result of the whole.
  bool begin();
  store_result end(store_result r);
  // For the store of a result that is not a failure: STORE_ok, or
  // STORE_missing when an update touched nothing.
  static store_result changed(const pg_result &r);
  static store_result done(const pg_result &r) { return r.ok() ? STORE_ok : r.failure(); }

  // "database D on H" for log lines, without the password.
  std::string describe() const;
  PGconn *raw() const { return conn; }

 private:
  explicit pg_connection(PGconn *c) : conn(c) {}
  const char *prepared_name(const char *sql, const std::vector<pg_param> &params);
  PGresult *execute(const char *sql, const std::vector<pg_param> &params);

  PGconn *conn;
  std::map<std::string, std::string> prepared;  // SQL -> statement name
  bool in_transaction = false;
};

// Connects (blocking) with a connect timeout unless `conninfo` sets one.
PGconn *pg_connect(const std::string &conninfo);

// The parts of the store on one PostgreSQL connection, and the rest of its
// opening (store_pg_schema.cpp).
std::unique_ptr<store> postgresql_store_over(std::unique_ptr<pg_connection> conn);
