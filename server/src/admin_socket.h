// The administration socket of a running server, DIR/admin.sock: made
// owner-only, accepting peers that run as the server's own user or as root
// (checked with SO_PEERCRED). Each connection carries one request and its
// reply (admin_wire.h). A command runs whole inside the event-loop callback
// that received it, so it sees and changes the hub between two client
// messages, never in the middle of one.
//
// Lifetime: the object borrows the hub and must go before it. Connections
// that end are torn down from its timer, never inside their own callbacks.
#pragma once

#include <memory>
#include <string>

class hub;

class admin_socket {
 public:
  virtual ~admin_socket() = default;  // stops listening, removes the socket file
};

// Listens on DIR/admin.sock for `h`; null after a log line.
std::unique_ptr<admin_socket> admin_socket_start(hub &h, const std::string &dir);
