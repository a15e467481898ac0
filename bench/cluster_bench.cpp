// quilmar-server processes on one PostgreSQL, against one on SQLite. The
// servers are the real program (`run --store`), each in its own process;
// the database is a PostgreSQL of our own on a Unix socket.
//
//   BM_Logins/B          whole logins (helo to sync.ok) by two clients of
//                        the demo key in turn, each connection ending
//                        after its login; B=0 one server on SQLite, B=1 one
//                        on PostgreSQL, B=2 two on one PostgreSQL (clients
//                        alternate between them). logins_per_server_cpu_s
//                        divides by the CPU time of the quilmar-server
//                        processes, logins_per_total_cpu_s by that and the
//                        database's.
//   BM_PeerOkAcross      a client on server two goes online in a network
//                        whose other member is online on server one: the
//                        time until that member holds peer.ok for it.
//
// Not part of the test run: build with -DQUILMAR_BENCH=ON and run
// build/bench/cluster_bench.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "clisrv/msg_crypto.h"
#include "pg_server.h"
#include "proc_stats.h"
#include "process.h"
#include "proto_client.h"
#include "tempdir.h"

namespace {

// The postmaster and every backend it started.
double postgres_cpu_seconds(const pg_server &pg) {
  std::ifstream pidfile(pg.dir + "/data/postmaster.pid");
  int master = 0;
  if (!(pidfile >> master)) return 0;
  double total = cpu_seconds_of(master);
  DIR *d = opendir("/proc");
  while (dirent *e = d ? readdir(d) : nullptr) {
    const int pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string tok;
    int ppid = 0;
    for (int i = 1; i <= 4 && stat >> tok; i++)
      if (i == 4) ppid = atoi(tok.c_str());
    if (ppid == master) total += cpu_seconds_of(pid);
  }
  if (d) closedir(d);
  return total;
}

// One server process, its log in a file (a pipe nobody reads would stop
// it); its port from its "listening on" line.
struct server_proc {
  temp_dir dir;
  std::unique_ptr<background_process> proc;
  uint16_t port = 0;
  explicit server_proc(const std::string &store_url) {
    const std::string log = dir.file("log");
    std::string cmd = std::string("exec ") + QUILMAR_SERVER_BIN + " run -d " + dir.path() +
                      " -l 127.0.0.1 -p 0 --demo --enrol-rate 60000 2>" + log;
    if (!store_url.empty()) cmd += " --store '" + store_url + "'";
    proc.reset(new background_process("/bin/sh", {"-c", cmd}));
    const std::string marker = "listening on 127.0.0.1:";
    if (!wait_until([&] { return read_file(log).find("srv: serving") != std::string::npos; }))
      return;
    const std::string text = read_file(log);
    const size_t at = text.find(marker);
    if (at != std::string::npos) port = uint16_t(atoi(text.c_str() + at + marker.size()));
  }
  ~server_proc() {
    kill(proc->pid(), SIGTERM);
    proc->wait_exit();
  }
};

// B=0: SQLite; 1: one server on PostgreSQL; 2: two on one PostgreSQL.
struct bench_world {
  std::unique_ptr<pg_server> pg;
  std::vector<std::unique_ptr<server_proc>> servers;
  std::string error;

  explicit bench_world(int backend, const std::string &db_name) {
    std::string url;
    if (backend > 0) {
      pg.reset(new pg_server);
      if (!pg->running() || (url = pg->create_database(db_name)).empty()) {
        error = "no PostgreSQL: " + pg->reason;
        return;
      }
    }
    for (int i = 0; i < (backend == 2 ? 2 : 1); i++) {
      servers.emplace_back(new server_proc(url));
      if (!servers.back()->port) error = "a server did not start";
    }
  }
  double server_cpu() const {
    double total = 0;
    for (const auto &s : servers) total += cpu_seconds_of(s->proc->pid());
    return total;
  }
  double database_cpu() const { return pg ? postgres_cpu_seconds(*pg) : 0; }
  uint16_t port(size_t i) const { return servers[i % servers.size()]->port; }
};

void BM_Logins(benchmark::State &state) {
  msg_crypto_dh_exponent_bytes = 40;  // the client's share; the server's cost does not change
  bench_world world(int(state.range(0)), "logins");
  if (!world.error.empty()) return state.SkipWithError(world.error.c_str());
  constexpr int CLIENTS = 2;
  std::vector<uint32_t> ids;
  for (int i = 0; i < CLIENTS; i++) {
    proto_client c;
    if (!c.login_new(world.port(size_t(i)), "bench")) return state.SkipWithError("enrol failed");
    ids.push_back(c.identity);
  }
  const double server0 = world.server_cpu(), db0 = world.database_cpu();
  size_t logins = 0;
  for (auto _ : state) {
    // One after another: the server's cost per login is what is measured,
    // and the test client's helpers are not made for threads.
    proto_client c;
    if (!c.login(world.port(logins), ids[logins % CLIENTS])) {
      return state.SkipWithError("a login failed");
    }
    logins++;
  }
  const double server_cpu = world.server_cpu() - server0;
  const double total_cpu = server_cpu + world.database_cpu() - db0;
  state.counters["logins/s"] = benchmark::Counter(double(logins), benchmark::Counter::kIsRate);
  if (server_cpu > 0) state.counters["logins_per_server_cpu_s"] = double(logins) / server_cpu;
  if (total_cpu > 0) state.counters["logins_per_total_cpu_s"] = double(logins) / total_cpu;
}
BENCHMARK(BM_Logins)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->MinTime(4.0);

void BM_PeerOkAcross(benchmark::State &state) {
  msg_crypto_dh_exponent_bytes = 40;
  bench_world world(2, "peers");
  if (!world.error.empty()) return state.SkipWithError(world.error.c_str());
  proto_client owner;
  if (!owner.login_new(world.port(0), "owner") || owner.create("bench-net", "pw") != 1 ||
      owner.netop("bench-net", srv::NETOP_online) != 1)
    return state.SkipWithError("owner set-up failed");
  // One member per measurement: an identity is introduced about once a
  // second at most, and each is measured once.
  const size_t members = size_t(state.max_iterations);
  std::vector<std::unique_ptr<proto_client>> others;
  for (size_t i = 0; i < members; i++) {
    others.emplace_back(new proto_client);
    if (!others.back()->login_new(world.port(1), "member") ||
        others.back()->join("bench-net", "pw") != 1)
      return state.SkipWithError("member set-up failed");
  }
  size_t next = 0;
  for (auto _ : state) {
    proto_client &m = *others[next++];
    const auto t0 = std::chrono::steady_clock::now();
    if (m.netop("bench-net", srv::NETOP_online) != 1) return state.SkipWithError("go-online failed");
    peer_view p;
    do {
      if (!owner.next_peer(p, 5000)) return state.SkipWithError("no peer.ok");
    } while (p.peer != m.identity);
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
}
BENCHMARK(BM_PeerOkAcross)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
