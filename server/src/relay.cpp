// The relay thread and its two ends: the socket it forwards on, in batches,
// and the inbox and outbox it shares with the hub's thread (see relay.h).
#include "relay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "common/log.h"
#include "common/util.h"

namespace {

constexpr int BATCH = 64;
// A slot holds the largest UDP payload, so nothing is ever cut short.
constexpr size_t SLOT_BYTES = 65536;
// Batches forwarded before the thread goes back to its wait, its sweep of
// silent sides and the counters it publishes.
constexpr int ROUNDS = 16;
constexpr uint32_t SWEEP_MS = 1000;
constexpr int SOCKET_BUFFER = 4 << 20;

uint32_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint32_t(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

// Wakes whoever waits on the eventfd.
void poke(int fd) {
  uint64_t one = 1;
  if (write(fd, &one, sizeof one) < 0) return;  // only a full counter fails; it wakes too
}

void drain(int fd) {
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) return;  // nothing was pending
}

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

// The buffers of one batch, in and out; datagrams are forwarded from the
// slot they arrived in.
struct relay_batch {
  // Left uninitialised: the system writes what arrives, and pages no
  // datagram reached cost no memory.
  std::unique_ptr<uint8_t[]> slots{new uint8_t[BATCH * SLOT_BYTES]};
  mmsghdr in[BATCH];
  iovec in_iov[BATCH];
  sockaddr_in from[BATCH];
  mmsghdr out[BATCH];
  iovec out_iov[BATCH];
  sockaddr_in to[BATCH];
  relay_pair *pair[BATCH];

  relay_batch() {
    for (int i = 0; i < BATCH; i++) {
      in_iov[i] = {&slots[i * SLOT_BYTES], SLOT_BYTES};
      out[i] = {};
      out[i].msg_hdr.msg_iov = &out_iov[i];
      out[i].msg_hdr.msg_iovlen = 1;
      out[i].msg_hdr.msg_name = &to[i];
      out[i].msg_hdr.msg_namelen = sizeof to[i];
    }
  }
  void arm_receive() {
    for (int i = 0; i < BATCH; i++) {
      in[i] = {};
      in[i].msg_hdr.msg_iov = &in_iov[i];
      in[i].msg_hdr.msg_iovlen = 1;
      in[i].msg_hdr.msg_name = &from[i];
      in[i].msg_hdr.msg_namelen = sizeof from[i];
    }
  }
};

udp_relay::udp_relay(const relay_limits &limits) : table(limits) {
  reports.cb = this;
}

udp_relay::~udp_relay() { stop(); }

bool udp_relay::start(int fd) {
  sock = fd;
  sockaddr_in sa = {};
  socklen_t len = sizeof sa;
  getsockname(sock, reinterpret_cast<sockaddr *>(&sa), &len);
  // Room for the bursts of a few fast pairs (the system caps what it gives).
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
  setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
  port = ntohs(sa.sin_port);
  wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  reports.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd < 0 || reports.fd < 0) {
    log_write("srv: relay: eventfd: %s\n", strerror(errno));
    stop();
    return false;
  }
  reports.mask = EVL_READ;
  evl_watch(&reports);
  stopping = false;
  thread = std::thread(&udp_relay::run, this);
  log_write("srv: relay on %s (udp)\n", endpoint_text(sa).c_str());
  return true;
}

