#include "warden.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/util.h"
#include "iface.h"
#include "tapdev/tapwarden_msg.h"

namespace {

// A client that does not read its answers is dropped before it can make
// us hold on to an unbounded backlog.
constexpr size_t MAX_PENDING_OUTPUT = 4096;
constexpr int ACCEPTS_PER_ROUND = 16;

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) { stop_signal = sig; }

struct client {
  int fd = -1;
  int id = 0;
  int if_index = 0;
  std::string if_name;
  uint8_t request[TAPW_REQUEST_SIZE];
  size_t have = 0;
  std::string output;  // answers the socket did not take yet
  bool offload_asked = false;  // the interface is made anew once at most
};

class warden {
 public:
  explicit warden(const warden_options &o) : options(o) {}
  ~warden();
  bool listen_on_socket();
  void serve();

 private:
  void accept_clients();
  void greet(int fd);
  void refuse(int fd, int id, int32_t code);
  // False when the client is to be dropped.
  bool read_requests(client &c);
  bool flush(client &c);
  void answer(client &c);
  // Our own request: the interface anew, with a virtio-net header.
  void offer_offloads(client &c);
  void drop(size_t i, const char *why);

  const warden_options &options;
  int listener = -1;
  ino_t socket_inode = 0;
  int next_id = 1;
  std::vector<std::unique_ptr<client>> clients;
  timespec accept_paused_until = {0, 0};
};

timespec now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

bool before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

std::string mac_text(const uint8_t *mac) {
  char buf[32];
  snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return buf;
}

warden::~warden() {
  for (auto &c : clients) close(c->fd);
  if (listener >= 0) {
    close(listener);
    // Only our own socket file goes: a successor may already own the path.
    struct stat st;
    if (lstat(options.socket_path.c_str(), &st) == 0 && st.st_ino == socket_inode)
      unlink(options.socket_path.c_str());
  }
}

