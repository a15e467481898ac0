// The server's byte stream is cut into frames by dgm_pipe. The input gives
// the frame size limit (byte 0), after how many frames the owner closes the
// pipe from inside on_data (byte 1, 0 for never), and then the stream as
// chunks of one length byte and that many bytes, handed up by a fake lower
// pipe. Every frame must be well formed and the frames together must be
// exactly the start of the stream.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "stack/io_pipe.h"

namespace {

uint32_t be32(const char *p) {
  const auto *u = reinterpret_cast<const uint8_t *>(p);
  return uint32_t(u[0]) << 24 | uint32_t(u[1]) << 16 | uint32_t(u[2]) << 8 | u[3];
}

// Stands in for the buffered TCP pipe below.
class lower_end final : public io_pipe {
 public:
  void attach(io_pipe_cb *owner) override { above = owner; }
  int send(const std::string &bytes) override { return closed ? 0 : int(bytes.size()); }
  void close() override { closed = true, above = nullptr; }
  void suspend() override {}
  void resume() override {}
  void get_stats(io_stats *stats) override { *stats = io_stats{}; }

  io_pipe_cb *above = nullptr;
  bool closed = false;
};

// Plays the session: checks what arrives and closes as the session would.
class owner final : public io_pipe_cb {
 public:
  void on_ready() override {}
  void on_data(std::string &frame) override {
    FUZZ_CHECK(pipe);
    FUZZ_CHECK(frame.size() >= 4 && be32(frame.data()) == frame.size() - 4);
    FUZZ_CHECK(be32(frame.data()) <= limit);
    delivered += frame;
    FUZZ_CHECK(fed.compare(0, delivered.size(), delivered) == 0);
    frame.assign("the owner may change what it gets");
    if (++frames == close_after) shut();
  }
  void on_closed() override { FUZZ_CHECK(!"a dgm_pipe never reports a close itself"); }
  void on_error(const char *context, int code) override {
    FUZZ_CHECK(pipe && strcmp(context, "too big") == 0);
    // The length announced right behind the last whole frame.
    FUZZ_CHECK(fed.size() >= delivered.size() + 4);
    uint32_t n = be32(fed.data() + delivered.size());
    FUZZ_CHECK(n > limit && code == int(std::min<uint32_t>(n, INT_MAX)));
    shut();
  }
  void shut() {
    pipe->close();
    pipe = nullptr;
  }

  io_pipe *pipe = nullptr;
  uint32_t limit = 0;
  size_t close_after = 0;
  size_t frames = 0;
  std::string fed;        // every byte handed up so far
  std::string delivered;  // the frames, one after another
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  lower_end lower;
  owner top;
  top.limit = data[0] & 0x80 ? 262144 : data[0];
  top.close_after = data[1];
  top.pipe = dgm_pipe_create(&lower, top.limit);
  top.pipe->attach(&top);
  FUZZ_CHECK(lower.above);

  for (size_t at = 2; at < size && top.pipe;) {
    size_t n = std::min<size_t>(data[at], size - at - 1);
    std::string chunk(reinterpret_cast<const char *>(data) + at + 1, n);
    at += 1 + n;
    top.fed += chunk;
    lower.above->on_data(chunk);
  }
  if (top.pipe) {
    // Whatever is held back must be an incomplete frame.
    std::string rest = top.fed.substr(top.delivered.size());
    FUZZ_CHECK(rest.size() < 4 || be32(rest.data()) + size_t(4) > rest.size());
    top.shut();
  }
  FUZZ_CHECK(lower.closed && dgm_pipe_gauge.current == 0);
  return 0;
}
