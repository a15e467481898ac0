// The packet path without the network: packets per second and MB/s from a
// frame read from the tap through on_frame to a protected datagram, and
// from a received datagram through the check to the frame written to the
// tap, for 64-, 512- and 1400-byte IPv4 packets; and the tap offloads'
// cutting of a 64 KiB TCP segment and joining of its packets. Every heap allocation in
// the process is counted, and reported per packet (the path should make
// none).
//
// The UDP socket is left closed, so the datagram's sendto fails at once;
// BM_tap_to_socket sends it for real, to a loopback socket that never
// reads, so that the datagram is counted on its tunnel as on a live link.
// The tap device is a stand-in that only counts. Each iteration first
// copies the frame or datagram into the receive buffer, as read() or
// recvfrom() would.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/config.h"
#include "client/session.h"
#include "netlib/tcp_offload.h"

// Allocation counting: the C library's allocator behind our own entry
// points. operator new comes through malloc too.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}

namespace {
std::atomic<uint64_t> allocations{0};
}

extern "C" void *malloc(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}

namespace {

const uint32_t SELF = 0x05000009, PEER = 0x05000002;
const std::string KEYMAT(120, 'k');

struct counting_tap : tapdev {
  bool open() override { return true; }
  void close() override {}
  bool bring_up() override { return true; }
  void bring_down() override {}
  void configure(uint32_t, uint32_t) override {}
  int write(const void *, int length) override {
    writes++;
    return length;
  }
  uint64_t writes = 0;
};

void put32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

std::string ip4_packet(uint32_t src, uint32_t dst, size_t size) {
  std::string p(size, 'p');
  uint8_t *b = reinterpret_cast<uint8_t *>(&p[0]);
  memset(b, 0, 20);
  b[0] = 0x45;
  b[2] = uint8_t(size >> 8);
  b[3] = uint8_t(size);
  b[8] = 64;
  b[9] = 1;
  put32(b + 12, src);
  put32(b + 16, dst);
  return p;
}

// A session with one tunnel to PEER; the peer's own protection beside it.
struct rig {
  rig() : s(nullptr) {
    tap = new counting_tap;
    s.tap = tap;
    s.find_peer(PEER, true);
    t = new tunnel;
    t->peer_addr = PEER;
    t->mc = new msg_crypto_v2();
    t->mc->set_keys(KEYMAT, false);
    t->mc->in_spi = 0x1001;
    t->mc->out_spi = 0x2002;
    s.add_tunnel(t);
    peer.set_keys(KEYMAT, false);
    peer.out_spi = 0x1001;
  }
  session s;
  counting_tap *tap;
  tunnel *t;
  msg_crypto_v2 peer;
};

void report(benchmark::State &state, size_t packet, uint64_t allocs) {
  const double n = double(state.iterations());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(n * double(packet)));
  state.counters["pps"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["MB/s"] = benchmark::Counter(n * double(packet) / 1e6, benchmark::Counter::kIsRate);
  state.counters["allocs/pkt"] = double(allocs) / n;
}

void tap_to_tunnel(benchmark::State &state, rig &r) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::string frame = std::string("\x00\xff\x05\x00\x00\x02\x02\x00\x00\x00\x00\x01\x08\x00", 14) +
                      ip4_packet(SELF, PEER, size);
  std::vector<uint8_t> buf(frame.size() + TAPDEV_TAILROOM);
  const uint32_t seq_before = r.t->mc->tx_seq;
  const uint64_t before = allocations.load();
  for (auto _ : state) {
    memcpy(buf.data(), frame.data(), frame.size());
    r.s.on_frame(buf.data(), static_cast<int>(frame.size()));
    benchmark::DoNotOptimize(buf.data());
  }
  const uint64_t allocs = allocations.load() - before;
  if (r.t->mc->tx_seq - seq_before != uint32_t(state.iterations())) state.SkipWithError("not every frame was protected");
  report(state, size, allocs);
}

void BM_tap_to_tunnel(benchmark::State &state) {
  rig r;
  tap_to_tunnel(state, r);
}
BENCHMARK(BM_tap_to_tunnel)->Arg(64)->Arg(512)->Arg(1400);