bool warden::listen_on_socket() {
  const std::string &path = options.socket_path;
  sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof sa.sun_path) {
    fprintf(stderr, "tapwarden: socket path '%s' is empty or too long\n", path.c_str());
    return false;
  }
  memcpy(sa.sun_path, path.data(), path.size());

  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      fprintf(stderr, "tapwarden: %s exists and is not a socket\n", path.c_str());
      return false;
    }
    // Left behind by an earlier run.
    unlink(path.c_str());
  }

  listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    fprintf(stderr, "tapwarden: socket: %s\n", strerror(errno));
    return false;
  }
  // The socket file is born with its final owner, group and mode: changing
  // them by name afterwards would follow whatever a user with write access
  // to the directory had put at the path in the meantime (a symbolic link
  // to /etc/shadow, say), and we are root.
  gid_t old_egid = getegid();
  if (options.group_set && setegid(options.group) < 0) {
    fprintf(stderr, "tapwarden: giving %s to group %u: %s\n", path.c_str(),
            static_cast<unsigned>(options.group), strerror(errno));
    return false;
  }
  mode_t old_mask = umask(options.group_set ? 0117 : 0177);
  int rc = bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  int bind_error = errno;
  umask(old_mask);
  if (options.group_set && setegid(old_egid) < 0) {
    fprintf(stderr, "tapwarden: setegid back to %u: %s\n", static_cast<unsigned>(old_egid),
            strerror(errno));
    return false;
  }
  if (rc < 0) {
    fprintf(stderr, "tapwarden: bind %s: %s\n", path.c_str(), strerror(bind_error));
    return false;
  }
  if (lstat(path.c_str(), &st) != 0) {
    fprintf(stderr, "tapwarden: %s vanished after bind: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  socket_inode = st.st_ino;
  // A set-group-ID directory hands its own group to new files; lchown then
  // fixes the group without following links.
  if (options.group_set && st.st_gid != options.group &&
      lchown(path.c_str(), static_cast<uid_t>(-1), options.group) < 0) {
    fprintf(stderr, "tapwarden: giving %s to group %u: %s\n", path.c_str(),
            static_cast<unsigned>(options.group), strerror(errno));
    return false;
  }
  if (listen(listener, 64) < 0) {
    fprintf(stderr, "tapwarden: listen: %s\n", strerror(errno));
    return false;
  }
  fprintf(stderr, "tapwarden: listening on %s (mtu %d, at most %d clients)\n", path.c_str(),
          options.mtu, options.max_clients);
  return true;
}

void warden::refuse(int fd, int id, int32_t code) {
  uint8_t greeting[TAPW_GREETING_SIZE] = {};
  memcpy(greeting, &code, sizeof code);
  if (send(fd, greeting, sizeof greeting, MSG_DONTWAIT | MSG_NOSIGNAL) != sizeof greeting)
    fprintf(stderr, "tapwarden: client %d: sending the refusal: %s\n", id, strerror(errno));
  close(fd);
}

void warden::greet(int fd) {
  int id = next_id++;
  ucred cred = {0, 0, 0};
  socklen_t len = sizeof cred;
  getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len);

  if (clients.size() >= static_cast<size_t>(options.max_clients)) {
    fprintf(stderr, "tapwarden: client %d (pid %d, uid %u): too many clients\n", id,
            static_cast<int>(cred.pid), static_cast<unsigned>(cred.uid));
    refuse(fd, id, tapw_code(TAPW_too_many_clients, 0));
    return;
  }

  tap_iface tap;
  int32_t code = tap_create(options.mtu, tap);
  if (code != 0) {
    fprintf(stderr, "tapwarden: client %d (pid %d, uid %u): no interface, code %08x\n", id,
            static_cast<int>(cred.pid), static_cast<unsigned>(cred.uid),
            static_cast<unsigned>(code));
    refuse(fd, id, code);
    return;
  }

  uint8_t greeting[TAPW_GREETING_SIZE] = {};
  memcpy(greeting + 4, tap.mac, sizeof tap.mac);
  ssize_t sent = tapw_send_greeting(fd, greeting, sizeof greeting, tap.fd, MSG_DONTWAIT | MSG_NOSIGNAL);
  int error = errno;
  // The client holds the only descriptor now: when it goes, so does the
  // interface.
  close(tap.fd);
  if (sent != TAPW_GREETING_SIZE) {
    fprintf(stderr, "tapwarden: client %d: sending the greeting: %s\n", id,
            sent < 0 ? strerror(error) : "short write");
    close(fd);
    return;
  }

  fprintf(stderr, "tapwarden: client %d (pid %d, uid %u): %s, mtu %d, hwaddr %s\n", id,
          static_cast<int>(cred.pid), static_cast<unsigned>(cred.uid), tap.name, options.mtu,
          mac_text(tap.mac).c_str());
  auto cl = std::make_unique<client>();
  cl->fd = fd;
  cl->id = id;
  cl->if_index = tap.index;
  cl->if_name = tap.name;
  clients.push_back(std::move(cl));
}

void warden::accept_clients() {
  for (int n = 0; n < ACCEPTS_PER_ROUND; n++) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      greet(fd);
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    if (errno == EINTR || errno == ECONNABORTED) continue;
    // Out of descriptors or memory: the pending connection would wake us
    // again at once, so rest a second instead of spinning.
    fprintf(stderr, "tapwarden: accept: %s\n", strerror(errno));
    accept_paused_until = now();
    accept_paused_until.tv_sec += 1;
    return;
  }
}

void warden::answer(client &c) {
  uint32_t address, netmask;
  memcpy(&address, c.request, 4);
  memcpy(&netmask, c.request + 4, 4);
  int32_t code;
  std::string holder;
  if (address == TAPW_OFFLOAD_ADDRESS && netmask == TAPW_OFFLOAD_MAGIC) {
    offer_offloads(c);
    return;
  }
  if (!request_allowed(address, netmask)) {
    code = tapw_code(TAPW_bad_request, EINVAL);
    fprintf(stderr, "tapwarden: client %d: refused %s/%s\n", c.id, ip_to_text(address).c_str(),
            ip_to_text(netmask).c_str());
  } else if (!(holder = address_holder(address, c.if_index)).empty()) {
    code = tapw_code(TAPW_bad_request, EADDRINUSE);
    fprintf(stderr, "tapwarden: client %d: refused %s/%s, which %s carries\n", c.id,
            ip_to_text(address).c_str(), ip_to_text(netmask).c_str(), holder.c_str());
  } else {
    std::string name;
    code = tap_configure(c.if_index, address, netmask, name);
    if (code == 0)
      fprintf(stderr, "tapwarden: client %d: %s is %s/%s, up\n", c.id, name.c_str(),
              ip_to_text(address).c_str(), ip_to_text(netmask).c_str());
  }
  c.output.append(reinterpret_cast<const char *>(&code), sizeof code);
}

