// The session's lifecycle: states, error reports, going online and
// offline, the lookup and connection, the UDP socket, timers and
// reconnection, and the redirect, which acts on the connection itself. The
// login replies are in session_steps.cpp, punching in session_punch.cpp.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "client/config.h"
#include "client/session.h"
#include "clisrv/server_msg.h"
#include "common/log.h"
#include "common/util.h"
#include "stack/io_pipe.h"

namespace {

constexpr uint32_t kBufPipeLimit = 16384;

}  // namespace

session::session(session_cb *c) : cb(c) {
  udp_sock.fd = -1;
  udp_sock.cb = this;
  reconnect_timer.cb = this;
  server_keepalive_timer.cb = this;
  tunnel_keepalive_timer.cb = this;
  wake_timer.cb = this;
  punch_timer.cb = this;
}

session::~session() {
  set_reconn(false);
  if (state != STATE_offline) go_offline();
  release_connection();
  evl_timer_stop(&reconnect_timer);
  evl_timer_stop(&server_keepalive_timer);
  evl_timer_stop(&tunnel_keepalive_timer);
  evl_timer_stop(&wake_timer);
  punch_clear();
  if (tap) tap->close();
  delete tap;
  tap = nullptr;
  tx_queued = 0;  // nothing is sent any more
  for (tunnel *t : tunnels) {
    delete t->mc;
    delete t;
  }
  for (peer *p : peers) delete p;
  for (network *n : networks) delete n;
}

void session::set_state(uint32_t new_state, uint8_t new_sub) {
  log_write("ses: state %u.%u -> %u.%u\n", state, sub, new_state, new_sub);
  if (cb) cb->on_state_change(new_state, new_sub);
  state = new_state;
  sub = new_sub;
}

void session::report_error(uint32_t kind) {
  log_write("ses: error %u %s %u %u\n", kind, err_text.c_str(), err_detail, last_status);
  if (cb) cb->on_session_error(kind);
  err_text.clear();
  err_detail = 0;
  if (kind == ERR_refused && srv::status_is_final(last_status)) set_reconn(false);
  go_offline();
  if (kind == ERR_refused && last_status == srv::STATUS_again) {
    // The server sent us elsewhere (or asked us to come back at once):
    // connect without a new lookup and without the reconnect delay.
    evl_timer_stop(&reconnect_timer);
    start_connect();
  }
}

void session::set_reconn(bool on) {
  log_write("ses: set_reconn(%s)\n", on ? "yes" : "no");
  reconnect = on;
  if (!on) evl_timer_stop(&reconnect_timer);
}

void session::go_online() {
  QUILMAR_ASSERT(tap);
  QUILMAR_ASSERT(state == STATE_offline);
  log_write("ses: go_online\n");
  evl_timer_stop(&reconnect_timer);
  // Called while a login is under way: start afresh rather than leaving the
  // old connection behind.
  release_connection();
  if (current_config.server_key_digest.empty()) {
    // Without the server's key anyone could pose as the server: we talk to
    // no one, and say which file would let us.
    const std::string needed = current_config.cfg_path + "/server.pub";
    log_write("ses: no server key: copy the mediation server's server.pub to %s\n",
              needed.c_str());
    set_reconn(false);
    err_text = needed;
    report_error(ERR_server_key);
    return;
  }
  start_resolve();
}

void session::go_offline() {
  config &cfg = current_config;
  log_write("ses: go_offline\n");
  set_state(STATE_offline, 0);
  release_connection();
  evl_timer_stop(&server_keepalive_timer);
  evl_timer_stop(&wake_timer);
  set_state(STATE_offline, 1);
  if (reconnect) {
    uint32_t r;
    random_bytes(&r, sizeof r);
    uint32_t span = cfg.reconnect_max >= cfg.reconnect_min
                        ? cfg.reconnect_max - cfg.reconnect_min
                        : 0;
    uint32_t delay = cfg.reconnect_min + (span == UINT32_MAX ? r : r % (span + 1));
    reconnect_timer.period = delay;
    evl_timer_start(&reconnect_timer);
    log_write("ses: reconnect in %u msec\n", delay);
  } else {
    purge_state();
  }
  cfg.auto_login = reconnect;
  save_state(cfg);
}

void session::release_connection() {
  connection_count++;
  delete mc;
  mc = nullptr;
  if (pipe) {
    pipe->close();  // closes the socket too
    pipe = nullptr;
  } else if (fd >= 0) {
    close(fd);
  }
  fd = -1;
  resolve_cancel(this);
  close_udp();
}

void session::start_resolve() {
  set_state(STATE_resolve, 0);
  resolve(current_config.server_host.c_str(), this);
}

void session::on_resolved(int error, const uint32_t *addrs, int count) {
  if (state != STATE_resolve) return;  // an answer nobody waits for any more
  const config &cfg = current_config;
  if (count == 0) {
    err_text = "resolve";
    err_detail = static_cast<uint32_t>(error);
    report_error(ERR_resolve);
    return;
  }
  const uint32_t chosen = addrs[server_turn++ % static_cast<uint32_t>(count)];
  log_write("ses: resolved %s -> %s\n", cfg.server_host.c_str(),
            ip_to_text(ntohl(chosen)).c_str());
  server_addr = sockaddr_in{};
  server_addr.sin_family = AF_INET;
  server_addr.sin_port = htons(static_cast<uint16_t>(cfg.server_port));
  server_addr.sin_addr.s_addr = chosen;
  set_state(STATE_resolve, 1);
  start_connect();
}

