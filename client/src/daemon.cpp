// The daemon's start-up, in order: lock, log sink, the session,
// configuration, event loop, control server, signals, the tap device, rate
// limits, the start line and detaching, the automatic login, then the main
// loop. Nothing is torn down at the end: the operating system closes
// sockets and the lock.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "client/config.h"
#include "client/control.h"
#include "client/front.h"
#include "client/session.h"
#include "common/log.h"
#include "common/util.h"
#include "events/evl.h"
#include "tapdev/tapdev.h"

namespace {

// Kept open, and so locked, for the life of the process.
FILE *lock_stream;

// The one session; never destroyed.
session *the_session;

// Obtains the tap device and, for an enrolled client, gives it our
// identity. 0 or the (negative) exit status of the failure.
int start_tap(session &s, const config &cfg) {
  s.tap = cfg.dummy_tap ? tapdev_dummy_create(&s) : tuntap_create(&s, TAPWARDEN_SOCKET, true);
  if (!s.tap->open()) return -5;
  if (!s.tap->bring_up()) return -6;
  if (cfg.identity != 0) {
    s.tap->configure(cfg.identity, cfg.netmask);  // answers before it returns
    if (s.tap_status == 2) {
      log_write("Failed to configure tap device to use %s/%u\n", ip_to_text(cfg.identity).c_str(),
                cfg.netmask);
      return -7;
    }
  }
  return 0;
}

}  // namespace

int daemon_main(const std::vector<std::string> &words) {
  config &cfg = current_config;

  // The doubled slash is harmless and names the same file.
  std::string lock_path = cfg.cfg_path + "/" + "/.lock";
  lock_stream = fopen(lock_path.c_str(), "a");
  if (!lock_stream) {
    printf("Cannot access lock file %s\n", lock_path.c_str());
    return -1;
  }
  if (flock(fileno(lock_stream), LOCK_EX | LOCK_NB) != 0) {
    puts("Quilmar is already started");
    return -1;
  }
  // Children (the resolver, OnOnline commands) must not inherit the lock.
  fcntl(fileno(lock_stream), F_SETFD, FD_CLOEXEC);

  cfg.daemon = !(words.size() > 1 && words[1] == "debug");
  log_set_sink(daemon_log_sink);

  the_session = new session(control_callbacks());

  if (!load_config(cfg)) return -1;  // the loader has logged why

  if (cfg.daemon) log_to_file = !cfg.log_file.empty();

  if (!evl_init()) {
    log_write("Failed to initialize EVL. Does your kernel support epoll() ?\n");
    return -3;
  }

  if (!start_control_server(the_session)) return -2;  // the cause is logged

  signal(SIGCHLD, reap_child);
  signal(SIGPIPE, SIG_IGN);
  for (int sig : {SIGILL, SIGABRT, SIGSEGV, SIGTERM}) sigact(sig, fatal_signal);
  // Detached, SIGHUP asks for the log file to be opened again (it has been
  // moved away, as log rotation does); in the foreground it means that the
  // terminal has gone, and the daemon goes with it.
  if (cfg.daemon)
    reopen_log_on_signal(SIGHUP);
  else
    sigact(SIGHUP, fatal_signal);

  if (int failed = start_tap(*the_session, cfg)) return failed;

  set_rate_limits(*the_session, cfg);

  if (cfg.daemon) {
    printf("Starting Quilmar %s .. ok\n", cfg.version.c_str());
    fflush(stdout);
    log_to_stdout = false;
    log_write("Starting Quilmar %s .. ok\n", cfg.version.c_str());
    daemonize();
  }

  if (cfg.auto_login) {
    the_session->set_reconn(true);
    the_session->go_online();
  }

  while (the_session->running) evl_run(200);
  return 0;
}

// The configuration counts bytes per second, the shapers bits; the product
// does not fit in 32 bits for rates above 512 MB/s.
void set_rate_limits(session &s, const config &cfg) {
  s.rx_shaper.rate = uint64_t(cfg.rx_rate) * 8;
  s.tx_shaper.rate = uint64_t(cfg.tx_rate) * 8;
}

bool daemonize() {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid > 0) _exit(0);
  if (setsid() < 0) return false;
  pid = fork();
  if (pid < 0) return false;
  if (pid > 0) _exit(0);
  umask(0);
  close(0);
  close(1);
  close(2);
  // Descriptors 0, 1 and 2 all become /dev/null.
  if (open("/dev/null", O_RDWR) != 0 || dup(0) != 1 || dup(0) != 2) return true;
  return true;
}
