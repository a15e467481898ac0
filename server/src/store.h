// What the server keeps across restarts: accounts, networks and
// memberships. The server talks to the store only through this interface,
// so that a larger deployment can put it on a database server: it lives in
// an SQLite file (the default) or in a PostgreSQL database that several
// servers share.
//
// Every changing call is one transaction: when it returns STORE_ok the
// change is on disk. Read calls return false (or an empty list) when the
// record does not exist; store errors are logged where they happen and read
// as "not there" or STORE_error.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct account_rec {
  uint32_t identity = 0;   // virtual address in 5.0.0.0/8
  std::string public_key;  // serialised with 7-bit-group lengths
  std::string nickname;
  int64_t first_seen = 0;  // seconds since the epoch
  int64_t last_seen = 0;
};

struct network_rec {
  std::string name;
  uint32_t owner = 0;
  std::string salt;        // per network, random
  std::string hash;        // PBKDF2-HMAC-SHA256 of the password
  uint32_t iterations = 0;
};

// A key that asked to enrol while the server admits only approved keys.
struct pending_rec {
  std::string key_id;      // short digest of the public key (enrolment.h)
  std::string public_key;  // as in account_rec
  std::string nickname;
  std::string source;      // "a.b.c.d:port" of the latest attempt
  int64_t requested = 0;   // seconds since the epoch, of the latest attempt
  bool approved = false;
};

struct membership_rec {
  std::string network;
  uint32_t identity = 0;
};

struct store_counts {
  size_t accounts = 0;
  size_t networks = 0;
  size_t pending = 0;
};

enum store_result { STORE_ok, STORE_exists, STORE_missing, STORE_error };

class store {
 public:
  virtual ~store() = default;

  // STORE_exists when the identity is taken.
  virtual store_result add_account(const account_rec &account) = 0;
  virtual bool find_account(uint32_t identity, account_rec &account) = 0;
  virtual store_result set_nickname(uint32_t identity, const std::string &nickname) = 0;
  // Many at once, in one transaction: last-seen times are written in
  // batches, not at every login.
  virtual store_result set_last_seen(const std::map<uint32_t, int64_t> &times) = 0;

  // Adds the network and its owner as its first member; STORE_exists when
  // the name is taken.
  virtual store_result add_network(const network_rec &network) = 0;
  virtual bool find_network(const std::string &name, network_rec &network) = 0;
  // Removes the network with all its memberships.
  virtual store_result delete_network(const std::string &name) = 0;

  virtual store_result add_member(const std::string &network, uint32_t identity) = 0;
  // STORE_missing when the identity was not a member.
  virtual store_result remove_member(const std::string &network, uint32_t identity) = 0;
  virtual bool is_member(const std::string &network, uint32_t identity) = 0;
  // In the order they joined.
  virtual std::vector<uint32_t> members(const std::string &network) = 0;
  // Networks of which the identity is a member, in the order it joined them.
  virtual std::vector<std::string> networks_of(uint32_t identity) = 0;

  // ---- Administration ----
  // Every account, in the order they enrolled.
  virtual std::vector<account_rec> accounts() = 0;
  // Removes the account with its memberships and bans; STORE_missing when
  // there is none, STORE_exists while it owns a network.
  virtual store_result remove_account(uint32_t identity) = 0;
  // Every network, by name.
  virtual std::vector<network_rec> networks() = 0;
  // Every membership, in the order they began.
  virtual std::vector<membership_rec> memberships() = 0;
  // Hands the network to `identity`, making it a member when it was not.
  virtual store_result set_owner(const std::string &network, uint32_t identity) = 0;
  // Writes the salt, hash and iterations of `network`.
  virtual store_result set_password(const network_rec &network) = 0;
  // Ends the identity's membership, if any, and keeps it out.
  virtual store_result ban(const std::string &network, uint32_t identity) = 0;
  // STORE_missing when the identity was not banned.
  virtual store_result unban(const std::string &network, uint32_t identity) = 0;
  virtual bool is_banned(const std::string &network, uint32_t identity) = 0;
  // In the order they were banned.
  virtual std::vector<uint32_t> banned(const std::string &network) = 0;
  virtual store_counts counts() = 0;

  // ---- Enrolment awaiting approval ----
  // Records the key's request, or refreshes its nickname, source and time
  // (an approval stays).
  virtual store_result put_pending(const pending_rec &request) = 0;
  virtual bool find_pending(const std::string &key_id, pending_rec &request) = 0;
  // Oldest request first.
  virtual std::vector<pending_rec> pending() = 0;
  // STORE_missing when no request has that key ID.
  virtual store_result approve_pending(const std::string &key_id) = 0;
  virtual store_result remove_pending(const std::string &key_id) = 0;
  // Adds the account and uses up the key's approval in one transaction;
  // STORE_missing when the key is not approved.
  virtual store_result add_approved_account(const account_rec &account,
                                            const std::string &key_id) = 0;
};

// Opens (creating when needed) the SQLite store at `path`; ":memory:" keeps
// it in memory. Null, after a log line, when the file cannot be used.
// A store of an older schema is first copied (beside it, as
// PATH.schema-N.bak) and then upgraded in one transaction; one of a newer
// schema is refused.
std::unique_ptr<store> open_sqlite_store(const std::string &path);
// Writes a consistent copy of the SQLite store at `path` to `dest`
// (replaced whole, mode 0600) while servers may go on using the store, and
// counts what the copy holds. False after a log line.
bool backup_sqlite_store(const std::string &path, const std::string &dest, store_counts &copied);

// Opens the store in the PostgreSQL database at `conninfo` (a libpq
// connection string or postgresql:// URI), creating its tables in a
// database without them. A store of an older schema is upgraded in one
// transaction; one of a newer schema is refused. Null after a log line.
//
// Each call is one round trip (a change, one transaction) on the caller's
// thread, bounded by a 10 s statement timeout, as with SQLite, where each
// call is a file access. A running server makes these calls on its store
// worker's thread only (store_worker.h), never on its event loop's. What is
// frequent and fans out, the cluster's presence, runs asynchronously in the
// event loop instead (cluster.h).
std::unique_ptr<store> open_postgresql_store(const std::string &conninfo);
int postgresql_schema_version();
// Copies every record of `from` (accounts with their keys, networks with
// their password hashes, memberships in order, bans, keys awaiting
// approval) into the PostgreSQL database at `conninfo`, in one transaction;
// refused when it already holds a store. False after a log line.
bool copy_to_postgresql(store &from, const std::string &conninfo, store_counts &copied);
// "postgresql://..." and "postgres://..." name PostgreSQL stores.
bool is_postgresql_url(const std::string &text);
