#include "ipclib/ipc.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "common/log.h"
#include "events/evl.h"

namespace {

// Receives take at most this much at a time.
constexpr size_t RECV_CHUNK = 128;

class ipc_core : public evl_cb {
 public:
  ipc_core(ipc_cb *owner, int fd, int mask) : owner(owner) {
    ev.fd = fd;
    ev.mask = mask;
    ev.cb = this;
  }
  ~ipc_core() override {
    evl_unwatch(&ev);
    if (ev.fd >= 0) close(ev.fd);
  }
  void on_timer(evl_timer *) override {}

  ipc_cb *owner;
  evl_event ev;
  std::string rbuf;  // received bytes not yet delivered
};

class ipc_serv final : public ipc_core {
 public:
  ipc_serv(ipc_cb *owner, int fd) : ipc_core(owner, fd, EVL_READ) {}
  void on_event(evl_event *, int) override;
};

class ipc_pipe final : public ipc_core {
 public:
  ipc_pipe(ipc_cb *owner, int fd) : ipc_core(owner, fd, EVL_READ | EVL_WRITE) {}
  void on_event(evl_event *, int events) override;

  bool dispatching = false;  // inside on_event: destruction waits for it
  bool ended = false;
};

std::string sock_path;
ipc_serv *srv = nullptr;
ipc_pipe *ipc = nullptr;
unsigned connections = 0;  // counts the connections made, to tell them apart

// Ends the current connection. The object goes at once, unless its own
// event handler is running further up the stack; that handler then
// destroys it as soon as the owner's callback returns.
void end_connection() {
  ipc_pipe *p = ipc;
  if (!p) return;
  // Cleared first, so that the owner may open a new connection from on_close.
  ipc = nullptr;
  p->ended = true;
  evl_unwatch(&p->ev);
  p->owner->on_close();
  if (!p->dispatching) delete p;
}

bool send_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EPIPE;
      return false;
    }
    // A signal may cut a blocking send short; the rest still has to go.
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int set_up_socket(bool listening) {
  if (sock_path.empty() || sock_path.size() >= sizeof(sockaddr_un::sun_path) ||
      sock_path.find('\0') != std::string::npos) {
    log_write("ipc: the size of path '%s' is invalid\n", sock_path.c_str());
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_write("ipc: socket() failed with %d\n", errno);
    return -1;
  }
  sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path, sock_path.data(), sock_path.size());
  int rc;
  if (listening) {
    // A socket file left behind by an earlier daemon would make bind fail.
    unlink(sock_path.c_str());
    rc = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  } else {
    rc = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  }
  if (rc != 0) {
    log_write("ipc: %s() failed with %d\n", listening ? "bind" : "connect", errno);
    close(fd);
    return -1;
  }
  if (listening && listen(fd, 2) != 0) {
    log_write("ipc: listen() failed with %d\n", errno);
    close(fd);
    return -1;
  }
  return fd;
}

// A client that has just gone (one command run right after another) may
// have its hang-up waiting in the same poll round as the next client's
// arrival, behind it. Such a connection is finished first, its last
// messages delivered, so that the next client is not turned away as busy.
// Only a connection whose peer has closed is read here: its receives
// cannot block.
void finish_departed_client() {
  if (!ipc) return;
  pollfd p = {ipc->ev.fd, POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
  int events = EVL_READ | (ipc->ev.mask & EVL_WRITE);
  // The owner may start another connection from on_close; that one is
  // not to be read here.
  const unsigned departing = connections;
  while (ipc && connections == departing) {
    ipc->on_event(&ipc->ev, events);
    events = EVL_READ;
  }
}

// The daemon takes orders from its own user and from root, whatever the
// socket file's permissions let through; the kernel vouches for who is at
// the other end.
bool peer_may_connect(int fd) {
  static log_limit refusals;
  ucred cred = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 &&
      (cred.uid == geteuid() || cred.uid == 0))
    return true;
  log_limited(refusals, evl_now, "ipc: refused a client", [&] {
    log_write("ipc: refused a client of uid %d (pid %d)\n", static_cast<int>(cred.uid),
              static_cast<int>(cred.pid));
  });
  return false;
}

