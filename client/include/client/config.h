// The process-wide configuration. `current_config` is what the daemon runs
// with (loaded from the configuration directory at start-up and changed by
// the session afterwards); `default_config` keeps the built-in values and is
// never loaded.
#pragma once

#include <cstdint>
#include <set>
#include <string>

struct config {
  std::string cfg_path = "~/.quilmar";
  std::string ipc_path;
  bool dummy_tap = false;
  bool daemon = true;
  std::string on_online;
  std::string on_offline;
  std::string server_host;
  uint32_t server_port = 12975;
  std::string version = "quilmar-lnx-0.9.9.9-17";
  uint32_t identity = 0;
  uint32_t netmask = 0xff000000;
  std::string nickname;
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