void BM_tap_to_socket(benchmark::State &state) {
  rig r;
  int sink = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(sink, reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
      getsockname(sink, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    state.SkipWithError("no loopback socket");
    return;
  }
  r.t->addr = INADDR_LOOPBACK;
  r.t->port = ntohs(sa.sin_port);
  r.s.udp_sock.fd = socket(AF_INET, SOCK_DGRAM, 0);
  tap_to_tunnel(state, r);
  if (r.t->tx_count != uint64_t(state.iterations())) state.SkipWithError("not every datagram was sent");
  close(r.s.udp_sock.fd);
  r.s.udp_sock.fd = -1;
  close(sink);
}
BENCHMARK(BM_tap_to_socket)->Arg(64)->Arg(1400);

// The second argument turns StrictSource on (the packets are the peer's
// own, so they pass): the check must cost nothing measurable.
void BM_tunnel_to_tap(benchmark::State &state) {
  const size_t size = static_cast<size_t>(state.range(0));
  current_config.strict_source = state.range(1) != 0;
  rig r;
  // Distinct sequence numbers, or the replay window would drop them; the
  // window starts anew whenever the set is used up.
  const size_t count = 4096;
  std::vector<std::string> datagrams;
  const std::string message = "\x80" + ip4_packet(PEER, SELF, size);
  for (size_t i = 0; i < count; i++) {
    std::string d = std::string(8, '\0') + message;
    r.peer.protect(d, true);
    datagrams.push_back(d);
  }
  std::vector<uint8_t> buf(DATAGRAM_HEADROOM + 2048);
  uint8_t *at = buf.data() + DATAGRAM_HEADROOM;
  size_t i = 0;
  const uint64_t before = allocations.load();
  for (auto _ : state) {
    if (i == count) {
      i = 0;
      replay_reset(r.t->rx_window);
    }
    const std::string &d = datagrams[i++];
    memcpy(at, d.data(), d.size());
    r.s.on_datagram(at, d.size());
  }
  const uint64_t allocs = allocations.load() - before;
  if (r.tap->writes != uint64_t(state.iterations())) state.SkipWithError("not every packet reached the tap");
  report(state, size, allocs);
  current_config.strict_source = false;
}
BENCHMARK(BM_tunnel_to_tap)->ArgsProduct({{64, 512, 1400}, {0, 1}});

// A 64 KiB TCP segment from a tap with offloads, cut into 1400-byte
// packets, and those packets joined again for the tap on the other side:
// per packet, with allocations counted.
std::string big_tcp_segment(size_t payload) {
  std::string f = std::string("\x00\xff\x05\x00\x00\x02\x02\x00\x00\x00\x00\x01\x08\x00", 14);
  std::string ip = ip4_packet(SELF, PEER, 20 + 20 + payload);
  uint8_t *b = reinterpret_cast<uint8_t *>(&ip[0]);
  b[6] = 0x40;  // DF
  b[9] = 6;
  memset(b + 20, 0, 20);
  b[20 + 12] = 0x50;
  b[20 + 13] = 0x10;  // ACK
  f += ip;
  return f;
}

void BM_tso_cut(benchmark::State &state) {
  std::string frame = big_tcp_segment(65000);
  std::vector<uint8_t> out(2048);
  tso_plan plan;
  const uint64_t before = allocations.load();
  uint64_t packets = 0;
  for (auto _ : state) {
    tso_prepare(reinterpret_cast<const uint8_t *>(frame.data()), frame.size(), 1348, plan);
    for (unsigned i = 0; i < plan.count; ++i)
      benchmark::DoNotOptimize(tso_build(reinterpret_cast<const uint8_t *>(frame.data()), plan, i, out.data()));
    packets += plan.count;
  }
  const uint64_t allocs = allocations.load() - before;
  state.counters["pps"] = benchmark::Counter(double(packets), benchmark::Counter::kIsRate);
  state.counters["allocs/pkt"] = double(allocs) / double(packets);
}
BENCHMARK(BM_tso_cut);

void BM_tcp_join(benchmark::State &state) {
  std::string frame = big_tcp_segment(65000);
  std::vector<uint8_t> out(2048);
  tso_plan plan;
  tso_prepare(reinterpret_cast<const uint8_t *>(frame.data()), frame.size(), 1348, plan);
  std::vector<std::string> packets;
  for (unsigned i = 0; i < plan.count; ++i) {
    size_t n = tso_build(reinterpret_cast<const uint8_t *>(frame.data()), plan, i, out.data());
    packets.emplace_back(reinterpret_cast<char *>(out.data()), n);
  }
  std::vector<uint8_t> area(VNET_HDR_SIZE + 65550);
  tcp_coalescer c;
  c.buf = area.data();
  c.capacity = area.size() - VNET_HDR_SIZE;
  const uint64_t before = allocations.load();
  for (auto _ : state) {
    for (const std::string &p : packets) {
      const uint8_t *b = reinterpret_cast<const uint8_t *>(p.data());
      if (!(c.len && coalesce_append(c, b, p.size()))) {
        if (c.len) coalesce_finish(c);
        coalesce_start(c, b, p.size());
      }
    }
    benchmark::DoNotOptimize(coalesce_finish(c));
  }
  const uint64_t allocs = allocations.load() - before;
  const double n = double(state.iterations()) * double(packets.size());
  state.counters["pps"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["allocs/pkt"] = double(allocs) / n;
}
BENCHMARK(BM_tcp_join);

}  // namespace

BENCHMARK_MAIN();
