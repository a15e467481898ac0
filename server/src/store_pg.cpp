// The store in a PostgreSQL database, which several servers may share: the
// same records and orders as the SQLite store, kept by the database's own
// keys and transactions, so that an identity or a network name taken by one
// server is taken for all. Opening, the schema and the copy from SQLite are
// in store_pg_schema.cpp.
#include "pg_util.h"

namespace {

#define PENDING_COLUMNS "key_id, public_key, nickname, source, requested, approved"

class pg_store final : public store {
 public:
  explicit pg_store(std::unique_ptr<pg_connection> conn) : db(std::move(conn)) {}

  store_result add_account(const account_rec &a) override {
    return pg_connection::done(db->run("INSERT INTO account VALUES ($1, $2, $3, $4, $5)",
                                       {a.identity, a.public_key, a.nickname, a.first_seen,
                                        a.last_seen}));
  }

  bool find_account(uint32_t identity, account_rec &a) override {
    pg_result r = db->run(
        "SELECT public_key, nickname, first_seen, last_seen FROM account WHERE identity = $1",
        {identity});
    if (r.rows() != 1) return false;
    a.identity = identity;
    a.public_key = r.bytes(0, 0);
    a.nickname = r.bytes(0, 1);
    a.first_seen = r.integer(0, 2);
    a.last_seen = r.integer(0, 3);
    return true;
  }

  store_result set_nickname(uint32_t identity, const std::string &nickname) override {
    return pg_connection::changed(
        db->run("UPDATE account SET nickname = $1 WHERE identity = $2", {nickname, identity}));
  }

  store_result set_last_seen(const std::map<uint32_t, int64_t> &times) override {
    if (!db->begin()) return STORE_error;
    store_result r = STORE_ok;
    for (const auto &t : times) {
      r = pg_connection::done(
          db->run("UPDATE account SET last_seen = $1 WHERE identity = $2", {t.second, t.first}));
      if (r != STORE_ok) break;
    }
    return db->end(r);
  }

  store_result add_network(const network_rec &n) override {
    if (!db->begin()) return STORE_error;
    store_result r = pg_connection::done(db->run(
        "INSERT INTO network VALUES ($1, $2, $3, $4, $5)",
        {n.name, n.owner, n.salt, n.hash, int64_t(n.iterations)}));
    if (r == STORE_ok) r = insert_member(n.name, n.owner);
    return db->end(r);
  }

  bool find_network(const std::string &name, network_rec &n) override {
    pg_result r =
        db->run("SELECT owner, salt, hash, iterations FROM network WHERE name = $1", {name});
    if (r.rows() != 1) return false;
    n.name = name;
    n.owner = uint32_t(r.integer(0, 0));
    n.salt = r.bytes(0, 1);
    n.hash = r.bytes(0, 2);
    n.iterations = uint32_t(r.integer(0, 3));
    return true;
  }

  store_result delete_network(const std::string &name) override {
    // Memberships and bans go with it (ON DELETE CASCADE).
    return pg_connection::changed(db->run("DELETE FROM network WHERE name = $1", {name}));
  }

  store_result add_member(const std::string &network, uint32_t identity) override {
    return insert_member(network, identity);
  }

  store_result remove_member(const std::string &network, uint32_t identity) override {
    return pg_connection::changed(
        db->run("DELETE FROM member WHERE network = $1 AND identity = $2", {network, identity}));
  }

  bool is_member(const std::string &network, uint32_t identity) override {
    return db->run("SELECT 1 FROM member WHERE network = $1 AND identity = $2",
                   {network, identity})
               .rows() > 0;
  }

  std::vector<uint32_t> members(const std::string &network) override {
    return identities(
        db->run("SELECT identity FROM member WHERE network = $1 ORDER BY seq", {network}));
  }

  std::vector<std::string> networks_of(uint32_t identity) override {
    pg_result r =
        db->run("SELECT network FROM member WHERE identity = $1 ORDER BY seq", {identity});
    std::vector<std::string> out;
    for (int i = 0; i < r.rows(); i++) out.push_back(r.bytes(i, 0));
    return out;
  }

  // ---- Administration ----

  std::vector<account_rec> accounts() override {
    pg_result r = db->run(
        "SELECT identity, public_key, nickname, first_seen, last_seen FROM account "
        "ORDER BY first_seen, identity");
    std::vector<account_rec> out;
    for (int i = 0; i < r.rows(); i++) {
      account_rec a;
      a.identity = uint32_t(r.integer(i, 0));
      a.public_key = r.bytes(i, 1);
      a.nickname = r.bytes(i, 2);
      a.first_seen = r.integer(i, 3);
      a.last_seen = r.integer(i, 4);
      out.push_back(a);
    }
    return out;
  }

  store_result remove_account(uint32_t identity) override {
    if (!db->begin()) return STORE_error;
    store_result r = STORE_ok;
    for (const char *sql :
         {"DELETE FROM member WHERE identity = $1", "DELETE FROM ban WHERE identity = $1"})
      if (r == STORE_ok) r = pg_connection::done(db->run(sql, {identity}));
    if (r == STORE_ok)
      r = pg_connection::changed(db->run("DELETE FROM account WHERE identity = $1", {identity}));
    return db->end(r);
  }

