#include "fake_tapwarden.h"

#include "tapdev/tapwarden_msg.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "process.h"

namespace {

constexpr int DEADLINE_MS = 10000;

bool wait_readable(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, DEADLINE_MS) == 1;
}

}  // namespace

std::string greeting_bytes(int32_t code, const uint8_t mac[6]) {
  std::string s(reinterpret_cast<const char *>(&code), 4);
  s.append(reinterpret_cast<const char *>(mac), 6);
  return s;
}

std::string code_bytes(int32_t code) { return std::string(reinterpret_cast<const char *>(&code), 4); }

fake_tapwarden::fake_tapwarden(const std::string &path, fake_script script)
    : script_(std::move(script)) {
  listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
  bind(listener_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  listen(listener_, 4);
  thread_ = std::thread([this] { run(); });
}

fake_tapwarden::~fake_tapwarden() {
  thread_.join();
  if (listener_ >= 0) close(listener_);
}

void fake_tapwarden::run() {
  if (!wait_readable(listener_)) {
    done_ = true;
    return;
  }
  int fd = accept(listener_, nullptr, nullptr);
  // One client only: later ones are refused outright.
  close(listener_);
  listener_ = -1;
  tapw_send_greeting(fd, script_.greeting.data(), script_.greeting.size(), script_.pass_fd,
                     MSG_NOSIGNAL);

  for (const std::string &answer : script_.answers) {
    std::string request;
    while (request.size() < 8 && wait_readable(fd)) {
      char buf[8];
      ssize_t got = recv(fd, buf, 8 - request.size(), 0);
      if (got <= 0) break;
      request.append(buf, static_cast<size_t>(got));
    }
    if (request.size() < 8) break;
    requests_.push_back(request);
    const int pass = requests_.size() == 1 ? script_.answer_fd : -1;
    tapw_send_greeting(fd, answer.data(), answer.size(), pass, MSG_NOSIGNAL);
  }
  // Hold the connection until the client lets go of it.
  char buf[64];
  while (!script_.hang_up && wait_readable(fd)) {
    if (recv(fd, buf, sizeof buf, 0) <= 0) {
      closed_ = true;
      break;
    }
  }
  close(fd);
  done_ = true;
}

bool fake_tapwarden::wait_client_closed() {
  wait_until([this] { return done_.load(); }, std::chrono::milliseconds(DEADLINE_MS + 2000));
  return closed_;
}

std::vector<std::string> fake_tapwarden::requests() const { return requests_; }