void warden::offer_offloads(client &c) {
  int32_t code = 0;
  tap_iface tap;
  // The new greeting must not overtake answers still waiting to go.
  if (c.offload_asked || !c.output.empty()) code = tapw_code(TAPW_bad_request, EBUSY);
  if (code == 0) code = tap_create(options.mtu, tap, true);
  c.offload_asked = true;
  if (code != 0) {
    fprintf(stderr, "tapwarden: client %d: no interface with offloads, code %08x\n", c.id,
            static_cast<unsigned>(code));
    c.output.append(reinterpret_cast<const char *>(&code), sizeof code);
    return;
  }
  uint8_t greeting[TAPW_GREETING_SIZE] = {};
  memcpy(greeting + 4, tap.mac, sizeof tap.mac);
  ssize_t sent = tapw_send_greeting(c.fd, greeting, sizeof greeting, tap.fd,
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
  close(tap.fd);
  if (sent != TAPW_GREETING_SIZE) {
    // Half a greeting cannot be taken back: the client is dropped at the
    // next round, its old interface with it.
    fprintf(stderr, "tapwarden: client %d: sending the new greeting failed\n", c.id);
    shutdown(c.fd, SHUT_RDWR);
    return;
  }
  fprintf(stderr, "tapwarden: client %d: %s with offloads, hwaddr %s, in place of %s\n", c.id,
          tap.name, mac_text(tap.mac).c_str(), c.if_name.c_str());
  c.if_index = tap.index;
  c.if_name = tap.name;
}

bool warden::read_requests(client &c) {
  uint8_t buf[512];
  ssize_t got = recv(c.fd, buf, sizeof buf, 0);
  if (got == 0) return false;
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  for (ssize_t i = 0; i < got; i++) {
    c.request[c.have++] = buf[i];
    if (c.have == sizeof c.request) {
      answer(c);
      c.have = 0;
    }
  }
  return flush(c);
}

bool warden::flush(client &c) {
  while (!c.output.empty()) {
    ssize_t sent = send(c.fd, c.output.data(), c.output.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      break;
    }
    c.output.erase(0, static_cast<size_t>(sent));
  }
  if (c.output.size() > MAX_PENDING_OUTPUT) {
    fprintf(stderr, "tapwarden: client %d does not read its answers\n", c.id);
    return false;
  }
  return true;
}

void warden::drop(size_t i, const char *why) {
  client &c = *clients[i];
  fprintf(stderr, "tapwarden: client %d %s (%s)\n", c.id, why, c.if_name.c_str());
  close(c.fd);
  clients.erase(clients.begin() + static_cast<long>(i));
}

void warden::serve() {
  sigset_t stop_set, wait_mask;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGTERM);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGHUP);
  // The stop signals are let in only while waiting, so none is lost between
  // the check and the wait.
  sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGHUP);

  std::vector<pollfd> fds;
  while (!stop_signal) {
    fds.clear();
    bool accepting = !before(now(), accept_paused_until);
    fds.push_back({listener, static_cast<short>(accepting ? POLLIN : 0), 0});
    for (auto &c : clients)
      fds.push_back({c->fd, static_cast<short>(POLLIN | (c->output.empty() ? 0 : POLLOUT)), 0});
    timespec wait = {accepting ? 60 : 1, 0};
    int n = ppoll(fds.data(), fds.size(), &wait, &wait_mask);
    if (n < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "tapwarden: poll: %s\n", strerror(errno));
      return;
    }
    // Clients first, by position: accepting appends behind them.
    for (size_t i = fds.size() - 1; i >= 1; i--) {
      short re = fds[i].revents;
      if (!re) continue;
      client &c = *clients[i - 1];
      bool keep = true;
      if (re & (POLLIN | POLLHUP | POLLERR)) keep = read_requests(c);
      if (keep && (re & POLLOUT)) keep = flush(c);
      if (!keep) drop(i - 1, "gone");
    }
    if (fds[0].revents & POLLIN) accept_clients();
  }
  fprintf(stderr, "tapwarden: stopping on signal %d\n", static_cast<int>(stop_signal));
}

}  // namespace

int warden_run(const warden_options &options) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  warden w(options);
  if (!w.listen_on_socket()) return 1;
  w.serve();
  return 0;
}