// The connect does not block the loop: the pipe reports when the socket
// becomes writable, and on_ready checks that the connection was made.
void session::start_connect() {
  set_state(STATE_connect, 0);
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    err_text = "socket";
    err_detail = static_cast<uint32_t>(errno);
    report_error(ERR_local);
    return;
  }
  log_write("ses: connecting to %s ..\n", endpoint_text(server_addr).c_str());
  if (connect(s, reinterpret_cast<const sockaddr *>(&server_addr), sizeof server_addr) != 0 &&
      errno != EINTR && errno != EAGAIN && errno != ETIMEDOUT && errno != EINPROGRESS) {
    err_text = "connect";
    err_detail = static_cast<uint32_t>(errno);
    close(s);
    report_error(ERR_connect);
    return;
  }
  io_pipe *tcp = tcp_pipe_create(s);
  io_pipe *buf = tcp ? buf_pipe_create(tcp, kBufPipeLimit) : nullptr;
  io_pipe *dgm = buf ? dgm_pipe_create(buf, srv::MAX_FRAME) : nullptr;
  if (!dgm) {
    if (buf) buf->close();
    else if (tcp) tcp->close();
    else close(s);
    err_text = "io_pipe";
    report_error(ERR_local);
    return;
  }
  fd = s;  // owned by the pipe; kept to read the connection's addresses
  pipe = dgm;
  pipe->attach(this);
}

void session::on_ready() {
  if (state != STATE_connect || sub != 0) return;
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  if (error != 0) {
    err_text = "connect";
    err_detail = static_cast<uint32_t>(error);
    report_error(ERR_connect);
    return;
  }
  len = sizeof local_addr;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&local_addr), &len) != 0) {
    report_error(ERR_local);
    return;
  }
  log_write("ses: io_ready -- %s\n", endpoint_text(local_addr).c_str());
  set_state(STATE_connect, 1);
  send_helo();
}

void session::on_closed() {
  err_text = "io_close";
  report_error(ERR_connect);
}

void session::on_error(const char *context, int code) {
  err_text = context;
  err_detail = static_cast<uint32_t>(code);
  report_error(ERR_connect);
}

void session::on_timer(evl_timer *timer) {
  if (timer == &reconnect_timer) {
    evl_timer_stop(&reconnect_timer);
    start_resolve();
  } else if (timer == &server_keepalive_timer) {
    QUILMAR_ASSERT(state == STATE_ready);
    std::string frame = srv::frame_begin(srv::MSG_keepalive);
    send_msg(frame);
  } else if (timer == &tunnel_keepalive_timer) {
    send_tunnel_keepalives();
  } else if (timer == &wake_timer) {
    check_wake();
  } else if (timer == &punch_timer) {
    punch_step();
  } else {
    QUILMAR_ASSERT(0);
  }
}

bool session::open_udp() {
  const config &cfg = current_config;
  close_udp();
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    log_write("ses: socket(udp) failed %d\n", errno);
    return false;
  }
  udp_sock.fd = s;
  local_addr.sin_port = htons(static_cast<uint16_t>(cfg.udp_port));
  if (bind(s, reinterpret_cast<const sockaddr *>(&local_addr), sizeof local_addr) != 0) {
    log_write("ses: bind(%u) failed %d\n", cfg.udp_port, errno);
    close_udp();
    return false;
  }
  socklen_t len = sizeof local_addr;
  if (getsockname(s, reinterpret_cast<sockaddr *>(&local_addr), &len) != 0) {
    log_write("ses: getsockname() failed %d\n", errno);
    close_udp();
    return false;
  }
  log_write("ses: udp sock -- %s\n", endpoint_text(local_addr).c_str());
  size_udp_buffers();
  enable_udp_offloads();
  udp_sock.mask = EVL_READ;
  evl_watch(&udp_sock);
  return true;
}

void session::close_udp() {
  punch_clear();  // its datagrams would leave from another socket
  if (udp_sock.fd < 0) return;
  evl_unwatch(&udp_sock);
  close(udp_sock.fd);
  udp_sock.fd = -1;
}

void session::run_command(const std::string &command) {
  if (command.empty()) return;
  // The daemon runs with an empty file creation mask; what the user's
  // command creates must not be writable by everybody.
  const mode_t daemon_mask = umask(022);
  int status = system(command.c_str());
  umask(daemon_mask);
  (void)status;  // the command's outcome is its own business
}

// ---- Messages about the connection itself ----

void session::on_redirect(msg_reader &r) {
  if (take_status(r) != srv::STATUS_again) {
    report_error(ERR_refused);
    return;
  }
  srv::endpoint to = srv::get_endpoint(r);  // anything after it is not ours
  log_write("ses: redirect to %s:%u\n", ip_to_text(to.addr).c_str(), to.port);
  server_addr.sin_family = AF_INET;
  server_addr.sin_addr.s_addr = htonl(to.addr);
  server_addr.sin_port = htons(to.port);
  report_error(ERR_refused);
}
