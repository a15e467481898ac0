// A pipe stacked on another one: by default every operation goes down to the
// lower pipe and every report goes up to the owner. buf_pipe and dgm_pipe
// override only what they add. The layer counts itself in `live` and owns the
// creator's reference to the lower pipe.
#pragma once

#include "common/log.h"
#include "stack/io_pipe.h"

class layered_pipe : public io_pipe, public io_pipe_cb, public ref_counted {
 public:
  layered_pipe(io_pipe *lower, uint32_t limit, gauge &live)
      : io(lower), limit(limit), live(live) {
    gauge_add(live, 1);
  }
  ~layered_pipe() override { gauge_sub(live, 1); }

  void attach(io_pipe_cb *_cb) override {
    QUILMAR_ASSERT(! cb && _cb);
    cb = _cb;
    if (io) io->attach(this);
  }
  int send(const std::string &bytes) override { return io ? io->send(bytes) : 0; }
  void close() override {
    if (!io) {
      QUILMAR_ASSERT(io);
      return;
    }
    io->close();
    io = nullptr;
    cb = nullptr;
    release();
  }
  void suspend() override {
    if (io) io->suspend();
  }
  void resume() override {
    if (io) io->resume();
  }
  void get_stats(io_stats *stats) override {
    if (io) io->get_stats(stats);
  }
  void set_limit(uint32_t new_limit) override { limit = new_limit; }

  void on_ready() override {
    if (cb) cb->on_ready();
  }
  void on_data(std::string &bytes) override {
    if (cb) cb->on_data(bytes);
  }
  void on_closed() override {
    if (cb) cb->on_closed();
  }
  void on_error(const char *context, int code) override {
    if (cb) cb->on_error(context, code);
  }

 protected:
  io_pipe_cb *cb = nullptr;  // the owner; null once closed
  io_pipe *io;               // the lower pipe; null once closed
  uint32_t limit;

 private:
  gauge &live;
};
