#include "fake_daemon.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "common/codec.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string frame(const std::string &body) {
  std::string f;
  put_u32(f, static_cast<uint32_t>(body.size()));
  return f + body;
}

void write_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += size_t(n);
  }
}

// Waits for the descriptor to become readable; false after the deadline.
bool readable(int fd, clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  if (left.count() < 0) return false;
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, int(left.count())) > 0;
}

}  // namespace

void fake_client::send(const std::string &message) const { write_all(fd_, frame(message)); }

void fake_client::send_together(const std::string &first, const std::string &second) const {
  write_all(fd_, frame(first) + frame(second));
}

bool fake_client::receive(std::string &message, std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  for (;;) {
    if (buffer_.size() >= 4) {
      msg_reader r(buffer_);
      uint32_t n = r.get_u32();
      if (buffer_.size() - 4 >= n) {
        message = buffer_.substr(4, n);
        buffer_.erase(0, 4 + size_t(n));
        return true;
      }
    }
    if (!readable(fd_, deadline)) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, size_t(n));
  }
}

bool fake_client::closes_without_request(std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  if (!readable(fd_, deadline)) return false;
  char c;
  return buffer_.empty() && recv(fd_, &c, 1, 0) == 0;
}

void fake_client::stop_reading() const { shutdown(fd_, SHUT_RD); }

fake_daemon::fake_daemon(const std::string &path) {
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  path.copy(sa.sun_path, sizeof sa.sun_path - 1);
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      listen(listen_fd_, 2) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
}

fake_daemon::~fake_daemon() {
  join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void fake_daemon::serve(std::function<void(fake_client &)> script) {
  join();
  int listen_fd = listen_fd_;
  thread_ = std::thread([listen_fd, script] {
    if (!readable(listen_fd, clock_type::now() + std::chrono::seconds(20))) return;
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    fake_client client(fd);
    script(client);
    close(fd);
  });
}

void fake_daemon::join() {
  if (thread_.joinable()) thread_.join();
}

std::string status_reply(uint32_t state, uint8_t reconnect, const std::string &nickname) {
  std::string m;
  put_u8(m, 128);
  put_str(m, "quilmar-lnx-0.9.9.9-17");
  put_u32(m, 4711);
  put_u32(m, state);
  put_u8(m, 1);
  put_u8(m, reconnect);
  put_str(m, nickname);
  put_str(m, "");
  return m;
}

std::string state_change(uint32_t state, uint8_t sub, uint8_t last_status) {
  std::string m;
  put_u8(m, 129);
  put_u32(m, state);
  put_u8(m, sub);
  put_u8(m, last_status);
  return m;
}

std::string error_reply(uint32_t kind, uint8_t last_status) {
  std::string m;
  put_u8(m, 130);
  put_u32(m, kind);
  put_str(m, kind == 2 ? "io_close" : "");
  put_u32(m, 0);
  put_u8(m, last_status);
  return m;
}

std::string result_reply(uint8_t code, uint8_t result) {
  std::string m;
  put_u8(m, code);
  if (code == 133 || code == 134) put_str(m, "mynet");
  if (code == 134) put_u8(m, 1);
  put_u8(m, result);
  return m;
}

std::string network_reply(const std::string &name, uint8_t online) {
  std::string m;
  put_u8(m, 135);
  put_str(m, name);
  put_u8(m, online);
  return m;
}

std::string member_reply(uint32_t addr, const std::string &nickname, uint8_t online,
                         uint8_t reported, uint32_t tunnel_addr, uint16_t tunnel_port) {
  std::string m;
  put_u8(m, 136);
  put_u32(m, addr);
  put_str(m, nickname);
  put_u8(m, online);
  put_u8(m, reported);
  put_u32(m, tunnel_addr);
  put_u16(m, tunnel_port);
  return m;
}

std::vector<std::string> login_steps() {
  std::vector<std::string> steps;
  for (uint32_t state : {2, 3, 4, 6, 7, 8, 9}) {
    steps.push_back(state_change(state, 0));
    steps.push_back(state_change(state, 1));
  }
  steps.push_back(state_change(10, 1));
  return steps;
}
