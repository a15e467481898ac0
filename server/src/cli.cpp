// The command line of quilmar-server: init, run, -h, -V; the administration
// commands are in cli_admin.cpp.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "admin_socket.h"
#include "cli_admin.h"
#include "cluster.h"
#include "common/log.h"
#include "common/util.h"
#include "common/version.h"
#include "events/evl.h"
#include "hub.h"
#include "keys.h"
#include "metrics.h"
#include "server/server.h"

namespace {

const char usage_text[] =
    "usage: quilmar-server init -d DIR\n"
    "       quilmar-server run -d DIR [-l ADDR] [-p PORT] [--demo] [-r ADDR:PORT] [-m N]\n"
    "                          [--enroll open|approve|closed] [--enrol-rate N]\n"
    "                          [--max-networks N] [--metrics ADDR:PORT]\n"
    "                          [--public-address ADDR[:PORT]] [--probe-port PORT]\n"
    "                          [--relay auto|always|never] [--relay-port PORT]\n"
    "                          [--relay-pair-rate MBIT] [--relay-rate MBIT]\n"
    "                          [--store postgresql://...]\n"
    "       quilmar-server migrate -d DIR --to postgresql://...\n"
    "       quilmar-server clients list -d DIR [--online] [--json]\n"
    "       quilmar-server clients remove -d DIR ADDR\n"
    "       quilmar-server clients pending -d DIR [--json]\n"
    "       quilmar-server clients approve|reject -d DIR KEY-ID\n"
    "       quilmar-server networks list -d DIR [--json]\n"
    "       quilmar-server networks show -d DIR NAME [--json]\n"
    "       quilmar-server networks delete -d DIR NAME\n"
    "       quilmar-server networks set-owner -d DIR NAME ADDR\n"
    "       quilmar-server networks set-password -d DIR NAME\n"
    "       quilmar-server networks ban|unban -d DIR NAME ADDR\n"
    "       quilmar-server backup -d DIR FILE\n"
    "       quilmar-server stats -d DIR [--json]\n"
    "       quilmar-server -h | -V\n"
    "\n"
    "commands:\n"
    "  init          create DIR (mode 0700) with a new server key pair and an\n"
    "                empty store, and write DIR/server.pub for the clients\n"
    "  run           serve clients in the foreground, logging to standard error;\n"
    "                SIGTERM or SIGINT stop it\n"
    "  clients       list the clients; remove one (it is logged out and cannot\n"
    "                log in again); list the keys waiting to enrol, approve or\n"
    "                reject one (KEY-ID: sha256sum ~/.quilmar/client.pub | cut -c1-16)\n"
    "  networks      list the networks; show one with its members and bans;\n"
    "                delete one; give it another owner; set its password (a\n"
    "                line of standard input, asked for on a terminal); ban a\n"
    "                client (it is evicted and cannot join again) or lift a ban\n"
    "  backup        write a consistent copy of the store to FILE, also while\n"
    "                the server runs\n"
    "  stats         the server's figures\n"
    "  migrate       copy the SQLite store of DIR (clients, networks, members,\n"
    "                password hashes, bans) into an empty PostgreSQL database;\n"
    "                stop the server first\n"
    "The administration commands reach a running server through DIR/admin.sock\n"
    "and work on the store itself when none runs.\n"
    "\n"
    "options:\n"
    "  -d DIR        the server's directory (key pair and store)\n"
    "  -l ADDR       IPv4 address to listen on (default 0.0.0.0)\n"
    "  -p PORT       TCP and UDP port (default 12975; 0 picks a free one)\n"
    "  --demo        use the built-in demo key pair instead of DIR/server.key, for\n"
    "                demos and tests only (clients need its public half as their\n"
    "                server.pub: keys/demo-server-for-clients.pub)\n"
    "  -r ADDR:PORT  hand every client on to another server\n"
    "  -m N          members a network may have (default 250)\n"
    "  --enroll POLICY  who may enrol: open (any new key, the default), approve\n"
    "                (keys an administrator approved) or closed (no new key)\n"
    "  --enrol-rate N  new clients one address may enrol per hour (default 20)\n"
    "  --max-networks N  networks a client may own or belong to (default 64)\n"
    "  --metrics ADDR:PORT  serve statistics for Prometheus at\n"
    "                http://ADDR:PORT/metrics\n"
    "  --public-address ADDR[:PORT]\n"
    "                where clients reach this server when it sits behind NAT or\n"
    "                port forwarding (the port defaults to -p); the second\n"
    "                discovery port and the relay port must be forwarded as they are\n"
    "  --probe-port PORT\n"
    "                the second UDP port of discovery, which shows whether a\n"
    "                client's NAT keeps its port (default: the port after -p)\n"
    "  --relay auto|always|never\n"
    "                forward tunnels through this server for pairs that cannot\n"
    "                meet directly (auto, the default), for every pair, or never\n"
    "  --relay-port PORT\n"
    "                the relay's UDP port (default: two after -p)\n"
    "  --relay-pair-rate MBIT\n"
    "                Mbit/s each side of a relayed pair may send (default 20;\n"
    "                0 for no limit)\n"
    "  --relay-rate MBIT\n"
    "                Mbit/s the relay forwards in all (default 200; 0 for no limit)\n"
    "  --store postgresql://...\n"
    "                keep the store in this PostgreSQL database (a libpq\n"
    "                connection URI) instead of DIR/server.db; servers that share\n"
    "                one database and one key pair serve the same clients\n"
    "  --to postgresql://...\n"
    "                (migrate) the database to copy into\n"
    "  --online      (clients list) only the clients logged in\n"
    "  --json        print the result as one JSON document\n"
    "  -h, --help    show this text (anywhere on the command line)\n"
    "  -V, --version print the version\n";

// Exponent bytes of the server's Diffie-Hellman key: 320 bits, well above
// twice the strength of the 2048-bit group, at a fraction of the cost of a
// full-length exponent per login.
constexpr size_t DH_EXPONENT_BYTES = 40;

// What the relay forwards in all unless --relay-rate says otherwise.
constexpr uint64_t DEFAULT_RELAY_RATE = 200000000;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }


