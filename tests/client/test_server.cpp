#include "test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/codec.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct quiet_progress : rsa_keygen_cb {
  void progress() override {}
};

// Waits for `fd` to become readable, in short slices so that a stopping
// server is noticed. False on timeout or stop.
bool wait_readable(int fd, clock_type::time_point deadline, const std::atomic<bool> &stopping) {
  while (!stopping) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return false;
    pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 50)));
    if (n > 0) return true;
  }
  return false;
}

// Reads a whole body with `get`: a failure when it is malformed or has
// bytes left over.
template <typename Get>
void read_whole(const std::string &body, const char *what, Get get) {
  try {
    msg_reader r(body);
    get(r);
    EXPECT_TRUE(r.at_end()) << what;
  } catch (const parser::err &) {
    ADD_FAILURE() << "malformed " << what;
  }
}

uint32_t word(const std::string &s) {
  msg_reader r(s);
  return r.get_u32();
}

}  // namespace

// ---- Bodies ----

std::string status_body(uint8_t status) {
  std::string b;
  put_u8(b, status);
  return b;
}

std::string str_body(const std::string &s) {
  std::string b;
  put_str(b, s);
  return b;
}

std::string network_body(const std::string &name,
                         const std::vector<std::pair<uint8_t, std::vector<uint32_t>>> &items) {
  std::string b;
  put_str(b, name);
  for (const auto &item : items) {
    if (item.first == srv::NET_owner) {
      srv::put_network_owner(b, item.second.at(0));
    } else {
      srv::put_network_members(b, item.first, item.second);
    }
  }
  return b;
}

std::string netop_reply_body(uint8_t op, uint8_t status) {
  std::string b;
  srv::put_netop_reply(b, {op, status});
  return b;
}

// ---- The server ----

test_server::test_server(const char *address, const test_server *same_key_as) {
  if (same_key_as) {
    pub = same_key_as->pub;
    pri = same_key_as->pri;
  } else {
    // Short, for speed: the client checks signatures of any size.
    quiet_progress progress;
    EXPECT_TRUE(rsa_generate(1024, 65537, progress, pub, pri));
  }
  listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, address, &sa.sin_addr);
  EXPECT_EQ(bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  EXPECT_EQ(listen(listen_fd, 4), 0);
  socklen_t len = sizeof sa;
  getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len);
  port = ntohs(sa.sin_port);
}

test_server::~test_server() {
  stopping = true;
  join();
  conns.clear();
  if (listen_fd >= 0) ::close(listen_fd);
}

bool test_server::connection_waiting(std::chrono::milliseconds timeout) {
  return wait_readable(listen_fd, clock_type::now() + timeout, stopping);
}

test_conn *test_server::accept(std::chrono::milliseconds timeout) {
  if (!connection_waiting(timeout)) {
    ADD_FAILURE() << "the client did not connect";
    return nullptr;
  }
  int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  EXPECT_GE(fd, 0);
  if (fd < 0) return nullptr;
  conns.push_back(std::make_unique<test_conn>(*this, fd));
  return conns.back().get();
}

void test_server::run(std::function<void(test_server &)> script) {
  thread = std::thread([this, script] {
    script(*this);
    finished = true;
  });
}

void test_server::join() {
  if (thread.joinable()) thread.join();
}

std::string test_server::public_key_file() const {
  std::string bytes;
  varint_lengths = false;
  write_public_key(bytes, pub);
  varint_lengths = true;
  return bytes;
}

// ---- A connection ----

test_conn::test_conn(test_server &s, int f) : server(s), fd(f) {}

test_conn::~test_conn() { close(); }

void test_conn::close() {
  if (fd >= 0) ::close(fd);
  if (udp >= 0) ::close(udp);
  fd = udp = -1;
}

std::string test_conn::send_udp(uint8_t type, const std::string &body, const srv::endpoint &to) {
  if (!mc) {
    ADD_FAILURE() << "no channel to protect a datagram with";
    return "";
  }
  std::string frame = srv::frame_begin(type) + body;
  mc->protect(frame, true);
  send_udp_raw(frame, to);
  return frame;
}

void test_conn::send_udp_raw(const std::string &frame, const srv::endpoint &to) {
  if (udp < 0) udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(to.addr);
  sa.sin_port = htons(to.port);
  EXPECT_EQ(sendto(udp, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa),
            ssize_t(frame.size()));
}

bool test_conn::read_exact(std::string &into, size_t count, clock_type::time_point deadline) {
  into.clear();
  while (into.size() < count) {
    if (!wait_readable(fd, deadline, server.stopping)) return false;
    char buf[65536];
    ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - into.size()), 0);
    if (n <= 0) return false;
    into.append(buf, static_cast<size_t>(n));
  }
  return true;
}

bool test_conn::recv(client_msg &m, std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  std::string head, rest;
  if (!read_exact(head, 4, deadline)) return false;
  if (!read_exact(rest, word(head), deadline)) return false;
  std::string frame = head + rest;
  if (mc && !mc->unprotect(frame)) {
    ADD_FAILURE() << "a frame from the client failed its check";
    return false;
  }
  try {
    msg_reader r(frame);
    m.type = srv::frame_type(r);
    m.body = r.get_bytes(r.remaining());
  } catch (const parser::err &) {
    ADD_FAILURE() << "a frame from the client is too short";
    return false;
  }
  received.push_back(m);
  return true;
}

