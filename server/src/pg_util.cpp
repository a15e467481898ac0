// libpq underneath the PostgreSQL store. Statements are prepared once per
// connection, as the SQLite store keeps its statements: parsing and planning
// cost more than running most of them.
#include "pg_util.h"

#include <endian.h>

#include <cstring>

#include "common/log.h"

namespace {

constexpr unsigned INT8_OID = 20;

// libpq calls this for every notice (a table that already exists, ...);
// those are expected and not worth a line in the server's log.
void quiet_notice(void *, const char *) {}

}  // namespace

PGconn *pg_connect(const std::string &conninfo) {
  // A database that does not answer holds us up for seconds, not for the
  // system's TCP timeout; a timeout in `conninfo` comes later and wins.
  const char *keys[] = {"connect_timeout", "dbname", nullptr};
  const char *values[] = {"5", conninfo.c_str(), nullptr};
  return PQconnectdbParams(keys, values, 1);
}

pg_param::pg_param(int64_t v) : type(INT8_OID) {
  const uint64_t be = htobe64(uint64_t(v));
  bytes.assign(reinterpret_cast<const char *>(&be), sizeof be);
}

pg_result &pg_result::operator=(pg_result &&o) noexcept {
  if (this != &o) {
    PQclear(r);
    r = o.r;
    o.r = nullptr;
  }
  return *this;
}

bool pg_result::ok() const {
  if (!r) return false;
  const ExecStatusType s = PQresultStatus(r);
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

long pg_result::changed() const {
  const char *n = r ? PQcmdTuples(r) : "";
  return *n ? strtol(n, nullptr, 10) : 0;
}

std::string pg_result::bytes(int row, int col) const {
  return std::string(PQgetvalue(r, row, col), size_t(PQgetlength(r, row, col)));
}

int64_t pg_result::integer(int row, int col) const {
  if (PQgetlength(r, row, col) != 8) return 0;
  uint64_t be;
  memcpy(&be, PQgetvalue(r, row, col), sizeof be);
  return int64_t(be64toh(be));
}

store_result pg_result::failure() const {
  const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  // Class 23: integrity constraint violation (a taken key, a record that
  // does not exist for a reference).
  return state && strncmp(state, "23", 2) == 0 ? STORE_exists : STORE_error;
}

std::unique_ptr<pg_connection> pg_connection::open(const std::string &conninfo) {
  PGconn *c = pg_connect(conninfo);
  if (!c || PQstatus(c) != CONNECTION_OK) {
    std::string why = c ? PQerrorMessage(c) : "no memory";
    while (!why.empty() && why.back() == '\n') why.pop_back();
    log_write("db: cannot connect to PostgreSQL: %s\n", why.c_str());
    PQfinish(c);
    return nullptr;
  }
  PQsetNoticeProcessor(c, quiet_notice, nullptr);
  std::unique_ptr<pg_connection> conn(new pg_connection(c));
  // Every change a client is told about is on disk at the server, as with
  // SQLite's synchronous=FULL; a lost database stalls a call at most 10 s.
  if (!conn->exec("SET synchronous_commit = on; SET statement_timeout = 10000; "
                  "SET client_min_messages = warning"))
    return nullptr;
  return conn;
}

pg_connection::~pg_connection() { PQfinish(conn); }

const char *pg_connection::prepared_name(const char *sql, const std::vector<pg_param> &params) {
  auto it = prepared.find(sql);
  if (it != prepared.end()) return it->second.c_str();
  const std::string name = "q" + std::to_string(prepared.size());
  std::vector<Oid> types;
  for (const pg_param &p : params) types.push_back(p.type);
  pg_result r(PQprepare(conn, name.c_str(), sql, int(types.size()), types.data()));
  if (!r.ok()) {
    log_write("db: prepare failed: %s", PQerrorMessage(conn));
    return nullptr;
  }
  return prepared.emplace(sql, name).first->second.c_str();
}

PGresult *pg_connection::execute(const char *sql, const std::vector<pg_param> &params) {
  const char *name = prepared_name(sql, params);
  if (!name) return nullptr;
  std::vector<const char *> values;
  std::vector<int> lengths, formats;
  for (const pg_param &p : params) {
    values.push_back(p.bytes.data());
    lengths.push_back(int(p.bytes.size()));
    formats.push_back(1);
  }
  return PQexecPrepared(conn, name, int(params.size()), values.data(), lengths.data(),
                        formats.data(), 1);
}

pg_result pg_connection::run(const char *sql, const std::vector<pg_param> &params) {
  pg_result r(execute(sql, params));
  if (!r.ok() && PQstatus(conn) == CONNECTION_BAD && !in_transaction) {
    log_write("db: connection to PostgreSQL lost; connecting again\n");
    PQreset(conn);
    prepared.clear();
    if (PQstatus(conn) == CONNECTION_OK &&
        exec("SET statement_timeout = 10000; SET client_min_messages = warning"))
      r = pg_result(execute(sql, params));
  }
  if (!r.ok() && r.failure() != STORE_exists) log_write("db: query failed: %s", PQerrorMessage(conn));
  return r;
}

bool pg_connection::exec(const char *sql) {
  pg_result r(PQexec(conn, sql));
  if (r.ok()) return true;
  log_write("db: %s failed: %s", sql, PQerrorMessage(conn));
  return false;
}

bool pg_connection::begin() {
  in_transaction = exec("BEGIN");
  return in_transaction;
}

store_result pg_connection::end(store_result r) {
  in_transaction = false;
  if (r == STORE_ok) {
    if (exec("COMMIT")) return STORE_ok;
    r = STORE_error;
  }
  exec("ROLLBACK");
  return r;
}

store_result pg_connection::changed(const pg_result &r) {
  if (!r.ok()) return r.failure();
  return r.changed() == 0 ? STORE_missing : STORE_ok;
}

std::string pg_connection::describe() const {
  const char *host = PQhost(conn);
  std::string where = host && *host ? host : "the local socket";
  return std::string("database ") + PQdb(conn) + " on " + where;
}