int stderr_sink(const char *format, va_list args) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &tm);
  // The store's thread logs too: a line stays whole.
  flockfile(stderr);
  fputs(stamp, stderr);
  int n = vfprintf(stderr, format, args);
  funlockfile(stderr);
  return n;
}

bool parse_port(const char *text, uint16_t &port) {
  char *end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 10);
  if (errno || end == text || *end || v > 65535 || text[0] == '-') return false;
  port = uint16_t(v);
  return true;
}

bool parse_endpoint(const char *text, srv::endpoint &e) {
  const char *colon = strchr(text, ':');
  if (!colon) return false;
  std::string addr(text, size_t(colon - text));
  return text_to_ip(addr.c_str(), e.addr) && parse_port(colon + 1, e.port) && e.addr && e.port;
}

// ADDR or ADDR:PORT; the port stays as it was without one.
bool parse_address(const char *text, srv::endpoint &e) {
  const char *colon = strchr(text, ':');
  if (!colon) return text_to_ip(text, e.addr) && e.addr;
  return parse_endpoint(text, e);
}

// Megabits per second, up to a terabit.
bool parse_mbit(const char *text, uint64_t &bits_per_second) {
  uint64_t mbit;
  if (!text_to_number(text, 1000000, mbit)) return false;
  bits_per_second = mbit * 1000000;
  return true;
}

// The second discovery port and the relay's follow the main one unless given.
bool resolve_udp_ports(server_config &cfg, bool probe_given, bool relay_given) {
  const unsigned base = cfg.port;
  if (!probe_given) cfg.probe_port = base ? uint16_t(base + 1) : 0;
  if (!relay_given) cfg.relay_port = base ? uint16_t(base + 2) : 0;
  if ((!probe_given || !relay_given) && base > 65533) {
    fprintf(stderr, "quilmar-server: give --probe-port and --relay-port with -p %u\n", base);
    return false;
  }
  return true;
}

void raise_file_limit() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0)
    log_write("srv: up to %llu open files\n", (unsigned long long)lim.rlim_cur);
}