void udp_relay::stop() {
  if (thread.joinable()) {
    stopping = true;
    poke(wake_fd);
    thread.join();
  }
  log_events();
  if (reports.slot) evl_unwatch(&reports);
  for (int *fd : {&sock, &wake_fd, &reports.fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void udp_relay::add_pair(const relay_pair_order &pair) {
  {
    std::lock_guard<std::mutex> hold(lock);
    inbox.push_back({true, pair, 0});
    orders_waiting = true;
  }
  poke(wake_fd);
}

void udp_relay::drop_pair(uint32_t spi) {
  {
    std::lock_guard<std::mutex> hold(lock);
    inbox.push_back({false, relay_pair_order(), spi});
    orders_waiting = true;
  }
  poke(wake_fd);
}

relay_stats udp_relay::stats() const {
  relay_stats s;
  s.pairs = published.pairs.load(std::memory_order_relaxed);
  s.packets = published.packets.load(std::memory_order_relaxed);
  s.bytes = published.bytes.load(std::memory_order_relaxed);
  s.refused = published.refused.load(std::memory_order_relaxed);
  s.limited = published.limited.load(std::memory_order_relaxed);
  return s;
}

void udp_relay::on_event(evl_event *ev, int) {
  if (ev != &reports) return;
  drain(reports.fd);
  log_events();
}

void udp_relay::log_events() {
  std::vector<relay_event> done;
  {
    std::lock_guard<std::mutex> hold(lock);
    done.swap(outbox);
  }
  for (const relay_event &e : done) {
    const std::string who = ip_to_text(e.identity);
    switch (e.kind) {
      case relay_event::LATCHED:
        log_write("srv: relay: %s is at %s (%s)\n", who.c_str(), endpoint_text(e.where).c_str(),
                  e.by_cookie ? "its punch" : "a tunnel datagram");
        break;
      case relay_event::SILENT:
        log_write("srv: relay forgets where %s is (%s): silent too long\n", who.c_str(),
                  endpoint_text(e.where).c_str());
        break;
      case relay_event::ENDED:
        log_write("srv: relay forgets %s <-> %s: %llu packets, %llu bytes, %llu refused, "
                  "%llu over the rate limit\n",
                  who.c_str(), ip_to_text(e.other).c_str(), ull(e.counts.packets),
                  ull(e.counts.bytes), ull(e.counts.refused), ull(e.counts.limited));
        break;
      case relay_event::REFUSED:
        log_write("srv: relay cannot take %s <-> %s\n", who.c_str(), ip_to_text(e.other).c_str());
        break;
    }
  }
}

// ---- The relay thread ----

void udp_relay::run() {
  std::unique_ptr<relay_batch> batch(new relay_batch);
  pollfd watch[2] = {{sock, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  uint32_t next_sweep = monotonic_ms() + SWEEP_MS;
  while (!stopping) {
    if (poll(watch, 2, int(SWEEP_MS)) < 0 && errno != EINTR) break;
    if (watch[1].revents & POLLIN) drain(wake_fd);
    take_orders();
    // An error pending on the socket is read (and so cleared) like data.
    if (watch[0].revents) forward_waiting(*batch);
    const uint32_t now = monotonic_ms();
    if (time_not_after(next_sweep, now)) {
      table.sweep(now);
      next_sweep = now + SWEEP_MS;
    }
    publish();
  }
  take_orders();
  publish();
}

void udp_relay::forward_waiting(relay_batch &b) {
  for (int round = 0; round < ROUNDS; round++) {
    b.arm_receive();
    const int got = recvmmsg(sock, b.in, BATCH, MSG_DONTWAIT, nullptr);
    if (got <= 0) return;
    // An order sent before a datagram arrived is applied before that
    // datagram is looked at: a pair's cookies are known before its punches.
    take_orders();
    const uint32_t now = monotonic_ms();
    int n = 0;
    for (int i = 0; i < got; i++) {
      const uint8_t *data = static_cast<const uint8_t *>(b.in_iov[i].iov_base);
      relay_pair *p = table.route(data, b.in[i].msg_len, b.from[i], now, b.to[n]);
      if (!p) continue;
      b.out_iov[n] = {b.in_iov[i].iov_base, b.in[i].msg_len};
      b.pair[n++] = p;
    }
    send_all(b, n);
    if (!table.events.empty()) publish();
    if (got < BATCH) return;
  }
}

void udp_relay::send_all(relay_batch &b, int n) {
  int i = 0;
  while (i < n) {
    const int sent = sendmmsg(sock, b.out + i, unsigned(n - i), 0);
    if (sent > 0) {
      for (int k = i; k < i + sent; k++) table.sent(b.pair[k], b.out_iov[k].iov_len, true);
      i += sent;
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The send buffer is full: the rest is lost, as any datagram may be.
      for (; i < n; i++) table.sent(b.pair[i], b.out_iov[i].iov_len, false);
      return;
    }
    // This one could not go (an unreachable client, say); the rest may.
    table.sent(b.pair[i], b.out_iov[i].iov_len, false);
    i++;
  }
}

void udp_relay::take_orders() {
  if (!orders_waiting.exchange(false)) return;
  std::vector<order> todo;
  {
    std::lock_guard<std::mutex> hold(lock);
    todo.swap(inbox);
  }
  for (const order &o : todo) {
    if (o.add)
      table.add(o.pair);
    else
      table.remove(o.spi);
  }
}

void udp_relay::publish() {
  const relay_stats &t = table.totals();
  published.pairs.store(t.pairs, std::memory_order_relaxed);
  published.packets.store(t.packets, std::memory_order_relaxed);
  published.bytes.store(t.bytes, std::memory_order_relaxed);
  published.refused.store(t.refused, std::memory_order_relaxed);
  published.limited.store(t.limited, std::memory_order_relaxed);
  if (table.events.empty()) return;
  {
    std::lock_guard<std::mutex> hold(lock);
    outbox.insert(outbox.end(), table.events.begin(), table.events.end());
  }
  table.events.clear();
  poke(reports.fd);
}
