// quilmar-server under load, on loopback. The server runs in a child
// process (its own core) exactly as `quilmar-server run` sets it up; this
// process drives many concurrent client connections with a small
// non-blocking client of its own.
//
//   BM_Logins/K          K connections at a time, each looping helo ->
//                        auth.ok (key exchange, RSA verify of the client,
//                        RSA signature of the server), then reconnecting.
//                        logins/s is wall clock; logins_per_server_cpu_s
//                        divides by the CPU time the server used.
//   BM_ConnectedClients/N  N clients logged in to ready and kept connected;
//                        the growth of the server's resident memory per
//                        client.
//   BM_LoginLatency/A    one client's login to ready (helo to sync.ok), in
//                        ms: A=0 on a quiet server, A=1 while one attacker
//                        holds 1,000 connections that never log in (32
//                        from each of 32 addresses, the most the server
//                        keeps per address) and another creates networks
//                        as fast as the server takes its frames.
//   BM_Relay             the relay alone in a child process with one pair;
//                        one side sends it tunnel datagrams of 1396 bytes
//                        (the valid length nearest 1400) as fast as it can,
//                        the other counts what arrives. Mbit/s of wall
//                        clock, and Mbit per second of the relay process'
//                        CPU time (what one server core forwards).
//
// Each simulated client connects from an address of its own in 127.2/16
// (attackers from 127.1/16), as clients of a real server would: the server
// limits what one address may do.
//
// Not part of the test run: build with -DQUILMAR_BENCH=ON and run
// build/bench/server_bench.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clisrv/msg_crypto.h"
#include "clisrv/server_msg.h"
#include "common/codec.h"
#include "common/log.h"
#include "hub.h"
#include "keys.h"
#include "proc_stats.h"
#include "relay.h"

namespace {

volatile sig_atomic_t child_stop = 0;
void on_term(int) { child_stop = 1; }

void raise_files() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// Something of ours serving in a child process (its own core): `start`
// runs in the child, sets up what serves and returns its port (0 when it
// could not); the child then runs the event loop until SIGTERM and calls
// `finish`.
struct serving_child {
  pid_t pid = -1;
  uint16_t port = 0;

  serving_child(const std::function<uint16_t()> &start, const std::function<void()> &finish) {
    int fds[2];
    if (pipe(fds) != 0) abort();
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      signal(SIGTERM, on_term);
      signal(SIGPIPE, SIG_IGN);
      evl_init();
      uint16_t p = start();
      if (!p || write(fds[1], &p, sizeof p) != sizeof p) _exit(1);
      close(fds[1]);
      while (!child_stop) evl_run(200);
      finish();
      _exit(0);
    }
    close(fds[1]);
    if (read(fds[0], &port, sizeof port) != sizeof port) abort();
    close(fds[0]);
  }
  ~serving_child() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  // User and system time of the child, all its threads, in seconds.
  double cpu_seconds() const { return cpu_seconds_of(pid); }
  long rss_kib() const { return rss_kib_of(pid); }
};

std::string bench_dir() {
  char tmpl[] = "/dev/shm/qsbench.XXXXXX";
  char tmpl2[] = "/tmp/qsbench.XXXXXX";
  const char *made = mkdtemp(tmpl);
  if (!made) made = mkdtemp(tmpl2);
  return made ? made : "/tmp";
}

// The server in a child process, as `run --demo` would set it up.
struct server_child {
  std::string dir = bench_dir();
  std::unique_ptr<hub> h;  // in the child
  std::unique_ptr<serving_child> proc;
  uint16_t port = 0;