int run_server(const server_config &cfg) {
  rsa_public_key pub;
  rsa_private_key pri;
  if (cfg.demo) {
    if (!demo_keys(pub, pri)) {
      fputs("quilmar-server: the built-in demo key is unreadable\n", stderr);
      return 1;
    }
  } else {
    if (!load_server_keys(cfg.dir, pub, pri)) return 1;
    if (is_demo_key(pub)) {
      fprintf(stderr,
              "quilmar-server: %s is the published demo key; run with --demo to use it, or "
              "make a key of your own with 'quilmar-server init'\n",
              key_path(cfg.dir).c_str());
      return 1;
    }
  }
  if (mkdir(cfg.dir.c_str(), 0700) != 0 && errno != EEXIST) {
    fprintf(stderr, "quilmar-server: cannot create %s: %s\n", cfg.dir.c_str(), strerror(errno));
    return 1;
  }
  // One server per directory: a second would split the clients between
  // two views of the same store.
  const std::string lock_path = cfg.dir + "/server.lock";
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    fprintf(stderr, "quilmar-server: another server is serving %s\n", cfg.dir.c_str());
    return 1;
  }
  if (!record_store_url(cfg.dir, cfg.store_url)) return 1;
  log_set_sink(stderr_sink);
  std::unique_ptr<store> db = cfg.store_url.empty() ? open_sqlite_store(store_path(cfg.dir))
                                                   : open_postgresql_store(cfg.store_url);
  if (!db) return 1;
  raise_file_limit();
  msg_crypto_dh_exponent_bytes = DH_EXPONENT_BYTES;

  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  evl_init();
  hub h(cfg, std::move(db), pub, pri);
  if (!h.start()) return 1;
  // Servers on one PostgreSQL database serve as one.
  if (!cfg.store_url.empty() && !(h.cl = cluster::join(h, cfg.store_url))) return 1;
  std::unique_ptr<admin_socket> admin = admin_socket_start(h, cfg.dir);
  if (!admin) return 1;
  std::unique_ptr<metrics_exporter> metrics;
  if (cfg.serve_metrics && !(metrics = metrics_start(h, cfg.metrics.addr, cfg.metrics.port)))
    return 1;
  log_write("srv: serving%s, store %s, enrolment %s\n", cfg.demo ? " with the demo key" : "",
            cfg.store_url.empty() ? store_path(cfg.dir).c_str() : "in PostgreSQL",
            enrol_policy_name(cfg.enrolment));
  while (!stop_requested) evl_run(200);
  log_write("srv: stopping\n");
  if (h.cl) {
    // A planned stop costs the clients one redirect: each is sent to a live
    // server and goes there at once; we wait for them to go, a while.
    if (h.cl->hand_off()) {
      const uint32_t until = time_ms() + 3000;
      while (h.connection_count() > 0 && time_not_after(time_ms(), until)) evl_run(100);
    }
    h.cl->leave();
  }
  metrics.reset();
  admin.reset();
  h.stop();
  return 0;
}

// `migrate`: the SQLite store of a stopped server into an empty PostgreSQL
// database. The SQLite file stays as it was.
int migrate_store(const server_config &cfg) {
  const std::string path = store_path(cfg.dir);
  if (access(path.c_str(), R_OK) != 0) {
    fprintf(stderr, "quilmar-server: no store at %s\n", path.c_str());
    return 1;
  }
  // Changes made after the copy would be lost with the SQLite file.
  const std::string lock_path = cfg.dir + "/server.lock";
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  const bool running = lock_fd >= 0 && flock(lock_fd, LOCK_EX | LOCK_NB) != 0;
  if (lock_fd >= 0) close(lock_fd);
  if (running) {
    fprintf(stderr, "quilmar-server: a server is serving %s; stop it first\n", cfg.dir.c_str());
    return 1;
  }
  log_set_sink(stderr_sink);
  std::unique_ptr<store> from = open_sqlite_store(path);
  store_counts copied;
  if (!from || !copy_to_postgresql(*from, cfg.store_url, copied)) {
    fputs("quilmar-server: nothing was copied\n", stderr);
    return 1;
  }
  printf("copied %zu clients, %zu networks and %zu keys awaiting approval from %s\n",
         copied.accounts, copied.networks, copied.pending, path.c_str());
  return 0;
}

// Like parse_endpoint, but any address (0.0.0.0 for all) and port 0 (one
// the system picks) will do.
bool parse_metrics_endpoint(const char *text, srv::endpoint &e) {
  const char *colon = strchr(text, ':');
  if (!colon) return false;
  std::string addr(text, size_t(colon - text));
  return text_to_ip(addr.c_str(), e.addr) && parse_port(colon + 1, e.port);
}

}  // namespace

