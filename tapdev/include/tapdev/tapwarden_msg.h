// What passes between the tap device and tapwarden over its Unix-domain
// socket. Shared by both sides; numbers travel in host byte order.
//
// tapwarden speaks first: a 10-byte greeting (result code, hardware address)
// carrying the tap descriptor as SCM_RIGHTS when the code is 0. Then each
// 8-byte configuration request (address, netmask) gets a 4-byte result code.
//
// One request of our own rides on the same layout: address
// TAPW_OFFLOAD_ADDRESS with netmask TAPW_OFFLOAD_MAGIC asks, once, for the
// interface to be made anew with a virtio-net header in front of every
// frame (IFF_VNET_HDR), so that the client can turn on TCP offloads. A
// tapwarden that knows the request answers with a new greeting carrying the
// new descriptor, and the old interface goes when the client closes the old
// one; a tapwarden that does not know it refuses it, as any request for an
// address outside 5.0.0.0/8, with a 4-byte code, and nothing else changes.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "common/util.h"

// The step that failed, kept in bits 24 to 31 of a result code; bits 0 to
// 15 carry the error number of that step.
enum {
  TAPW_ok = 0,
  TAPW_too_many_clients = 1,
  TAPW_open_tun = 2,        // open("/dev/net/tun")
  TAPW_set_iff = 3,         // creating the interface (TUNSETIFF, its MTU)
  TAPW_socket = 4,          // the datagram socket for interface ioctls
  TAPW_get_hwaddr = 5,      // SIOCGIFHWADDR
  TAPW_bad_request = 6,     // address or netmask refused
  TAPW_config_failed = 7,   // assigning the address or bringing it up
};

constexpr int32_t tapw_code(int step, int error) {
  return static_cast<int32_t>((static_cast<uint32_t>(step) << 24) |
                              (static_cast<uint32_t>(error) & 0xffff));
}

constexpr int TAPW_GREETING_SIZE = 10;  // int32 code, 6-byte hardware address
constexpr int TAPW_REQUEST_SIZE = 8;    // uint32 address, uint32 netmask
constexpr int TAPW_ANSWER_SIZE = 4;     // int32 code

constexpr uint32_t TAPW_OFFLOAD_ADDRESS = 0;
constexpr uint32_t TAPW_OFFLOAD_MAGIC = 0x564e4554;  // "VNET"

// Sends a greeting of `size` bytes (normally TAPW_GREETING_SIZE) with `fd`
// attached as SCM_RIGHTS, or nothing attached when `fd` is negative; the
// result of sendmsg.
inline ssize_t tapw_send_greeting(int sock, const void *greeting, size_t size, int fd,
                                  int flags) {
  iovec iov = {const_cast<void *>(greeting), size};
  msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  int_control control;
  if (fd >= 0) attach_int_control(msg, control, SOL_SOCKET, SCM_RIGHTS, fd);
  return sendmsg(sock, &msg, flags);
}