client_msg test_conn::expect(uint8_t type) {
  client_msg m;
  if (!recv(m)) {
    ADD_FAILURE() << "no message of type " << unsigned(type);
    m.type = 0;
    return m;
  }
  EXPECT_EQ(unsigned(m.type), unsigned(type));
  return m;
}

bool test_conn::wait_closed(std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  while (wait_readable(fd, deadline, server.stopping)) {
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
  return false;
}

std::string test_conn::protected_frame(uint8_t type, const std::string &body) {
  std::string frame = srv::frame_begin(type) + body;
  if (mc) {
    mc->protect(frame, false);
  } else {
    srv::frame_set_length(frame);
  }
  return frame;
}

void test_conn::send(uint8_t type, const std::string &body) {
  send_raw(protected_frame(type, body));
}

void test_conn::send_raw(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client went away; the script will notice
    done += static_cast<size_t>(n);
  }
}

srv::helo_msg test_conn::answer_helo(uint8_t status) {
  srv::helo_msg helo;
  read_whole(expect(srv::MSG_helo).body, "helo", [&](msg_reader &r) { srv::get_helo(r, helo); });
  if (status != srv::STATUS_ok) {
    send(srv::MSG_helo, status_body(status));
    return helo;
  }
  auto channel = std::make_unique<msg_crypto_v2>();
  channel->make_local();
  srv::helo_ok_msg ok;
  ok.nonce = channel->nx;
  ok.dh_value = channel->gx;
  std::string body = status_body(srv::STATUS_ok);
  srv::put_helo_ok(body, ok);
  send(srv::MSG_helo, body);  // still plain
  channel->ny = helo.nonce;
  channel->gy = helo.dh_value;
  channel->derive_keys(false, false);
  server_digest = channel->local_digest;
  client_digest = channel->peer_digest;
  mc = std::move(channel);
  return helo;
}

bool test_conn::client_signed(const std::string &signature, const rsa_public_key &key) const {
  return rsa_verify(key, signature, client_digest);
}

srv::enroll_msg test_conn::answer_enroll(uint32_t identity, uint8_t status, uint32_t channel) {
  srv::enroll_msg enroll;
  read_whole(expect(srv::MSG_enroll).body, "enroll",
             [&](msg_reader &r) { srv::get_enroll(r, enroll); });
  std::string body = status_body(status);
  if (status == srv::STATUS_ok) {
    srv::enrl_ok_msg ok;
    ok.identity = identity;
    EXPECT_TRUE(rsa_sign(server.pri, server_digest, ok.signature));
    ok.channel = channel;
    srv::put_enrl_ok(body, ok);
  }
  send(srv::MSG_enroll, body);
  if (mc) mc->out_spi = mc->in_spi = channel;
  return enroll;
}

srv::auth_msg test_conn::answer_auth(uint8_t status, uint32_t channel) {
  srv::auth_msg auth;
  read_whole(expect(srv::MSG_auth).body, "auth", [&](msg_reader &r) { srv::get_auth(r, auth); });
  std::string body = status_body(status);
  if (status == srv::STATUS_ok) {
    srv::auth_ok_msg ok;
    EXPECT_TRUE(rsa_sign(server.pri, server_digest, ok.signature));
    ok.channel = channel;
    srv::put_auth_ok(body, ok);
  }
  send(srv::MSG_auth, body);
  if (mc) mc->out_spi = mc->in_spi = channel;
  return auth;
}

srv::endpoint test_conn::answer_discovery(uint8_t status) {
  srv::endpoint e;
  read_whole(expect(srv::MSG_discovery).body, "discovery",
             [&](msg_reader &r) { e = srv::get_endpoint(r); });
  send(srv::MSG_discovery, status_body(status));
  return e;
}

void test_conn::answer_sync(uint8_t status, uint32_t *stamp) {
  uint32_t value = 0;
  read_whole(expect(srv::MSG_sync).body, "sync", [&](msg_reader &r) { value = r.get_u32(); });
  if (stamp) *stamp = value;
  send(srv::MSG_sync, status_body(status));
}

void test_conn::answer_login_steps(uint32_t enroll_identity) {
  answer_helo();
  if (enroll_identity) {
    answer_enroll(enroll_identity);
  } else {
    answer_auth();
  }
  answer_discovery();
}

void test_conn::login(uint32_t enroll_identity) {
  answer_login_steps(enroll_identity);
  answer_sync();
}

void test_conn::login_until_sync(uint32_t enroll_identity) {
  answer_login_steps(enroll_identity);
  expect(srv::MSG_sync);
}

std::string test_conn::barrier() {
  std::string body;
  put_u32(body, ++cookie);
  send(srv::MSG_udp_probe, body);
  client_msg m;
  while (recv(m)) {
    if (m.type == srv::MSG_udp_probe_ok) {
      EXPECT_EQ(m.body.substr(0, 4), body);
      return m.body;
    }
  }
  ADD_FAILURE() << "no answer to udp.probe";
  return "";
}
