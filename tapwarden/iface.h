// tapwarden's dealings with the kernel: creating a tap interface and
// assigning it an address. Each call returns 0 or a result code (step in
// the top byte, error number below) ready to be sent to the client.
#pragma once

#include <net/if.h>

#include <cstdint>
#include <string>

struct tap_iface {
  int fd = -1;           // the open tap device; the interface lives with it
  int index = 0;         // interface index: unlike names, never reused
  char name[IFNAMSIZ] = {};
  uint8_t mac[6] = {};
};

// Creates a tap interface without packet information header and gives it
// `mtu`. On failure nothing is left open.
int32_t tap_create(int mtu, tap_iface &out);

// Only addresses in 5.0.0.0/8 with a contiguous mask of at least /8 may be
// handed out: the requests come from unprivileged processes.
bool request_allowed(uint32_t address, uint32_t netmask);

// Assigns address and netmask to the interface with `index` and brings it
// up. `name` receives the interface's current name, for the log.
int32_t tap_configure(int index, uint32_t address, uint32_t netmask, std::string &name);
