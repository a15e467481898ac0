#include <algorithm>

#include "common/log.h"
#include "stack/io_pipe.h"

gauge dgm_pipe_gauge = {0, 0, 0, "dgm_pipe"};

namespace {

class dgm_pipe final : public io_pipe, public io_pipe_cb, public ref_counted {
 public:
  dgm_pipe(io_pipe *lower, uint32_t limit) : io(lower), limit(limit) {
    gauge_add(dgm_pipe_gauge, 1);
  }
  ~dgm_pipe() override { gauge_sub(dgm_pipe_gauge, 1); }

  void attach(io_pipe_cb *_cb) override {
    QUILMAR_ASSERT(! cb && _cb);
    cb = _cb;
    if (io) io->attach(this);
  }

  // The caller writes whole frames, length field included.
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

  void on_ready() override {
    if (cb) cb->on_ready();
  }
  void on_closed() override {
    if (cb) cb->on_closed();
  }
  void on_error(const char *context, int code) override {
    if (cb) cb->on_error(context, code);
  }

  // Cuts the stream into frames of a 4-byte big-endian length N and N more
  // bytes, and hands each whole frame (length included) upward.
  void on_data(std::string &chunk) override {
    if (!cb) return;
    ref_hold hold(this);
    rbuf += chunk;
    size_t pos = 0;
    while (rbuf.size() - pos > 3) {
      const auto *p = reinterpret_cast<const uint8_t *>(rbuf.data() + pos);
      uint32_t n = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
      if (n > limit) {
        // The stream cannot be framed any more; the owner should close.
        cb->on_error("too big", static_cast<int>(std::min<uint32_t>(n, INT32_MAX)));
        break;
      }
      size_t frame_size = size_t(n) + 4;
      if (rbuf.size() - pos < frame_size) break;
      std::string frame = rbuf.substr(pos, frame_size);
      pos += frame_size;
      cb->on_data(frame);
      if (!cb) break;
    }
    rbuf.erase(0, pos);
  }

 private:
  io_pipe_cb *cb = nullptr;
  io_pipe *io;
  std::string rbuf;  // received bytes not yet delivered as a frame
  uint32_t limit;
};

}  // namespace

io_pipe *dgm_pipe_create(io_pipe *lower, uint32_t limit) { return new dgm_pipe(lower, limit); }
