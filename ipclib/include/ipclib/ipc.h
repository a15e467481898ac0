// Transport of the control socket between the daemon and the command-line
// client: a Unix-domain stream socket carrying messages behind a 4-byte
// big-endian length. One listening endpoint (daemon) and at most one
// connection per process; the transport owns both and keeps them until the
// process ends or the owner closes them. Callbacks reach the owner only from inside evl_run, except
// on_close after a failed ipc_send, which comes from inside that call.
#pragma once

#include <cstdint>
#include <string>

// Longest message accepted from a peer. Real control messages are a few
// hundred bytes at most; a peer announcing more is treated as broken
// rather than buffered without bound.
constexpr uint32_t IPC_MAX_MESSAGE = 65536;

class ipc_cb {
 public:
  // The connection is established; called once, before any message.
  virtual void on_open() = 0;
  // The connection has ended (peer closed, receive or send failed). It is
  // gone when this returns; a new one may be started from here.
  virtual void on_close() = 0;
  // One complete message, without its length field.
  virtual void on_message(const std::string &message) = 0;

 protected:
  ~ipc_cb() = default;
};

// The socket path, set before listening or connecting.
void ipc_set_path(const std::string &path);
// Daemon side: removes whatever file sits at the path and listens there.
// Only processes of the same effective user, and root, are served; any
// other is closed at once (with a line in the log).
bool ipc_listen(ipc_cb *owner);
// Client side: connects to the path (blocking).
bool ipc_connect(ipc_cb *owner);
// Sends one message on the current connection, blocking until the socket
// has taken it. A failure ends the connection (owner's on_close) and
// returns false.
bool ipc_send(const std::string &message);
// Closes the connection and the listening endpoint, without callbacks, for
// an owner that is going away before the process ends. Listening or
// connecting afterwards starts afresh.
void ipc_close();
