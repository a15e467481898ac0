// Stackable byte and frame channels: tcp_pipe owns a TCP socket and sends
// without buffering, buf_pipe adds a bounded send queue on top of another
// pipe, dgm_pipe cuts the received stream into length-prefixed frames.
//
// Whoever creates a pipe holds its first reference and gives it up with
// `close`; a pipe stacked on another takes over the reference to the lower
// one, so closing the top closes the whole stack. Callbacks come only from
// inside evl_run (or, for errors, from inside `send`), and an owner may
// `close` or `send` from any of them: each pipe keeps itself alive until its
// handler has returned. After `close` the owner must forget the pointer.
#pragma once

#include <cstdint>
#include <string>

#include "common/util.h"

// Traffic counters of a stack; tcp_pipe fills the first two, buf_pipe the rest.
struct io_stats {
  uint32_t sent;       // bytes taken by the socket
  uint32_t received;   // bytes read from the socket
  uint32_t peak_held;  // most bytes ever waiting in the send queue
  uint32_t held;       // bytes waiting in the send queue now
};

// What a pipe reports to the object above it.
class io_pipe_cb {
 public:
  // The connection is writable. The first report means it is established;
  // a tcp_pipe repeats it after a partly taken send has drained, a buf_pipe
  // passes it on only once.
  virtual void on_ready() = 0;
  // Bytes (through a dgm_pipe: one whole frame, length field included). The
  // receiver may change the string; it is discarded after the call.
  virtual void on_data(std::string &bytes) = 0;
  // The peer ended the stream. The pipe has stopped watching its socket.
  virtual void on_closed() = 0;
  // An operation failed; `context` names it ("send", "recv", "unblock",
  // "hmm", "overflow", "too big") and `code` is an error number or a size.
  virtual void on_error(const char *context, int code) = 0;

 protected:
  ~io_pipe_cb() = default;
};

class io_pipe {
 public:
  // Starts operation; `owner` receives every callback from now on.
  virtual void attach(io_pipe_cb *owner) = 0;
  // Offers bytes; returns how many were taken (0 before attach and after close).
  virtual int send(const std::string &bytes) = 0;
  // Detaches the owner and gives up the creator's reference. Call once.
  virtual void close() = 0;
  // No callbacks between suspend and resume; a buf_pipe queues sends meanwhile.
  virtual void suspend() = 0;
  virtual void resume() = 0;
  virtual void get_stats(io_stats *stats) = 0;
  // Changes the bound given at creation (a dgm_pipe's largest frame, a
  // buf_pipe's send queue); a pipe without one ignores it.
  virtual void set_limit(uint32_t limit) { (void)limit; }
  virtual ~io_pipe() = default;
};

// Keeps an object alive: it starts with the creator's reference and
// destroys itself when the last one is released.
class ref_counted {
 public:
  virtual ~ref_counted() = default;
  void add_ref() { refcount++; }
  void release() {
    if (--refcount == 0) delete this;
  }
  int refcount = 1;
};

// Takes a reference for the lifetime of a scope; the object may be
// destroyed when the scope ends.
class ref_hold {
 public:
  explicit ref_hold(ref_counted *object) : object_(object) { object_->add_ref(); }
  ~ref_hold() { object_->release(); }
  ref_hold(const ref_hold &) = delete;
  ref_hold &operator=(const ref_hold &) = delete;

 private:
  ref_counted *object_;
};

// Takes over the socket `fd` (connected or connecting) and closes it when
// the last reference goes. The socket is made non-blocking on attach.
io_pipe *tcp_pipe_create(int fd);
// Stack on `lower`, taking over the creator's reference to it. `limit` is
// the most bytes buf_pipe will hold, and the largest frame body dgm_pipe
// accepts.
io_pipe *buf_pipe_create(io_pipe *lower, uint32_t limit);
io_pipe *dgm_pipe_create(io_pipe *lower, uint32_t limit);

// Live objects of each kind.
extern gauge tcp_pipe_gauge;
extern gauge buf_pipe_gauge;
extern gauge dgm_pipe_gauge;