void server_usage(FILE *out) { fputs(usage_text, out); }

int server_usage_error() {
  server_usage(stderr);
  return 1;
}

int quilmar_server_main(int argc, char **argv) {
  switch (help_or_version(argc, argv)) {
    case ASKED_help:
      server_usage(stdout);
      return 0;
    case ASKED_version:
      printf("quilmar-server %s\n", QUILMAR_VERSION);
      return 0;
    case ASKED_nothing:
      break;
  }
  if (argc < 2) return server_usage_error();
  const std::string command = argv[1];
  if (is_admin_command(command)) return admin_main(argc, argv);
  if (command != "init" && command != "run" && command != "migrate")
    return server_usage_error();

  server_config cfg;
  cfg.relay_limit.total_bps = DEFAULT_RELAY_RATE;
  bool probe_given = false, relay_given = false;
  for (int i = 2; i < argc; i++) {
    const std::string opt = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (opt == "-d" && value) {
      cfg.dir = value;
      i++;
    } else if (command == "run" && opt == "-l" && value) {
      if (!text_to_ip(value, cfg.listen_addr)) return server_usage_error();
      i++;
    } else if (command == "run" && opt == "-p" && value) {
      if (!parse_port(value, cfg.port)) return server_usage_error();
      i++;
    } else if (command == "run" && opt == "-r" && value) {
      if (!parse_endpoint(value, cfg.redirect)) return server_usage_error();
      i++;
    } else if (command == "run" && (opt == "-m" || opt == "--max-networks" ||
                                    opt == "--enrol-rate") && value) {
      uint16_t n;
      if (!parse_port(value, n) || n == 0) return server_usage_error();
      if (opt == "-m") cfg.max_members = n;
      if (opt == "--max-networks") cfg.max_networks = n;
      if (opt == "--enrol-rate") cfg.enrolments_per_hour = n;
      i++;
    } else if (command == "run" && opt == "--enroll" && value) {
      if (!parse_enrol_policy(value, cfg.enrolment)) return server_usage_error();
      i++;
    } else if (command == "run" && opt == "--metrics" && value) {
      if (!parse_metrics_endpoint(value, cfg.metrics)) return server_usage_error();
      cfg.serve_metrics = true;
      i++;
    } else if ((command == "run" && opt == "--store") || (command == "migrate" && opt == "--to")) {
      if (!value || !is_postgresql_url(value)) return server_usage_error();
      cfg.store_url = value;
      i++;
    } else if (command == "run" && opt == "--demo") {
      cfg.demo = true;
    } else if (command == "run" && opt == "--public-address" && value) {
      if (!parse_address(value, cfg.public_address)) return server_usage_error();
      i++;
    } else if (command == "run" && opt == "--probe-port" && value) {
      if (!parse_port(value, cfg.probe_port)) return server_usage_error();
      probe_given = true;
      i++;
    } else if (command == "run" && opt == "--relay-port" && value) {
      if (!parse_port(value, cfg.relay_port)) return server_usage_error();
      relay_given = true;
      i++;
    } else if (command == "run" && opt == "--relay" && value) {
      const std::string mode = value;
      if (mode == "auto") cfg.relay = RELAY_auto;
      else if (mode == "always") cfg.relay = RELAY_always;
      else if (mode == "never") cfg.relay = RELAY_never;
      else return server_usage_error();
      i++;
    } else if (command == "run" && opt == "--relay-pair-rate" && value) {
      if (!parse_mbit(value, cfg.relay_limit.pair_bps)) return server_usage_error();
      i++;
    } else if (command == "run" && opt == "--relay-rate" && value) {
      if (!parse_mbit(value, cfg.relay_limit.total_bps)) return server_usage_error();
      i++;
    } else {
      return server_usage_error();
    }
  }
  if (cfg.dir.empty()) return server_usage_error();
  if (command == "init") return init_server_dir(cfg.dir);
  if (command == "migrate") return cfg.store_url.empty() ? server_usage_error() : migrate_store(cfg);
  if (!resolve_udp_ports(cfg, probe_given, relay_given)) return 1;
  return run_server(cfg);
}
