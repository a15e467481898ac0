#include <algorithm>

#include "io_layered_pipe.h"

gauge buf_pipe_gauge = {0, 0, 0, "buf_pipe"};

namespace {

class buf_pipe final : public layered_pipe {
 public:
  buf_pipe(io_pipe *lower, uint32_t limit) : layered_pipe(lower, limit, buf_pipe_gauge) {}

  // Returns the full length when the bytes were sent or queued; less only
  // together with an "overflow" report.
  int send(const std::string &bytes) override {
    if (!cb || !io) return 0;
    ref_hold hold(this);
    size_t taken = 0;
    // Never overtake queued bytes: while anything waits, new bytes go behind.
    if (held.empty() && !suspended) {
      taken = static_cast<size_t>(io->send(bytes));
      if (!cb) return static_cast<int>(taken);
    }
    if (taken >= bytes.size()) return static_cast<int>(bytes.size());
    size_t total = held.size() + (bytes.size() - taken);
    if (total > limit) {
      cb->on_error("overflow", static_cast<int>(std::min<size_t>(total, INT32_MAX)));
      return static_cast<int>(taken);
    }
    held.append(bytes, taken, std::string::npos);
    peak = std::max(peak, static_cast<uint32_t>(held.size()));
    return static_cast<int>(bytes.size());
  }

  void suspend() override {
    suspended = true;
    layered_pipe::suspend();
  }

  void resume() override {
    bool was_suspended = suspended;
    suspended = false;
    layered_pipe::resume();
    if (was_suspended) flush();
  }

  void get_stats(io_stats *stats) override {
    layered_pipe::get_stats(stats);
    stats->peak_held = peak;
    stats->held = static_cast<uint32_t>(held.size());
  }

  void on_ready() override {
    lower_ready = true;
    flush();
  }

 private:
  // Sends what is held; tells the owner once, when the connection first
  // stands writable with nothing queued.
  void flush() {
    ref_hold hold(this);
    if (!held.empty()) {
      if (!io) return;
      int n = io->send(held);
      if (n <= 0 || !cb) return;
      held.erase(0, static_cast<size_t>(n));
    }
    // A resume before the connection was ever writable must not announce it.
    if (!ready && lower_ready && held.empty() && cb) {
      ready = true;
      cb->on_ready();
    }
  }

  std::string held;
  uint32_t peak = 0;
  bool ready = false;
  bool suspended = false;
  bool lower_ready = false;  // the lower pipe has reported writability
};

}  // namespace

io_pipe *buf_pipe_create(io_pipe *lower, uint32_t limit) { return new buf_pipe(lower, limit); }
