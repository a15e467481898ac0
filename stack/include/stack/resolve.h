// Host name lookup without blocking the event loop: each lookup runs in a
// short-lived child process that writes its answer into a pipe watched by
// the loop. One lookup at a time per process; the requester hears exactly
// one on_resolved, from inside evl_run, or at once when it cannot start.
// Ended children are reaped by whoever handles SIGCHLD, not here.
#pragma once

#include <cstdint>

constexpr int RESOLVE_MAX_ADDRS = 64;

class resolve_cb {
 public:
  // `addrs` holds `count` IPv4 addresses in network byte order. On failure
  // count is 0 and `addrs` must not be read; `error` is the errno the lookup
  // left (often 0), or -1 when the lookup could not be run or its answer
  // was lost.
  virtual void on_resolved(int error, const uint32_t *addrs, int count) = 0;

 protected:
  ~resolve_cb() = default;
};

// Starts a lookup of `host` for `requester`. While another lookup is
// outstanding the new requester is told -1 and 0 at once.
void resolve(const char *host, resolve_cb *requester);
// Drops the outstanding lookup if `requester` owns it; it hears nothing.
void resolve_cancel(resolve_cb *requester);