void ipc_serv::on_event(evl_event *, int) {
  int fd = accept4(ev.fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    log_write("ipc: accept() failed with %d\n", errno);
    return;
  }
  if (!peer_may_connect(fd)) {
    close(fd);
    return;
  }
  finish_departed_client();
  if (ipc) {
    log_write("ipc: busy with another client\n");
    close(fd);
    return;
  }
  ipc = new ipc_pipe(owner, fd);
  connections++;
  evl_watch(&ipc->ev);
}

void ipc_pipe::on_event(evl_event *, int events) {
  dispatching = true;
  if (events & EVL_WRITE) {
    ev.mask &= ~EVL_WRITE;
    evl_watch(&ev);
    owner->on_open();
    if (ended) {
      delete this;
      return;
    }
  }
  if (events & EVL_READ) {
    char buf[RECV_CHUNK];
    ssize_t n;
    do n = recv(ev.fd, buf, sizeof buf, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      if (n < 0) log_write("ipc: socket_recv() failed with %d\n", errno);
      end_connection();
      delete this;
      return;
    }
    rbuf.append(buf, static_cast<size_t>(n));
    size_t pos = 0;
    while (rbuf.size() - pos >= 4) {
      const auto *p = reinterpret_cast<const uint8_t *>(rbuf.data() + pos);
      uint32_t len = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
      if (len > IPC_MAX_MESSAGE) {
        log_write("ipc: message of %u bytes is too long\n", len);
        end_connection();
        delete this;
        return;
      }
      if (rbuf.size() - pos - 4 < len) break;
      std::string message = rbuf.substr(pos + 4, len);
      pos += 4 + size_t(len);
      owner->on_message(message);
      if (ended) {
        delete this;
        return;
      }
    }
    rbuf.erase(0, pos);
  }
  dispatching = false;
}

// Ends the current connection without callbacks; deleting it is left to
// its own handler when that is running.
void drop_connection() {
  if (!ipc) return;
  ipc_pipe *old = ipc;
  ipc = nullptr;
  old->ended = true;
  evl_unwatch(&old->ev);
  if (!old->dispatching) delete old;
}

}  // namespace

void ipc_set_path(const std::string &path) { sock_path = path; }

bool ipc_listen(ipc_cb *owner) {
  QUILMAR_ASSERT(! srv);
  int fd = set_up_socket(true);
  if (fd < 0) return false;
  // A second listener replaces the first, whose file is gone anyway.
  delete srv;
  srv = new ipc_serv(owner, fd);
  evl_watch(&srv->ev);
  return true;
}

bool ipc_connect(ipc_cb *owner) {
  QUILMAR_ASSERT(! ipc);
  int fd = set_up_socket(false);
  if (fd < 0) return false;
  drop_connection();
  ipc = new ipc_pipe(owner, fd);
  connections++;
  evl_watch(&ipc->ev);
  return true;
}

bool ipc_send(const std::string &message) {
  if (!ipc) {
    QUILMAR_ASSERT(ipc);
    return false;
  }
  if (message.size() > IPC_MAX_MESSAGE) {
    // The peer would drop the connection over it.
    log_write("ipc: message of %zu bytes is too long\n", message.size());
    return false;
  }
  uint32_t n = static_cast<uint32_t>(message.size());
  char len[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
  if (!send_all(ipc->ev.fd, len, 4) || !send_all(ipc->ev.fd, message.data(), message.size())) {
    log_write("ipc: socket_send() failed with %d\n", errno);
    end_connection();
    return false;
  }
  return true;
}

void ipc_close() {
  drop_connection();
  delete srv;
  srv = nullptr;
}
