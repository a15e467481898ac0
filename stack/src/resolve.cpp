#include "stack/resolve.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

#include "common/log.h"
#include "events/evl.h"

namespace {

// Reads exactly `len` bytes; false when the writer ended or failed first.
bool read_full(int fd, void *buf, size_t len) {
  auto *p = static_cast<char *>(buf);
  while (len > 0) {
    ssize_t n = read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The lookup child holds nothing of ours but the answer pipe and the
// standard descriptors: sockets, the lock file and the tap device stay
// with the daemon.
void close_other_descriptors(int keep) {
  if (keep > 3 && close_range(3, static_cast<unsigned>(keep) - 1, 0) == 0 &&
      close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0)
    return;
  if (keep == 3 && close_range(4, ~0U, 0) == 0) return;
  rlimit lim{};
  int top = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                ? static_cast<int>(lim.rlim_cur)
                : 65536;
  for (int fd = 3; fd < top; fd++)
    if (fd != keep) close(fd);
}

[[noreturn]] void run_lookup(const char *host, int out) {
  close_other_descriptors(out);
  errno = 0;
  hostent *h = gethostbyname(host);
  int32_t answer[2 + RESOLVE_MAX_ADDRS];
  answer[0] = errno;
  answer[1] = 0;
  // Every address of the name, in the order the lookup gave them: a name
  // that stands for several servers lets the session try each in turn.
  if (h && h->h_addr_list && h->h_length == 4) {
    int count = 0;
    while (count < RESOLVE_MAX_ADDRS && h->h_addr_list[count]) {
      memcpy(&answer[2 + count], h->h_addr_list[count], 4);
      count++;
    }
    answer[1] = count;
  }
  // One write of at most PIPE_BUF bytes: the parent sees all of it or none.
  size_t len = (2 + static_cast<size_t>(answer[1])) * 4;
  ssize_t n;
  do n = write(out, answer, len);
  while (n < 0 && errno == EINTR);
  close(out);
  // Skip exit handlers and stdio flushing: they belong to the parent.
  _exit(0);
}

class resolve_req final : public evl_cb {
 public:
  resolve_req() {
    ev.fd = -1;
    ev.mask = EVL_READ;
    ev.cb = this;
  }
  ~resolve_req() override { drop(); }

  void start(const char *host, resolve_cb *cb) {
    if (!cb) {
      QUILMAR_ASSERT(cb);
      return;
    }
    if (requester || !host) {
      cb->on_resolved(-1, nullptr, 0);
      return;
    }
    int fds[2];
    // Close-on-exec keeps the answer pipe out of the shells the daemon runs.
    if (pipe2(fds, O_CLOEXEC) != 0) {
      cb->on_resolved(-1, nullptr, 0);
      return;
    }
    pid_t pid = fork();
    if (pid < 0) {
      close(fds[0]);
      close(fds[1]);
      cb->on_resolved(-1, nullptr, 0);
      return;
    }
    if (pid == 0) {
      close(fds[0]);
      run_lookup(host, fds[1]);
    }
    close(fds[1]);
    requester = cb;
    ev.fd = fds[0];
    ev.mask = EVL_READ;
    evl_watch(&ev);
    if (ev.slot == 0) {
      // The loop's table is full: the answer could never reach us.
      drop();
      cb->on_resolved(-1, nullptr, 0);
    }
  }

  void cancel(resolve_cb *cb) {
    if (cb && cb == requester) drop();
  }

  void on_event(evl_event *, int) override {
    int32_t head[2] = {-1, 0};
    uint32_t addrs[RESOLVE_MAX_ADDRS];
    int error = -1, count = 0;
    if (read_full(ev.fd, head, sizeof head) && head[1] >= 0) {
      int n = head[1] > RESOLVE_MAX_ADDRS ? RESOLVE_MAX_ADDRS : head[1];
      // A child that died half-way must not hand out addresses.
      if (read_full(ev.fd, addrs, static_cast<size_t>(n) * 4)) {
        error = head[0];
        count = n;
      }
    }
    resolve_cb *taken = requester;
    drop();
    if (taken) taken->on_resolved(error, count > 0 ? addrs : nullptr, count);
  }

  void on_timer(evl_timer *) override {}

 private:
  void drop() {
    evl_unwatch(&ev);
    if (ev.fd >= 0) close(ev.fd);
    ev.fd = -1;
    requester = nullptr;
  }

  resolve_cb *requester = nullptr;
  evl_event ev;
};

resolve_req resolver;

}  // namespace

void resolve(const char *host, resolve_cb *requester) { resolver.start(host, requester); }

void resolve_cancel(resolve_cb *requester) { resolver.cancel(requester); }
