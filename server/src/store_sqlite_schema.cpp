// Opening the SQLite store: its schema, kept in user_version and grown one
// step per version; the copy kept before an upgrade; and online backups,
// which read a consistent snapshot while a server goes on writing (the
// store runs in write-ahead-log mode, so neither waits for the other).
//
// A file from a newer server is refused rather than misread. When root
// works on a store that belongs to another user (the service's), every file
// it makes beside the store is handed to that user, so that the server can
// still open them. The store and its -wal and -shm files are readable by
// that user only.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "sqlite_util.h"

namespace {

// Each entry takes a store from the version before it to its own number
// (index + 1). A new version appends a step; steps never change.
const char *const schema_steps[] = {
    // 1: accounts, networks, memberships
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
    "CREATE INDEX member_by_identity ON member(identity);",
    // 2: bans, and keys waiting for an administrator's approval
    "CREATE TABLE ban ("
    "  network BLOB NOT NULL REFERENCES network(name) ON DELETE CASCADE,"
    "  identity INTEGER NOT NULL REFERENCES account(identity),"
    "  PRIMARY KEY (network, identity));"
    "CREATE INDEX ban_by_identity ON ban(identity);"
    "CREATE TABLE pending ("
    "  key_id BLOB PRIMARY KEY,"
    "  public_key BLOB NOT NULL,"
    "  nickname BLOB NOT NULL,"
    "  source BLOB NOT NULL,"
    "  requested INTEGER NOT NULL,"
    "  approved INTEGER NOT NULL DEFAULT 0);",
};
constexpr int SCHEMA_VERSION = int(sizeof schema_steps / sizeof schema_steps[0]);

int user_version(sqlite3 *db) {
  stmt s(db, "PRAGMA user_version");
  return s.step() == SQLITE_ROW ? int(s.integer(0)) : -1;
}

// Files made beside a store take the store's owner (only root can give
// files away; for anyone else they are the owner's already).
void give_to_owner_of(const std::string &store_path, const std::string &path) {
  struct stat st, mine;
  if (geteuid() != 0 || stat(store_path.c_str(), &st) != 0 || stat(path.c_str(), &mine) != 0)
    return;
  if (mine.st_uid != st.st_uid || mine.st_gid != st.st_gid)
    if (chown(path.c_str(), st.st_uid, st.st_gid) != 0)
      log_write("db: cannot give %s to the store's owner: %s\n", path.c_str(), strerror(errno));
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

// Brings the store from `from` to SCHEMA_VERSION in one transaction.
bool upgrade(sqlite3 *db, int from) {
  if (!sqlite_run(db, "BEGIN IMMEDIATE")) return false;
  bool ok = true;
  for (int v = from; ok && v < SCHEMA_VERSION; v++) ok = sqlite_run(db, schema_steps[v]);
  const std::string set_version = "PRAGMA user_version = " + std::to_string(SCHEMA_VERSION);
  ok = ok && sqlite_run(db, set_version.c_str()) && sqlite_run(db, "COMMIT");
  if (!ok) sqlite_run(db, "ROLLBACK");
  return ok;
}

// Copies the whole database behind `src` into a new file at `dest`, by way
// of a temporary file beside it, so that `dest` is never half written.
bool copy_database(sqlite3 *src, const std::string &dest) {
  std::string temp = dest + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    log_write("db: cannot create a file beside %s: %s\n", dest.c_str(), strerror(errno));
    return false;
  }
  fchmod(fd, 0600);
  close(fd);
  sqlite3 *out = nullptr;
  bool ok = sqlite3_open_v2(temp.c_str(), &out, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
  if (ok) {
    // One step: the whole snapshot is read inside one read transaction.
    sqlite3_backup *b = sqlite3_backup_init(out, "main", src, "main");
    ok = b && sqlite3_backup_step(b, -1) == SQLITE_DONE;
    if (sqlite3_backup_finish(b) != SQLITE_OK) ok = false;
    if (!ok) log_write("db: copy to %s failed: %s\n", dest.c_str(), sqlite3_errmsg(out));
  } else {
    log_write("db: cannot open %s\n", temp.c_str());
  }
  // Closing checkpoints the copy into its one file.
  if (sqlite3_close(out) != SQLITE_OK) ok = false;
  fd = ok ? open(temp.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  ok = ok && fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (ok && rename(temp.c_str(), dest.c_str()) != 0) {
    log_write("db: cannot write %s: %s\n", dest.c_str(), strerror(errno));
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

}  // namespace

std::unique_ptr<store> open_sqlite_store(const std::string &path) {
  if (path != ":memory:" && !make_private(path)) return nullptr;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    log_write("db: cannot open %s: %s\n", path.c_str(), db ? sqlite3_errmsg(db) : "no memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  bool ok = sqlite_run(db, "PRAGMA journal_mode = WAL") &&
            sqlite_run(db, "PRAGMA synchronous = FULL") &&
            sqlite_run(db, "PRAGMA foreign_keys = ON");
  for (const char *suffix : {"-wal", "-shm"}) give_to_owner_of(path, path + suffix);
  int version = ok ? user_version(db) : -1;
  if (ok && version == 0) {
    ok = upgrade(db, 0);
    if (ok) log_write("db: created %s (schema %d)\n", path.c_str(), SCHEMA_VERSION);
  } else if (ok && version > 0 && version < SCHEMA_VERSION) {
    const std::string copy = path + ".schema-" + std::to_string(version) + ".bak";
    ok = copy_database(db, copy);
    if (ok) give_to_owner_of(path, copy);
    ok = ok && upgrade(db, version);
    if (ok)
      log_write("db: upgraded %s from schema %d to %d; the old store is kept as %s\n", path.c_str(),
                version, SCHEMA_VERSION, copy.c_str());
    else
      log_write("db: could not upgrade %s from schema %d; it is unchanged\n", path.c_str(),
                version);
  } else if (ok && version > SCHEMA_VERSION) {
    log_write(
        "db: %s has schema %d, newer than this server's %d; run the newer quilmar-server "
        "or restore a backup made by this one\n",
        path.c_str(), version, SCHEMA_VERSION);
    ok = false;
  } else if (ok && version < 0) {
    log_write("db: %s is not a store: %s\n", path.c_str(), sqlite3_errmsg(db));
    ok = false;
  }
  if (!ok) {
    sqlite3_close(db);
    return nullptr;
  }
  return sqlite_store_over(db);
}

bool backup_sqlite_store(const std::string &path, const std::string &dest, store_counts &copied) {
  sqlite3 *db = nullptr;
  // No CREATE: a missing store is an error, not an empty backup.
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    log_write("db: cannot open %s: %s\n", path.c_str(), db ? sqlite3_errmsg(db) : "no memory");
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 5000);
  bool ok = user_version(db) > 0;
  if (!ok) log_write("db: %s is not a store\n", path.c_str());
  ok = ok && copy_database(db, dest);
  sqlite3_close(db);
  if (!ok) return false;
  // Read back: the copy must open and hold what it should.
  sqlite3 *copy = nullptr;
  ok = sqlite3_open_v2(dest.c_str(), &copy, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
  if (ok) {
    stmt check(copy, "PRAGMA quick_check");
    ok = check.step() == SQLITE_ROW && check.blob(0) == "ok";
  }
  if (ok) {
    stmt count(copy, "SELECT (SELECT count(*) FROM account), (SELECT count(*) FROM network)");
    ok = count.step() == SQLITE_ROW;
    copied.accounts = ok ? size_t(count.integer(0)) : 0;
    copied.networks = ok ? size_t(count.integer(1)) : 0;
  }
  if (!ok) log_write("db: the copy %s does not read back\n", dest.c_str());
  sqlite3_close(copy);
  return ok;
}