  server_child() {
    proc.reset(new serving_child(
        [this] {
          raise_files();
          if (getenv("QSBENCH_LOG")) log_set_sink(log_stdio_write), log_stream = stderr;
          msg_crypto_dh_exponent_bytes = 40;
          rsa_public_key pub;
          rsa_private_key pri;
          demo_keys(pub, pri);
          server_config cfg;
          cfg.listen_addr = INADDR_LOOPBACK;
          cfg.port = 0;
          cfg.dir = dir;
          h.reset(new hub(cfg, open_sqlite_store(store_path(dir)), pub, pri));
          return h->start() ? h->bound_port() : uint16_t(0);
        },
        [this] { h->stop(); }));
    port = proc->port;
  }
  ~server_child() {
    proc.reset();
    std::string cmd = "rm -rf " + dir;
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  double cpu_seconds() const { return proc->cpu_seconds(); }
  long rss_kib() const { return proc->rss_kib(); }
};

server_child &the_server() {
  static server_child s;
  return s;
}

struct keypair {
  rsa_public_key pub;
  rsa_private_key pri;
};
const keypair &client_key() {
  static keypair k = [] {
    struct quiet : rsa_keygen_cb {
      void progress() override {}
    } cb;
    keypair k;
    rsa_generate(1024, 65537, cb, k.pub, k.pri);
    return k;
  }();
  return k;
}

// One client connection's login, step by step.
struct bench_conn {
  enum step { HELO, LOGIN, DISC, SYNC, READY } at = HELO;
  int fd = -1;
  uint32_t identity = 0;  // 0: enroll
  uint32_t source = 0;    // local address, host order
  std::unique_ptr<msg_crypto_v2> mc;
  std::string rbuf;
};

// The k-th address of a /16 of loopback (127.x/16): last byte 1 to 250.
uint32_t loopback_host(uint32_t net16, uint32_t k) {
  return 0x7f000000u | net16 << 16 | (k / 250) << 8 | (k % 250 + 1);
}

// A TCP connection to the server on loopback from `source`; -1 on failure.
int connect_from(uint32_t source, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = loopback(0);
  sa.sin_addr.s_addr = htonl(source);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  sa = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Protects (once keys are set) and sends a frame begun with frame_begin.
void send_frame(bench_conn &c, std::string &frame) {
  if (c.mc->active())
    c.mc->protect(frame, false);
  else
    srv::frame_set_length(frame);
  if (::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) abort();
}

class driver {
 public:
  // `to_ready`: go on through discovery and sync and stay connected.
  driver(uint16_t port, bool to_ready) : port(port), to_ready(to_ready) {}
  ~driver() {
    for (bench_conn &c : conns)
      if (c.fd >= 0) close(c.fd);
  }

  void add(uint32_t identity) {
    static uint32_t clients = 0;
    conns.emplace_back();
    conns.back().identity = identity;
    conns.back().source = loopback_host(2, clients++ % 60000);
    start(conns.back());
  }
  // Runs until `target` logins have completed; false if stuck.
  bool run_until(size_t target) {
    std::vector<pollfd> p;
    while (completed < target) {
      p.clear();
      for (bench_conn &c : conns) p.push_back({c.fd, POLLIN, 0});
      if (poll(p.data(), p.size(), 10000) <= 0) return false;
      for (size_t i = 0; i < p.size(); i++)
        if (p[i].revents) readable(conns[i]);
    }
    return true;
  }
  std::vector<uint32_t> identities() const {
    std::vector<uint32_t> ids;
    for (const bench_conn &c : conns) ids.push_back(c.identity);
    return ids;
  }

  size_t completed = 0;
  std::vector<bench_conn> conns;

 private:
  void start(bench_conn &c) {
    if (c.fd >= 0) close(c.fd);
    c.fd = connect_from(c.source, port);
    if (c.fd < 0) abort();
    fcntl(c.fd, F_SETFL, O_NONBLOCK);
    c.at = bench_conn::HELO;
    c.rbuf.clear();
    c.mc.reset(new msg_crypto_v2());
    c.mc->make_local();
    std::string frame = srv::frame_begin(srv::MSG_helo);
    srv::put_helo(frame, {srv::PROTOCOL_VERSION, fingerprint(), c.mc->nx, c.mc->gx});
    send_frame(c, frame);
  }
  // Taken over the two-byte-length form, as clients do.
  static const std::string &fingerprint() {
    static const std::string f = [] {
      const rsa_public_key &pub = demo().pub;  // read with 7-bit-group lengths
      varint_lengths = false;
      std::string f = key_fingerprint(pub);
      varint_lengths = true;
      return f;
    }();
    return f;
  }
  static const keypair &demo() {
    static keypair k = [] {
      keypair k;
      demo_keys(k.pub, k.pri);
      return k;
    }();
    return k;
  }
  void readable(bench_conn &c) {
    char buf[16384];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) return;
      fprintf(stderr, "server closed a connection\n");
      abort();
    }
    c.rbuf.append(buf, size_t(n));
    while (c.rbuf.size() >= 4) {
      uint32_t len = uint32_t(uint8_t(c.rbuf[0])) << 24 | uint32_t(uint8_t(c.rbuf[1])) << 16 |
                     uint32_t(uint8_t(c.rbuf[2])) << 8 | uint8_t(c.rbuf[3]);
      if (c.rbuf.size() < len + 4) break;
      std::string frame = c.rbuf.substr(0, len + 4);
      c.rbuf.erase(0, len + 4);
      if (!c.mc->unprotect(frame)) abort();
      handle(c, frame);
    }
  }
  void handle(bench_conn &c, std::string &frame) {
    msg_reader r(frame);
    uint8_t type = srv::frame_type(r);
    if (type == srv::MSG_network) return;
    if (r.get_u8() != srv::STATUS_ok) abort();
    std::string out;
    switch (c.at) {
      case bench_conn::HELO: {
        srv::helo_ok_msg ok;
        srv::get_helo_ok(r, ok);
        c.mc->ny = ok.nonce;
        c.mc->gy = ok.dh_value;
        c.mc->derive_keys(true, false);
        if (c.identity) {
          srv::auth_msg a;
          a.identity = c.identity;
          rsa_sign(client_key().pri, c.mc->local_digest, a.signature);
          a.version = "bench";
          out = srv::frame_begin(srv::MSG_auth);
          srv::put_auth(out, a);
        } else {
          out = srv::frame_begin(srv::MSG_enroll);
          srv::put_enroll(out, {client_key().pub, "bench", "bench"});
        }
        c.at = bench_conn::LOGIN;
        return send_frame(c, out);
      }
      case bench_conn::LOGIN:
        if (!c.identity) {
          srv::enrl_ok_msg ok;
          srv::get_enrl_ok(r, ok);
          c.identity = ok.identity;
        }
        if (!to_ready) {
          completed++;
          return start(c);
        }
        out = srv::frame_begin(srv::MSG_discovery);
        srv::put_endpoint(out, {c.source, 9});
        c.at = bench_conn::DISC;
        return send_frame(c, out);
      case bench_conn::DISC:
        out = srv::frame_begin(srv::MSG_sync);
        put_u32(out, 0);
        c.at = bench_conn::SYNC;
        return send_frame(c, out);
      case bench_conn::SYNC:
        c.at = bench_conn::READY;
        completed++;
        return;
      default:
        return;
    }
  }

