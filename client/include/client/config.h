// The process-wide configuration. `current_config` is what the daemon runs
// with (loaded from the configuration directory at start-up and changed by
// the session afterwards); `default_config` keeps the built-in values and is
// never loaded.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "common/version.h"
#include "crypto/bignum.h"

// Deployment values, chosen when the client is built: the default mediation
// server and its public key, serialised with 7-bit-group lengths.
extern const char builtin_server_host[];
extern const unsigned char builtin_server_key[];
extern const size_t builtin_server_key_size;

struct config {
  std::string cfg_path = "~/.quilmar";
  std::string ipc_path;
  bool dummy_tap = false;
  bool daemon = true;
  std::string on_online;
  std::string on_offline;
  std::string server_host = builtin_server_host;
  uint32_t server_port = 12975;
  rsa_public_key server_key;
  std::string server_key_digest;  // SHA-1 fingerprint of server_key
  std::string version = "quilmar-lnx-" QUILMAR_VERSION;  // sent at login
  uint32_t identity = 0;
  uint32_t netmask = 0xff000000;
  std::string nickname;
  rsa_public_key client_pub;
  rsa_private_key client_pri;
  std::string log_file;
  uint32_t udp_port = 0;
  uint32_t sync_stamp = 0;
  uint32_t reconnect_min = 1000;
  uint32_t reconnect_max = 3000;
  uint32_t server_keepalive = 90000;
  uint32_t keepalive = 90000;
  uint32_t tx_rate = 0;
  uint32_t rx_rate = 0;
  bool auto_login = false;
  std::set<std::string> online_nets;
  std::string rename_to;
};

extern config current_config;
extern const config default_config;

// Reads the configuration directory named by cfg.cfg_path: config, the
// server key and its fingerprint, the client's keys, then state. False
// means the daemon must stop; the reason has been logged.
bool load_config(config &cfg);
// Replaces the state file with the persisted fields that differ from the
// built-in values. The old file stays whole if the new one cannot be
// written completely.
bool save_state(const config &cfg);
// Parses a key file (at most 2048 bytes are read; the rest is ignored).
bool read_key_file(const std::string &path, rsa_public_key &key);
bool read_key_file(const std::string &path, rsa_private_key &key);
// Splits one line of config or state into key and value; false for blank
// lines, comments and keys without a value.
bool split_entry(const char *line, std::string &key, std::string &value);
