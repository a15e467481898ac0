// Opening the PostgreSQL store: its schema, whose version is kept in the
// table quilmar_schema and grown one step per version (the first two as the
// SQLite store's, then the cluster's own); and the copy of a SQLite store into an
// empty database.
//
// A database of a newer server is refused rather than misread; an older one
// is upgraded in one transaction (PostgreSQL changes tables inside
// transactions, so a failed upgrade leaves it as it was). Servers of a
// cluster may start at the same moment: an advisory lock lets one of them
// create or upgrade the schema while the others wait and then find it done.
#include "common/log.h"
#include "pg_util.h"

namespace {

// Each entry takes a store from the version before it to its own number
// (index + 1). A new version appends a step; steps never change.
const char *const schema_steps[] = {
    // 1: accounts, networks, memberships
    "CREATE TABLE account ("
    "  identity BIGINT PRIMARY KEY,"
    "  public_key BYTEA NOT NULL,"
    "  nickname BYTEA NOT NULL,"
    "  first_seen BIGINT NOT NULL,"
    "  last_seen BIGINT NOT NULL);"
    "CREATE TABLE network ("
    "  name BYTEA PRIMARY KEY,"
    "  owner BIGINT NOT NULL REFERENCES account(identity),"
    "  salt BYTEA NOT NULL,"
    "  hash BYTEA NOT NULL,"
    "  iterations BIGINT NOT NULL);"
    "CREATE TABLE member ("
    "  seq BIGSERIAL PRIMARY KEY,"
    "  network BYTEA NOT NULL REFERENCES network(name) ON DELETE CASCADE,"
    "  identity BIGINT NOT NULL REFERENCES account(identity),"
    "  UNIQUE (network, identity));"
    "CREATE INDEX member_by_identity ON member(identity);",
    // 2: bans, and keys waiting for an administrator's approval
    "CREATE TABLE ban ("
    "  seq BIGSERIAL UNIQUE,"
    "  network BYTEA NOT NULL REFERENCES network(name) ON DELETE CASCADE,"
    "  identity BIGINT NOT NULL REFERENCES account(identity),"
    "  PRIMARY KEY (network, identity));"
    "CREATE INDEX ban_by_identity ON ban(identity);"
    "CREATE TABLE pending ("
    "  key_id BYTEA PRIMARY KEY,"
    "  public_key BYTEA NOT NULL,"
    "  nickname BYTEA NOT NULL,"
    "  source BYTEA NOT NULL,"
    "  requested BIGINT NOT NULL,"
    "  approved BIGINT NOT NULL DEFAULT 0);",
    // 3: the servers of a cluster on this database
    "CREATE TABLE server ("
    "  id BIGINT PRIMARY KEY,"
    "  address BIGINT NOT NULL,"
    "  port BIGINT NOT NULL,"
    "  slot BIGINT NOT NULL UNIQUE,"
    "  heartbeat TIMESTAMPTZ NOT NULL);",
};
constexpr int SCHEMA_VERSION = int(sizeof schema_steps / sizeof schema_steps[0]);

// Any number of our own, so that only our servers wait for each other.
constexpr const char *SCHEMA_LOCK = "SELECT pg_advisory_xact_lock(7325912023)";

// 0 for a database without our schema; -1 after a log line when it cannot
// be read.
int schema_version(pg_connection &db) {
  pg_result there = db.run("SELECT to_regclass('quilmar_schema') IS NOT NULL");
  if (there.rows() != 1) return -1;
  if (there.bytes(0, 0) != std::string(1, '\1')) return 0;
  pg_result r = db.run("SELECT max(version)::int8 FROM quilmar_schema");
  return r.rows() == 1 ? int(r.integer(0, 0)) : -1;
}

// Brings the store to SCHEMA_VERSION, or leaves it untouched; the version
// found is in `found` (-1 when it could not be read).
bool create_or_upgrade(pg_connection &db, int &found) {
  found = -1;
  if (!db.begin()) return false;
  bool ok = db.exec(SCHEMA_LOCK);
  if (ok) found = schema_version(db);
  ok = ok && found >= 0;
  if (ok && found > SCHEMA_VERSION) {
    db.end(STORE_error);
    return false;
  }
  for (int v = found; ok && v < SCHEMA_VERSION; v++) ok = db.exec(schema_steps[v]);
  if (ok && found < SCHEMA_VERSION) {
    ok = db.exec("CREATE TABLE IF NOT EXISTS quilmar_schema (version BIGINT NOT NULL)") &&
         db.exec("DELETE FROM quilmar_schema") &&
         db.run("INSERT INTO quilmar_schema VALUES ($1)", {int64_t(SCHEMA_VERSION)}).ok();
  }
  return db.end(ok ? STORE_ok : STORE_error) == STORE_ok;
}

}  // namespace