  uint16_t port;
  bool to_ready;
};

std::vector<uint32_t> &enrolled() {
  static std::vector<uint32_t> ids;
  return ids;
}

void BM_Logins(benchmark::State &state) {
  server_child &server = the_server();
  // The client's own share stays small (a real client uses a full-length
  // exponent; the server's cost does not depend on it).
  msg_crypto_dh_exponent_bytes = 40;
  const size_t k = size_t(state.range(0));
  if (enrolled().size() < k) {
    driver setup(server.port, false);
    for (size_t i = enrolled().size(); i < k; i++) setup.add(0);
    if (!setup.run_until(setup.conns.size())) state.SkipWithError("enrolling stalled");
    for (uint32_t id : setup.identities()) enrolled().push_back(id);
  }
  driver d(server.port, false);
  for (size_t i = 0; i < k; i++) d.add(enrolled()[i]);
  const double cpu0 = server.cpu_seconds();
  const size_t done0 = d.completed;
  // An iteration is one round of the client's loop; it may see several
  // logins complete.
  for (auto _ : state) {
    if (!d.run_until(d.completed + 1)) {
      state.SkipWithError("logins stalled");
      break;
    }
  }
  const size_t logins = d.completed - done0;
  const double cpu = server.cpu_seconds() - cpu0;
  state.counters["logins/s"] = benchmark::Counter(double(logins), benchmark::Counter::kIsRate);
  if (cpu > 0) state.counters["logins_per_server_cpu_s"] = double(logins) / cpu;
}
BENCHMARK(BM_Logins)->Arg(16)->Arg(256)->UseRealTime()->MinTime(5.0);

