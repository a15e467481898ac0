// Encoding of the administration socket's requests and replies, and the
// command line's blocking call (see admin_wire.h).
#include "admin_wire.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/codec.h"
#include "common/util.h"

namespace {

constexpr uint8_t REQUEST_VERSION = 1;
constexpr uint8_t FLAG_online_only = 1;
constexpr int REPLY_WAIT_MS = 120000;
constexpr int CONNECT_RETRY_MS = 50;

std::string framed(const std::string &body) {
  std::string frame(4, '\0');
  put_be32(reinterpret_cast<uint8_t *>(&frame[0]), uint32_t(body.size()));
  return frame + body;
}

bool write_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool read_exact(int fd, char *buf, size_t size, int timeout_ms) {
  size_t done = 0;
  while (done < size) {
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = read(fd, buf + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

int connect_unix(const std::string &path, int wait_ms, std::string &error) {
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof sa.sun_path) {
    error = path + " is too long a path for a socket";
    return -1;
  }
  memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = std::string("socket: ") + strerror(errno);
      return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return fd;
    int err = errno;
    close(fd);
    const bool not_yet = err == ENOENT || err == ECONNREFUSED;
    if (!not_yet || std::chrono::steady_clock::now() >= deadline) {
      error = "cannot reach the server at " + path + ": " + strerror(err);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(CONNECT_RETRY_MS));
  }
}

}  // namespace

std::string admin_socket_path(const std::string &dir) { return dir + "/admin.sock"; }

std::string encode_admin_request(const admin_request &r) {
  std::string body;
  put_u8(body, REQUEST_VERSION);
  put_str(body, r.command);
  put_u8(body, r.online_only ? FLAG_online_only : 0);
  put_len(body, uint32_t(r.args.size()));
  for (const std::string &arg : r.args) put_str(body, arg);
  put_str(body, r.password);
  return framed(body);
}

bool decode_admin_request(const std::string &frame, admin_request &r) {
  try {
    msg_reader in(frame);
    if (in.get_u32() != frame.size() - 4 || in.get_u8() != REQUEST_VERSION) return false;
    r.command = in.get_str();
    r.online_only = (in.get_u8() & FLAG_online_only) != 0;
    uint32_t count = in.get_len();
    r.args.clear();
    for (uint32_t i = 0; i < count; i++) r.args.push_back(in.get_str());
    r.password = in.get_str();
    return in.at_end();
  } catch (const parser::err &) {
    return false;
  }
}

std::string encode_admin_reply(const nlohmann::ordered_json &reply) {
  // Names are bytes; what is not UTF-8 shows as U+FFFD.
  return framed(reply.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

bool decode_admin_reply(const std::string &body, nlohmann::ordered_json &reply) {
  reply = nlohmann::ordered_json::parse(body, nullptr, false);
  if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean()) return false;
  if (reply["ok"].get<bool>()) return reply.contains("result");
  return reply.contains("error") && reply["error"].is_string();
}

nlohmann::ordered_json admin_ok(nlohmann::ordered_json result) {
  return {{"ok", true}, {"result", std::move(result)}};
}

nlohmann::ordered_json admin_error(const std::string &text) {
  return {{"ok", false}, {"error", text}};
}

admin_call_result admin_call(const std::string &socket_path, const admin_request &request,
                             nlohmann::ordered_json &reply, std::string &error,
                             int connect_wait_ms) {
  int fd = connect_unix(socket_path, connect_wait_ms, error);
  if (fd < 0) return ADMIN_unreachable;
  bool ok = write_all(fd, encode_admin_request(request));
  char header[4];
  ok = ok && read_exact(fd, header, sizeof header, REPLY_WAIT_MS);
  uint32_t size = ok ? get_be32(reinterpret_cast<uint8_t *>(header)) : 0;
  std::string body;
  if (ok && size <= ADMIN_MAX_REPLY) {
    body.resize(size);
    ok = read_exact(fd, &body[0], size, REPLY_WAIT_MS);
  } else {
    ok = false;
  }
  close(fd);
  if (!ok || !decode_admin_reply(body, reply)) {
    error = "the server at " + socket_path +
            " gave no usable answer (it answers only its own user and root)";
    return ADMIN_broken;
  }
  return ADMIN_answered;
}