int postgresql_schema_version() { return SCHEMA_VERSION; }

std::unique_ptr<store> open_postgresql_store(const std::string &conninfo) {
  std::unique_ptr<pg_connection> db = pg_connection::open(conninfo);
  if (!db) return nullptr;
  const std::string where = db->describe();
  int found = -1;
  const bool ok = create_or_upgrade(*db, found);
  if (ok && found == 0) {
    log_write("db: created the store in PostgreSQL %s (schema %d)\n", where.c_str(),
              SCHEMA_VERSION);
  } else if (ok && found < SCHEMA_VERSION) {
    log_write("db: upgraded the store in PostgreSQL %s from schema %d to %d\n", where.c_str(),
              found, SCHEMA_VERSION);
  } else if (!ok && found > SCHEMA_VERSION) {
    log_write(
        "db: PostgreSQL %s has schema %d, newer than this server's %d; run the newer "
        "quilmar-server or restore a backup made by this one\n",
        where.c_str(), found, SCHEMA_VERSION);
  } else if (!ok && found > 0) {
    log_write("db: could not upgrade PostgreSQL %s from schema %d; it is unchanged\n",
              where.c_str(), found);
  } else if (!ok) {
    log_write("db: cannot set up the store in PostgreSQL %s\n", where.c_str());
  }
  if (!ok) return nullptr;
  return postgresql_store_over(std::move(db));
}

bool copy_to_postgresql(store &from, const std::string &conninfo, store_counts &copied) {
  std::unique_ptr<pg_connection> db = pg_connection::open(conninfo);
  if (!db) return false;
  const std::string where = db->describe();
  int found = -1;
  if (!create_or_upgrade(*db, found)) {
    log_write("db: cannot set up the store in PostgreSQL %s\n", where.c_str());
    return false;
  }
  if (!db->begin()) return false;
  // Nothing may be there: merging two sets of accounts and networks is not
  // a copy. The lock keeps servers from writing while the copy is made.
  bool ok = db->exec("LOCK TABLE account, network, member, ban, pending IN EXCLUSIVE MODE");
  pg_result there = db->run(
      "SELECT (SELECT count(*) FROM account) + (SELECT count(*) FROM network) + "
      "(SELECT count(*) FROM pending)");
  if (ok && (there.rows() != 1 || there.integer(0, 0) != 0)) {
    log_write("db: PostgreSQL %s already holds a store; copy only into an empty one\n",
              where.c_str());
    ok = false;
  }
  copied = store_counts();
  for (const account_rec &a : ok ? from.accounts() : std::vector<account_rec>())
    ok = ok && db->run("INSERT INTO account VALUES ($1, $2, $3, $4, $5)",
                       {a.identity, a.public_key, a.nickname, a.first_seen, a.last_seen})
                   .ok() &&
         ++copied.accounts;
  std::vector<network_rec> nets = ok ? from.networks() : std::vector<network_rec>();
  for (const network_rec &n : nets)
    ok = ok && db->run("INSERT INTO network VALUES ($1, $2, $3, $4, $5)",
                       {n.name, n.owner, n.salt, n.hash, int64_t(n.iterations)})
                   .ok() &&
         ++copied.networks;
  // In the order they began, so that member lists keep their order.
  for (const membership_rec &m : ok ? from.memberships() : std::vector<membership_rec>())
    ok = ok && db->run("INSERT INTO member (network, identity) VALUES ($1, $2)",
                       {m.network, m.identity})
                   .ok();
  for (const network_rec &n : nets)
    for (uint32_t id : ok ? from.banned(n.name) : std::vector<uint32_t>())
      ok = ok && db->run("INSERT INTO ban (network, identity) VALUES ($1, $2)", {n.name, id}).ok();
  for (const pending_rec &p : ok ? from.pending() : std::vector<pending_rec>())
    ok = ok && db->run("INSERT INTO pending VALUES ($1, $2, $3, $4, $5, $6)",
                       {p.key_id, p.public_key, p.nickname, p.source, p.requested,
                        int64_t(p.approved)})
                   .ok() &&
         ++copied.pending;
  return db->end(ok ? STORE_ok : STORE_error) == STORE_ok;
}

bool is_postgresql_url(const std::string &text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}