void BM_ConnectedClients(benchmark::State &state) {
  raise_files();
  msg_crypto_dh_exponent_bytes = 40;
  const size_t n = size_t(state.range(0));
  for (auto _ : state) {
    server_child server;
    const long before = server.rss_kib();
    driver d(server.port, true);
    // Logins run 256 at a time, so that connecting never waits long on a
    // server busy with the others' handshakes.
    for (size_t i = 0; i < n; i++) {
      d.add(0);
      if (d.conns.size() - d.completed >= 256 && !d.run_until(d.completed + 1)) break;
    }
    if (!d.run_until(n)) {
      state.SkipWithError("logins stalled");
      break;
    }
    const long after = server.rss_kib();
    state.counters["clients"] = double(n);
    state.counters["server_rss_MiB"] = double(after) / 1024;
    state.counters["bytes_per_client"] = double(after - before) * 1024 / double(n);
  }
}
BENCHMARK(BM_ConnectedClients)->Arg(10000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// 1,000 connections that never log in: 32 from each address of 127.1/16.
class idle_holder {
 public:
  idle_holder(uint16_t port, size_t n) {
    for (size_t i = 0; i < n; i++) {
      int fd = connect_from(loopback_host(1, uint32_t(i / 32)), port);
      if (fd >= 0) fds.push_back(fd);
    }
  }
  ~idle_holder() {
    for (int fd : fds) close(fd);
  }
  // Those the server has not closed.
  size_t open() const {
    size_t n = 0;
    for (int fd : fds) {
      char byte;
      if (recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN) n++;
    }
    return n;
  }

 private:
  std::vector<int> fds;
};

// A client that creates networks, one request every 20 ms (the server's
// flood limit is 50 frames a second), until it is destroyed; what the
// server answers is read and dropped.
class network_creator {
 public:
  explicit network_creator(uint16_t port) : d(port, true) {
    d.add(0);
    if (!d.run_until(1)) abort();
    worker = std::thread([this] { run(); });
  }
  ~network_creator() {
    stop = true;
    worker.join();
  }

 private:
  void run() {
    bench_conn &c = d.conns[0];
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; !stop; i++) {
      std::string frame = srv::frame_begin(srv::MSG_create);
      srv::put_create(frame, {"bench-net-" + std::to_string(i), "password"});
      send_frame(c, frame);
      char buf[16384];
      while (recv(c.fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
      }
      next += std::chrono::milliseconds(20);
      std::this_thread::sleep_until(next);
    }
  }

  driver d;
  std::atomic<bool> stop{false};
  std::thread worker;
};

void BM_LoginLatency(benchmark::State &state) {
  raise_files();
  server_child &server = the_server();
  msg_crypto_dh_exponent_bytes = 40;
  driver enrol(server.port, false);
  enrol.add(0);
  if (!enrol.run_until(1)) state.SkipWithError("enrolling stalled");
  const uint32_t id = enrol.identities()[0];
  std::unique_ptr<idle_holder> idle;
  std::unique_ptr<network_creator> creator;
  if (state.range(0)) {
    idle.reset(new idle_holder(server.port, 1000));
    creator.reset(new network_creator(server.port));
  }
  double total_ms = 0, worst_ms = 0;
  size_t logins = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    driver d(server.port, true);
    d.add(id);
    if (!d.run_until(1)) {
      state.SkipWithError("login stalled");
      break;
    }
    const double ms = std::chrono::duration<double, std::milli>(
                          std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(ms / 1000);
    total_ms += ms;
    worst_ms = std::max(worst_ms, ms);
    logins++;
  }
  state.counters["mean_ms"] = logins ? total_ms / double(logins) : 0;
  state.counters["max_ms"] = worst_ms;
  if (idle) state.counters["idle_held"] = double(idle->open());
}
BENCHMARK(BM_LoginLatency)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

// ---- The relay ----

constexpr size_t RELAY_DATAGRAM = 1396;  // 8 + 1360 + 16 + 12
constexpr int RELAY_BATCH = 64;

relay_pair_order bench_pair() {
  relay_pair_order o;
  o.identity[0] = 0x05000001;
  o.identity[1] = 0x05000002;
  o.spi[0] = 0x1001;
  o.spi[1] = 0x1002;
  o.cookie[0] = "qrly-bench-side0";
  o.cookie[1] = "qrly-bench-side1";
  o.mac_key = mac_key_of(std::string(104, '\x11'));
  return o;
}

// udp_relay in a child process on 127.0.0.1, serving bench_pair().
struct relay_child {
  std::unique_ptr<udp_relay> relay;  // in the child
  serving_child proc{[this] {
                       relay_limits unlimited;
                       unlimited.pair_bps = 0;
                       relay.reset(new udp_relay(unlimited));
                       int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
                       sockaddr_in sa = loopback(0);
                       socklen_t len = sizeof sa;
                       if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
                           getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
                           !relay->start(fd))
                         return uint16_t(0);
                       relay->add_pair(bench_pair());
                       return ntohs(sa.sin_port);
                     },
                     [this] { relay->stop(); }};
};

