// tapwarden's service: one listening socket, many clients, one poll loop.
// Every socket is non-blocking, so a slow or hostile client only ever
// costs itself; the loop runs until SIGTERM, SIGINT or SIGHUP.
#pragma once

#include <sys/types.h>

#include <string>

// Leaves room for the tunnel on a 1500-byte path (see TUNNEL_MAX_MTU).
constexpr int DEFAULT_MTU = 1400;

struct warden_options {
  std::string socket_path = "/var/run/tapwarden.sock";
  bool group_set = false;  // without a group only root may connect
  gid_t group = 0;
  int mtu = DEFAULT_MTU;
  int max_clients = 32;
};

// Serves until told to stop; returns the process's exit status.
int warden_run(const warden_options &options);
