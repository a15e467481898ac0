// What each administration command does: it reads and changes the store
// and, when the server runs, applies the change to the connected clients
// as the protocol expects. The same code serves a command that came over
// the administration socket (inside the running server, on the event
// loop's thread) and one run by the command line on the store of a stopped
// server (under the directory's lock), so both give the same result.
//
// The store is changed first; the clients hear of a change only once it is
// on disk. Nothing here keeps state between commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "admin_wire.h"
#include "relay_table.h"
#include "store.h"

// A client's connection as the running server sees it.
struct client_presence {
  std::string endpoint;                // "a.b.c.d:port"; empty before discovery
  std::vector<std::string> online_in;  // networks it is online in
};

// What the running server counts (all 0 when it is not running).
struct live_figures {
  uint64_t clients_connected = 0;
  uint64_t clients_ready = 0;
  uint64_t logins = 0;
  uint64_t enrolments = 0;
  uint64_t refusals = 0;
  uint64_t uptime_s = 0;
  relay_stats relay;  // all 0 without a relay
};

// One statistic, under its JSON key; /metrics names it quilmar_<key>.
struct stat_entry {
  std::string key;
  std::string help;
  bool counter = false;  // only grows while the server runs; else a gauge
  uint64_t value = 0;
};

// The running server's half of each change. Null when the server is not
// running: then nobody is online and there is nobody to tell.
class admin_live {
 public:
  virtual ~admin_live() = default;
  // False when the client is not logged in.
  virtual bool presence(uint32_t identity, client_presence &p) = 0;
  // A last-seen time not in the store yet, or 0.
  virtual int64_t last_seen(uint32_t identity) = 0;
  virtual uint32_t password_iterations() = 0;
  virtual live_figures figures() = 0;
  // Each called after the store holds the change.
  virtual void client_removed(uint32_t identity, const std::vector<std::string> &networks) = 0;
  virtual void network_deleted(const std::string &name) = 0;
  virtual void member_banned(const std::string &name, uint32_t identity) = 0;
  virtual void owner_changed(const std::string &name, uint32_t owner, bool joined) = 0;
};

// Runs one command; the reply is admin_ok(result) or admin_error(text).
nlohmann::ordered_json admin_execute(const admin_request &request, store &db, admin_live *live);

// The commands on networks (admin_networks.cpp); `words` are the operands.
nlohmann::ordered_json admin_network_command(const admin_request &request, store &db,
                                             admin_live *live);

// The statistics: the running server's figures, then the store's counts.
std::vector<stat_entry> collect_stats(store &db, admin_live *live);

// ---- Shared by the command files ----
// An operand that must be a client's address; false with `error` set.
bool admin_address(const std::string &text, uint32_t &identity, std::string &error);
// "2026-01-02T03:04:05Z", or null for 0.
nlohmann::ordered_json iso_time(int64_t seconds);
