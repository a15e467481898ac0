#include <algorithm>

#include "io_layered_pipe.h"

gauge dgm_pipe_gauge = {0, 0, 0, "dgm_pipe"};

namespace {

class dgm_pipe final : public layered_pipe {
 public:
  dgm_pipe(io_pipe *lower, uint32_t limit) : layered_pipe(lower, limit, dgm_pipe_gauge) {}

  // The caller writes whole frames, length field included; sends go
  // straight down.

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
  std::string rbuf;  // received bytes not yet delivered as a frame
};

}  // namespace

io_pipe *dgm_pipe_create(io_pipe *lower, uint32_t limit) { return new dgm_pipe(lower, limit); }