  std::vector<network_rec> networks() override {
    pg_result r =
        db->run("SELECT name, owner, salt, hash, iterations FROM network ORDER BY name");
    std::vector<network_rec> out;
    for (int i = 0; i < r.rows(); i++) {
      network_rec n;
      n.name = r.bytes(i, 0);
      n.owner = uint32_t(r.integer(i, 1));
      n.salt = r.bytes(i, 2);
      n.hash = r.bytes(i, 3);
      n.iterations = uint32_t(r.integer(i, 4));
      out.push_back(n);
    }
    return out;
  }

  std::vector<membership_rec> memberships() override {
    pg_result r = db->run("SELECT network, identity FROM member ORDER BY seq");
    std::vector<membership_rec> out;
    for (int i = 0; i < r.rows(); i++)
      out.push_back({r.bytes(i, 0), uint32_t(r.integer(i, 1))});
    return out;
  }

  store_result set_owner(const std::string &network, uint32_t identity) override {
    if (!db->begin()) return STORE_error;
    store_result r = pg_connection::changed(
        db->run("UPDATE network SET owner = $1 WHERE name = $2", {identity, network}));
    if (r == STORE_ok && !is_member(network, identity)) r = insert_member(network, identity);
    return db->end(r);
  }

  store_result set_password(const network_rec &n) override {
    return pg_connection::changed(
        db->run("UPDATE network SET salt = $1, hash = $2, iterations = $3 WHERE name = $4",
                {n.salt, n.hash, int64_t(n.iterations), n.name}));
  }

  store_result ban(const std::string &network, uint32_t identity) override {
    if (!db->begin()) return STORE_error;
    store_result r = remove_member(network, identity);
    if (r == STORE_missing) r = STORE_ok;
    if (r == STORE_ok)
      r = pg_connection::done(
          db->run("INSERT INTO ban (network, identity) VALUES ($1, $2)", {network, identity}));
    return db->end(r);
  }

  store_result unban(const std::string &network, uint32_t identity) override {
    return pg_connection::changed(
        db->run("DELETE FROM ban WHERE network = $1 AND identity = $2", {network, identity}));
  }

  bool is_banned(const std::string &network, uint32_t identity) override {
    return db->run("SELECT 1 FROM ban WHERE network = $1 AND identity = $2", {network, identity})
               .rows() > 0;
  }

  std::vector<uint32_t> banned(const std::string &network) override {
    return identities(
        db->run("SELECT identity FROM ban WHERE network = $1 ORDER BY seq", {network}));
  }

  store_counts counts() override {
    store_counts c;
    pg_result r = db->run(
        "SELECT (SELECT count(*) FROM account), (SELECT count(*) FROM network), "
        "(SELECT count(*) FROM pending)");
    if (r.rows() == 1) {
      c.accounts = size_t(r.integer(0, 0));
      c.networks = size_t(r.integer(0, 1));
      c.pending = size_t(r.integer(0, 2));
    }
    return c;
  }

  // ---- Enrolment awaiting approval ----

  store_result put_pending(const pending_rec &p) override {
    return pg_connection::done(db->run(
        "INSERT INTO pending (key_id, public_key, nickname, source, requested) "
        "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (key_id) DO UPDATE SET "
        "nickname = excluded.nickname, source = excluded.source, requested = excluded.requested",
        {p.key_id, p.public_key, p.nickname, p.source, p.requested}));
  }

  bool find_pending(const std::string &key_id, pending_rec &p) override {
    pg_result r = db->run("SELECT " PENDING_COLUMNS " FROM pending WHERE key_id = $1", {key_id});
    if (r.rows() != 1) return false;
    p = pending_from(r, 0);
    return true;
  }

  std::vector<pending_rec> pending() override {
    pg_result r = db->run("SELECT " PENDING_COLUMNS " FROM pending ORDER BY requested, key_id");
    std::vector<pending_rec> out;
    for (int i = 0; i < r.rows(); i++) out.push_back(pending_from(r, i));
    return out;
  }

  store_result approve_pending(const std::string &key_id) override {
    return pg_connection::changed(
        db->run("UPDATE pending SET approved = 1 WHERE key_id = $1", {key_id}));
  }

  store_result remove_pending(const std::string &key_id) override {
    return pg_connection::changed(db->run("DELETE FROM pending WHERE key_id = $1", {key_id}));
  }

  store_result add_approved_account(const account_rec &a, const std::string &key_id) override {
    if (!db->begin()) return STORE_error;
    store_result r = pg_connection::changed(
        db->run("DELETE FROM pending WHERE key_id = $1 AND approved = 1", {key_id}));
    if (r == STORE_ok) r = add_account(a);
    return db->end(r);
  }

 private:
  static pending_rec pending_from(const pg_result &r, int row) {
    pending_rec p;
    p.key_id = r.bytes(row, 0);
    p.public_key = r.bytes(row, 1);
    p.nickname = r.bytes(row, 2);
    p.source = r.bytes(row, 3);
    p.requested = r.integer(row, 4);
    p.approved = r.integer(row, 5) != 0;
    return p;
  }

  static std::vector<uint32_t> identities(const pg_result &r) {
    std::vector<uint32_t> out;
    for (int i = 0; i < r.rows(); i++) out.push_back(uint32_t(r.integer(i, 0)));
    return out;
  }

  store_result insert_member(const std::string &network, uint32_t identity) {
    return pg_connection::done(
        db->run("INSERT INTO member (network, identity) VALUES ($1, $2)", {network, identity}));
  }

  std::unique_ptr<pg_connection> db;
};

}  // namespace

std::unique_ptr<store> postgresql_store_over(std::unique_ptr<pg_connection> conn) {
  return std::unique_ptr<store>(new pg_store(std::move(conn)));
}