int bench_udp_socket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in sa = loopback(0);
  int buffer = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) abort();
  return fd;
}

// Reads what waits on `fd`; returns the bytes.
size_t drain_udp(int fd) {
  static char bufs[RELAY_BATCH][2048];
  mmsghdr msgs[RELAY_BATCH];
  iovec iov[RELAY_BATCH];
  size_t bytes = 0;
  for (;;) {
    for (int i = 0; i < RELAY_BATCH; i++) {
      iov[i] = {bufs[i], sizeof bufs[i]};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, msgs, RELAY_BATCH, MSG_DONTWAIT, nullptr);
    if (n <= 0) return bytes;
    for (int i = 0; i < n; i++) bytes += msgs[i].msg_len;
  }
}

void BM_Relay(benchmark::State &state) {
  relay_child relay;
  const sockaddr_in to = loopback(relay.proc.port);
  const relay_pair_order pair = bench_pair();
  int side[2] = {bench_udp_socket(), bench_udp_socket()};
  for (int i = 0; i < 2; i++)
    sendto(side[i], pair.cookie[i].data(), pair.cookie[i].size(), 0,
           reinterpret_cast<const sockaddr *>(&to), sizeof to);
  // Side 0 sends to side 1: the datagrams carry side 1's SPI.
  msg_crypto_v2 tunnel;
  tunnel.set_keys(std::string(104, '\x11'), false);
  tunnel.out_spi = pair.spi[1];
  std::string datagram(srv::FRAME_HEADER_SIZE + 1359, '\x45');
  tunnel.protect(datagram, true);
  if (datagram.size() != RELAY_DATAGRAM) abort();
  // Once one arrives, both sides are known.
  for (int tries = 0; drain_udp(side[1]) == 0; tries++) {
    if (tries == 1000) return state.SkipWithError("the relay forwards nothing");
    sendto(side[0], datagram.data(), datagram.size(), 0,
           reinterpret_cast<const sockaddr *>(&to), sizeof to);
    usleep(1000);
  }
  mmsghdr msgs[RELAY_BATCH];
  iovec iov = {&datagram[0], datagram.size()};
  for (mmsghdr &m : msgs) {
    m = {};
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
    m.msg_hdr.msg_name = const_cast<sockaddr_in *>(&to);
    m.msg_hdr.msg_namelen = sizeof to;
  }
  const double cpu0 = relay.proc.cpu_seconds();
  size_t received = 0;
  for (auto _ : state) {
    if (sendmmsg(side[0], msgs, RELAY_BATCH, 0) < 0 && errno != EAGAIN) abort();
    received += drain_udp(side[1]);
  }
  usleep(20000);  // what is still on its way
  received += drain_udp(side[1]);
  const double cpu = relay.proc.cpu_seconds() - cpu0;
  const double mbit = double(received) * 8 / 1e6;
  state.counters["Mbit/s"] = benchmark::Counter(mbit, benchmark::Counter::kIsRate);
  state.counters["datagrams/s"] =
      benchmark::Counter(double(received / RELAY_DATAGRAM), benchmark::Counter::kIsRate);
  if (cpu > 0) state.counters["Mbit_per_relay_cpu_s"] = mbit / cpu;
  close(side[0]);
  close(side[1]);
}
BENCHMARK(BM_Relay)->UseRealTime()->MinTime(5.0);

}  // namespace

BENCHMARK_MAIN();
