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
// `mtu`; with `vnet_hdr`, every frame carries a virtio-net header in front.
// On failure nothing is left open.
int32_t tap_create(int mtu, tap_iface &out, bool vnet_hdr = false);

// Only addresses in 5.0.0.0/8 with the netmask 255.0.0.0 (what every
// daemon asks for) may be handed out: the requests come from unprivileged
// processes, and a longer mask would win the routes of another user's
// interface.
bool request_allowed(uint32_t address, uint32_t netmask);

// The name of an interface other than the one with `index` that carries
// `address`, or empty: a second interface with the same address would
// take traffic meant for the first.
std::string address_holder(uint32_t address, int index);

// Assigns address and netmask to the interface with `index` and brings it
// up. `name` receives the interface's current name, for the log.
int32_t tap_configure(int index, uint32_t address, uint32_t netmask, std::string &name);
