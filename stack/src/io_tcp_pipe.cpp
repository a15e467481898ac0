#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/log.h"
#include "events/evl.h"
#include "stack/io_pipe.h"

gauge tcp_pipe_gauge = {0, 0, 0, "tcp_pipe"};

namespace {

// Largest chunk handed to the owner per receive.
constexpr size_t RECV_CHUNK = 15000;

class tcp_pipe final : public io_pipe, public evl_cb, public ref_counted {
 public:
  explicit tcp_pipe(int fd) {
    ev.fd = fd;
    ev.cb = this;
    gauge_add(tcp_pipe_gauge, 1);
  }

  ~tcp_pipe() override {
    gauge_sub(tcp_pipe_gauge, 1);
    if (ev.fd >= 0) ::close(ev.fd);
  }

  void attach(io_pipe_cb *_cb) override {
    QUILMAR_ASSERT(! cb && _cb);
    int flags = fcntl(ev.fd, F_GETFL);
    if (flags < 0 || fcntl(ev.fd, F_SETFL, flags | O_NONBLOCK) < 0) {
      if (_cb) _cb->on_error("unblock", errno);
      return;
    }
    cb = _cb;
    ev.mask = EVL_READ | EVL_WRITE | EVL_ERROR;
    evl_watch(&ev);
  }

  int send(const std::string &bytes) override {
    if (!cb) return 0;
    ssize_t n;
    // A peer that went away must surface as a "send" error, not a signal.
    do n = ::send(ev.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOMEM) {
        int err = errno;
        suspend();
        cb->on_error("send", err);  // may close us: touch nothing after it
        return 0;
      }
      n = 0;
    }
    sent += static_cast<uint32_t>(n);
    if (static_cast<size_t>(n) < bytes.size()) {
      // Ask to hear when the socket drains. While suspended only the mask
      // changes; resume watches with it.
      ev.mask |= EVL_WRITE;
      if (ev.slot != 0) evl_watch(&ev);
    }
    return static_cast<int>(n);
  }

  void close() override {
    if (closed) {
      QUILMAR_ASSERT(! closed);
      return;
    }
    closed = true;
    evl_unwatch(&ev);
    cb = nullptr;
    release();
  }

  void suspend() override { evl_unwatch(&ev); }

  void resume() override {
    // Nothing to watch for before attach or after close.
    if (cb) evl_watch(&ev);
  }

  void get_stats(io_stats *stats) override {
    stats->sent = sent;
    stats->received = received;
  }

  void on_event(evl_event *, int events) override {
    ref_hold hold(this);
    if (!cb) {
      QUILMAR_ASSERT(cb);
      if (!cb) return;
    }
    if (events & EVL_WRITE) {
      ev.mask &= ~(EVL_WRITE | EVL_ERROR);
      evl_watch(&ev);
      cb->on_ready();
      if (!cb) return;
    }
    if (events & EVL_READ) {
      // An owner that suspends us from on_data hears nothing more until it
      // resumes; the unread bytes stay in the socket.
      while (cb && ev.slot != 0) {
        std::string chunk(RECV_CHUNK, '\0');
        ssize_t n = recv(ev.fd, &chunk[0], chunk.size(), 0);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) return;
          int err = errno;
          suspend();
          cb->on_error("recv", err);
          return;
        }
        if (n == 0) {
          suspend();
          cb->on_closed();
          return;
        }
        received += static_cast<uint32_t>(n);
        chunk.resize(static_cast<size_t>(n));
        cb->on_data(chunk);
      }
      if (cb) return;  // suspended by the owner: leave the error bit for later
    }
    if (events & EVL_ERROR) {
      suspend();
      if (cb) cb->on_error("hmm", -1);
    }
  }

  void on_timer(evl_timer *) override {}

 private:
  io_pipe_cb *cb = nullptr;
  evl_event ev;
  uint32_t sent = 0;
  uint32_t received = 0;
  bool closed = false;
};

}  // namespace

io_pipe *tcp_pipe_create(int fd) { return new tcp_pipe(fd); }
