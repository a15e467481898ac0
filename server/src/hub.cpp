// The hub's sockets and housekeeping: the TCP listener and the connections
// it accepts, the two UDP sockets that receive discovery punches, the relay's
// socket, the timers that end silent or stuck connections, publish paced
// go-onlines and prune the budgets, and the reaper that tears down what was
// killed.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "admin_hub.h"
#include "cluster.h"
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

// The most we queue for a client that does not read.
constexpr uint32_t SEND_LIMIT = 262144;
constexpr uint32_t SWEEP_MS = 1000;
constexpr uint32_t REFUSED_LINGER_MS = 10000;
constexpr uint32_t FLUSH_SEEN_MS = 10000;
constexpr int UDP_BURST = 64;

sockaddr_in make_addr(uint32_t addr, uint16_t port) {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  return sa;
}

int bound_socket(int type, const sockaddr_in &sa) {
  int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

hub::hub(const server_config &cfg, std::unique_ptr<store> db, const rsa_public_key &pub,
         const rsa_private_key &pri)
    : cfg(cfg), jobs(new store_worker(std::move(db))), pub(pub), pri(pri),
      enrolments({double(cfg.enrolments_per_hour), cfg.enrolments_per_hour / 3600.0}),
      hashes(HASH_BUDGET), guesses_from(GUESSES_PER_ADDRESS), guesses_at(GUESSES_PER_NETWORK),
      introductions(INTRODUCTION_PACE), started_at(int64_t(time(nullptr))) {
  // Clients take the fingerprint over the two-byte-length form.
  bool saved = varint_lengths;
  varint_lengths = false;
  fingerprint = key_fingerprint(pub);
  varint_lengths = saved;
  listener.cb = udp.cb = probe_udp.cb = this;
  sweeper.cb = reaper.cb = publisher.cb = this;
  sweeper.period = SWEEP_MS;
  reaper.period = 0;
}

hub::~hub() { stop(); }

admin_live &hub::admin_live_view() {
  if (!live_view) live_view = hub_admin_live(*this);
  return *live_view;
}

bool hub::start() {
  const sockaddr_in want = make_addr(cfg.listen_addr, cfg.port);
  // With port 0 the UDP socket takes the port the system gave the listener;
  // should that be taken for UDP, try another.
  for (int attempt = 0; attempt < 20; attempt++) {
    int tcp = bound_socket(SOCK_STREAM, want);
    if (tcp < 0 || listen(tcp, SOMAXCONN) != 0) {
      log_write("srv: cannot listen on %s: %s\n", endpoint_text(want).c_str(), strerror(errno));
      if (tcp >= 0) close(tcp);
      return false;
    }
    sockaddr_in got = {};
    socklen_t len = sizeof got;
    getsockname(tcp, reinterpret_cast<sockaddr *>(&got), &len);
    int u = bound_socket(SOCK_DGRAM, got);
    if (u < 0) {
      int err = errno;
      close(tcp);
      if (cfg.port == 0 && err == EADDRINUSE) continue;
      log_write("srv: cannot bind udp %s: %s\n", endpoint_text(got).c_str(), strerror(err));
      return false;
    }
    port = ntohs(got.sin_port);
    listener.fd = tcp;
    listener.mask = EVL_READ;
    udp.fd = u;
    udp.mask = EVL_READ;
    evl_watch(&listener);
    evl_watch(&udp);
    evl_timer_start(&sweeper);
    log_write("srv: listening on %s (tcp and udp)\n", endpoint_text(got).c_str());
    return start_udp_extras();
  }
  log_write("srv: no port free for both tcp and udp\n");
  return false;
}

// The second port of discovery and the relay's port.
bool hub::start_udp_extras() {
  const sockaddr_in second = make_addr(cfg.listen_addr, cfg.probe_port);
  probe_udp.fd = bound_socket(SOCK_DGRAM, second);
  if (probe_udp.fd < 0) {
    log_write("srv: cannot bind udp %s: %s\n", endpoint_text(second).c_str(), strerror(errno));
    return false;
  }
  probe_udp.mask = EVL_READ;
  evl_watch(&probe_udp);
  sockaddr_in got = {};
  socklen_t len = sizeof got;
  getsockname(probe_udp.fd, reinterpret_cast<sockaddr *>(&got), &len);
  probe_port = ntohs(got.sin_port);
  log_write("srv: second discovery port %s (udp)\n", endpoint_text(got).c_str());
  if (cfg.relay == RELAY_never) return true;
  const sockaddr_in relay_at = make_addr(cfg.listen_addr, cfg.relay_port);
  int fd = bound_socket(SOCK_DGRAM, relay_at);
  if (fd < 0) {
    log_write("srv: cannot bind the relay to %s: %s\n", endpoint_text(relay_at).c_str(),
              strerror(errno));
    return false;
  }
  relay.reset(new udp_relay(cfg.relay_limit));
  return relay->start(fd);
}

void hub::stop() {
  for (connection *c : conns) kill(c, "server stopping");
  reap();
  // Jobs still out finish first; then what the departures left to write.
  jobs->settle();
  flush_seen();
  jobs->settle();
  if (relay && relay->running()) {
    relay->stop();
    relay_totals = relay->stats();
    log_write("srv: relay forwarded %llu packets, %llu bytes in all; %llu refused, %llu over "
              "the rate limit\n",
              (unsigned long long)relay_totals.packets, (unsigned long long)relay_totals.bytes,
              (unsigned long long)relay_totals.refused, (unsigned long long)relay_totals.limited);
  }
  for (evl_event *ev : {&listener, &udp, &probe_udp}) {
    if (ev->fd < 0) continue;
    evl_unwatch(ev);
    close(ev->fd);
    ev->fd = -1;
  }
  evl_timer_stop(&sweeper);
  evl_timer_stop(&reaper);
  evl_timer_stop(&publisher);
}

void hub::adopt(connection *c) {
  conns.insert(c);
  c->serial = ++last_serial;
  by_serial[c->serial] = c;
  count_unauthenticated(*c, true);
}

void hub::kill(connection *c, const char *why) {
  if (c->closing) return;
  c->closing = true;
  log_write("srv: %s: %s, closing\n", c->name().c_str(), why);
  dying.push_back(c);
  if (!evl_timer_running(&reaper)) evl_timer_start(&reaper);
}

void hub::reap() {
  // Tearing one down tells others, and a failed send may kill more.
  while (!dying.empty()) {
    connection *c = dying.back();
    dying.pop_back();
    depart(*c);
    auto it = by_identity.find(c->identity);
    if (it != by_identity.end() && it->second == c) by_identity.erase(it);
    if (!c->cookie.empty()) by_cookie.erase(c->cookie);
    unpublished.erase(c);
    count_unauthenticated(*c, false);
    if (c->channel) free_spi(c->channel);
    if (c->identity && c->state >= CONN_discovery) seen[c->identity] = int64_t(time(nullptr));
    if (cl && c->state == CONN_ready) cl->gone(*c);
    conns.erase(c);
    by_serial.erase(c->serial);
    delete c;
  }
  evl_timer_stop(&reaper);
}

uint32_t hub::new_spi() {
  for (;;) {
    uint32_t spi;
    random_bytes(&spi, sizeof spi);
    // In a cluster each server hands out identifiers of its own slot only,
    // so that a client's identifiers are unique whichever server made them.
    if (spi_slot) spi = (spi & 0x00ffffffu) | uint32_t(spi_slot) << 24;
    if (spi && spis.insert(spi).second) return spi;
  }
}

void hub::free_spi(uint32_t spi) { spis.erase(spi); }

void hub::ask_store(connection &c, store_worker::work_fn work,
                    std::function<void(connection *)> then) {
  c.waiting = true;
  const uint64_t serial = c.serial;
  jobs->post(std::move(work), [this, serial, then] {
    auto it = by_serial.find(serial);
    connection *c = it == by_serial.end() ? nullptr : it->second;
    if (c) c->waiting = false;
    if (c && c->closing) c = nullptr;
    then(c);
    if (c) c->resume();
  });
}

void hub::flush_seen() {
  if (seen.empty() || flushing) return;
  // Entries that change meanwhile stay for the next flush.
  auto times = std::make_shared<std::map<uint32_t, int64_t>>(seen);
  auto result = std::make_shared<store_result>(STORE_error);
  flushing = true;
  jobs->post([times, result](store &db) { *result = db.set_last_seen(*times); },
             [this, times, result] {
               flushing = false;
               if (*result != STORE_ok) return;
               for (const auto &t : *times) {
                 auto it = seen.find(t.first);
                 if (it != seen.end() && it->second == t.second) seen.erase(it);
               }
             });
}

void hub::on_event(evl_event *ev, int) {
  if (ev == &listener) accept_all();
  if (ev == &udp || ev == &probe_udp) read_udp(*ev);
}

void hub::on_timer(evl_timer *t) {
  if (t == &reaper) return reap();
  if (t == &sweeper) return sweep();
  if (t == &publisher) return publish_due();
}

void hub::accept_all() {
  for (;;) {
    sockaddr_in peer = {};
    socklen_t len = sizeof peer;
    int fd = accept4(listener.fd, reinterpret_cast<sockaddr *>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: stop accepting for a moment rather than spin.
        log_write("srv: accept: %s; pausing\n", strerror(errno));
        evl_unwatch(&listener);
        listener_paused_until = evl_now + SWEEP_MS;
      }
      return;
    }
    if (conns.size() >= cfg.max_connections || !admit_source(ntohl(peer.sin_addr.s_addr))) {
      close(fd);
      continue;
    }
    sockaddr_in local = {};
    len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    io_pipe *pipe =
        dgm_pipe_create(buf_pipe_create(tcp_pipe_create(fd), SEND_LIMIT), cfg.prelogin_bytes);
    connection *c = new connection(*this, pipe, peer, local);
    adopt(c);
    pipe->attach(c);
  }
}

void hub::read_udp(evl_event &ev) {
  for (int i = 0; i < UDP_BURST; i++) {
    char buf[1500];
    sockaddr_in from = {};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(ev.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0) return;
    on_punch_datagram(std::string(buf, size_t(n)), from, &ev == &probe_udp);
  }
}

void hub::sweep() {
  if (listener_paused_until && time_not_after(listener_paused_until, evl_now) &&
      listener.fd >= 0) {
    listener_paused_until = 0;
    evl_watch(&listener);
  }
  for (connection *c : conns) {
    if (c->closing) continue;
    check_discovery(*c);
    if (c->state < CONN_ready && evl_now - c->accepted_at > cfg.login_timeout_ms)
      kill(c, "login took too long");
    else if (c->state == CONN_ready && evl_now - c->last_heard > cfg.idle_timeout_ms)
      kill(c, "silent too long");
    else if (c->state == CONN_done && evl_now - c->last_heard > REFUSED_LINGER_MS)
      kill(c, "refused");
  }
  if (relay) relay_totals = relay->stats();
  if (evl_now - last_flush >= FLUSH_SEEN_MS) {
    last_flush = evl_now;
    flush_seen();
  }
  prune_budgets();
}
