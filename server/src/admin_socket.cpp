// The running server's end of the administration socket (admin_socket.h).
#include "admin_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "admin_hub.h"
#include "admin_wire.h"
#include "common/log.h"
#include "events/evl.h"
#include "hub.h"
#include "stack/io_pipe.h"

namespace {

constexpr uint32_t SWEEP_MS = 1000;
// A command line that neither asks nor goes away within this is dropped.
constexpr uint32_t IDLE_MS = 60000;

class admin_listener;

struct admin_conn final : io_pipe_cb {
  admin_conn(admin_listener &owner, io_pipe *pipe) : owner(owner), pipe(pipe), opened(evl_now) {}
  void on_ready() override {}
  void on_data(std::string &frame) override;
  void on_closed() override { end(); }
  void on_error(const char *, int) override { end(); }
  void end() {
    if (pipe) pipe->close();
    pipe = nullptr;
  }

  admin_listener &owner;
  io_pipe *pipe;  // null once ended
  uint32_t opened;
  bool answered = false;
  bool in_store = false;  // its command runs on the store's worker: kept until it is back
};

class admin_listener final : public admin_socket, public evl_cb {
 public:
  admin_listener(hub &h, const std::string &dir)
      : h(h), path(admin_socket_path(dir)), live(hub_admin_live(h)) {
    listener.cb = sweeper.cb = this;
    sweeper.period = SWEEP_MS;
  }

  ~admin_listener() override {
    // Answers still out come back to connections that still exist.
    h.jobs->settle();
    for (admin_conn *c : conns) {
      c->end();
      delete c;
    }
    if (listener.fd >= 0) {
      evl_unwatch(&listener);
      close(listener.fd);
      unlink(path.c_str());
    }
    evl_timer_stop(&sweeper);
  }

  bool start() {
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
      log_write("srv: %s is too long a path for the administration socket\n", path.c_str());
      return false;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // We hold the directory's lock: a socket file there is a dead server's.
    unlink(path.c_str());
    mode_t old_mask = umask(0177);
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
              chmod(path.c_str(), 0600) == 0 && listen(fd, 16) == 0;
    umask(old_mask);
    if (!ok) {
      log_write("srv: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
      if (fd >= 0) close(fd);
      return false;
    }
    listener.fd = fd;
    listener.mask = EVL_READ;
    evl_watch(&listener);
    evl_timer_start(&sweeper);
    log_write("srv: administration socket %s\n", path.c_str());
    return true;
  }

  void answer(admin_conn &c, const std::string &frame) {
    if (c.answered || !c.pipe) return;
    c.answered = true;
    auto request = std::make_shared<admin_request>();
    if (!decode_admin_request(frame, *request)) {
      c.pipe->send(encode_admin_reply(admin_error("malformed request")));
      return;
    }
    auto reply = std::make_shared<nlohmann::ordered_json>();
    auto view = std::make_shared<admin_snapshot>(h);
    c.in_store = true;
    admin_conn *asker = &c;
    h.jobs->post([request, reply, view](store &db) { *reply = admin_execute(*request, db, view.get()); },
                 [this, asker, request, reply, view] {
                   // The clients hear of the change once it is in the store.
                   view->replay(*live);
                   if (!(*reply)["ok"].get<bool>())
                     log_write("srv: admin: %s refused: %s\n", request->command.c_str(),
                               (*reply)["error"].get<std::string>().c_str());
                   asker->in_store = false;
                   if (asker->pipe) asker->pipe->send(encode_admin_reply(*reply));
                 });
  }

  void on_event(evl_event *, int) override {
    for (;;) {
      int fd = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      ucred cred = {};
      socklen_t len = sizeof cred;
      if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
          (cred.uid != geteuid() && cred.uid != 0)) {
        log_write("srv: admin: refused a connection from uid %u\n", unsigned(cred.uid));
        close(fd);
        continue;
      }
      io_pipe *pipe = dgm_pipe_create(buf_pipe_create(tcp_pipe_create(fd), ADMIN_MAX_REPLY + 4),
                                      ADMIN_MAX_REQUEST);
      admin_conn *c = new admin_conn(*this, pipe);
      conns.insert(c);
      pipe->attach(c);
    }
  }

  void on_timer(evl_timer *) override {
    for (auto it = conns.begin(); it != conns.end();) {
      admin_conn *c = *it;
      if (c->pipe && evl_now - c->opened > IDLE_MS) c->end();
      if (c->pipe || c->in_store) {
        ++it;
        continue;
      }
      it = conns.erase(it);
      delete c;
    }
  }

 private:
  hub &h;
  const std::string path;
  std::unique_ptr<admin_live> live;
  evl_event listener;
  evl_timer sweeper;
  std::set<admin_conn *> conns;
};

void admin_conn::on_data(std::string &frame) { owner.answer(*this, frame); }

}  // namespace

std::unique_ptr<admin_socket> admin_socket_start(hub &h, const std::string &dir) {
  std::unique_ptr<admin_listener> s(new admin_listener(h, dir));
  if (!s->start()) return nullptr;
  return s;
}
