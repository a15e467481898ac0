#include "proto_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "common/codec.h"
#include "tempdir.h"

namespace {

using clock_type = std::chrono::steady_clock;

client_keys load_demo() {
  client_keys k;
  const std::string dir = std::string(QUILMAR_SOURCE_DIR) + "/keys/";
  std::string pub = read_file(dir + "demo-server.pub"), pri = read_file(dir + "demo-server.pri");
  msg_reader rp(pub), rq(pri);
  read_public_key(rp, k.pub);
  read_private_key(rq, k.pri);
  return k;
}

struct no_progress : rsa_keygen_cb {
  void progress() override {}
};

int left_ms(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  return left.count() > 0 ? int(left.count()) : 0;
}

}  // namespace

const client_keys &demo_client_keys() {
  static const client_keys keys = load_demo();
  return keys;
}

const client_keys &generated_keys(int bits) {
  static std::map<int, client_keys> made;
  auto it = made.find(bits);
  if (it != made.end()) return it->second;
  client_keys &k = made[bits];
  no_progress cb;
  rsa_generate(bits, 65537, cb, k.pub, k.pri);
  return k;
}

network_view parse_network(const std::string &body) {
  network_view n;
  msg_reader r(body);
  n.name = r.get_str();
  while (!r.at_end()) {
    srv::network_item item;
    if (!srv::get_network_item(r, item)) throw parser::err();
    switch (item.tag) {
      case srv::NET_owner: n.owner = item.owner; break;
      case srv::NET_member_added: n.added.insert(n.added.end(), item.members.begin(), item.members.end()); break;
      case srv::NET_member_online: n.online.insert(n.online.end(), item.members.begin(), item.members.end()); break;
      case srv::NET_member_offline: n.offline.insert(n.offline.end(), item.members.begin(), item.members.end()); break;
      default: n.removed.insert(n.removed.end(), item.members.begin(), item.members.end()); break;
    }
  }
  return n;
}

proto_client::proto_client(const client_keys &keys) : keys(keys) {
  server_key = demo_client_keys().pub;
}

proto_client::~proto_client() { disconnect(); }

bool proto_client::connect(uint16_t port, uint32_t from) {
  disconnect();
  fd = socket(AF_INET, SOCK_STREAM, 0);
  local_addr = from;
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(from);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return false;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(server_addr);
  return ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

void proto_client::disconnect() {
  if (fd >= 0) close(fd);
  if (udp_fd >= 0) close(udp_fd);
  fd = udp_fd = -1;
  mc.reset();
  queued.clear();
}

bool proto_client::send_raw(const std::string &bytes) {
  return fd >= 0 && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

bool proto_client::send(std::string frame) {
  if (mc && mc->active())
    mc->protect(frame, false);
  else
    srv::frame_set_length(frame);
  return send_raw(frame);
}

bool proto_client::read_exact(char *buf, size_t n, int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  size_t got = 0;
  while (got < n) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left_ms(deadline)) <= 0) return false;
    ssize_t r = recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

bool proto_client::read_frame(std::string &frame, int timeout_ms) {
  if (fd < 0) return false;
  char len[4];
  if (!read_exact(len, 4, timeout_ms)) return false;
  uint32_t n = uint32_t(uint8_t(len[0])) << 24 | uint32_t(uint8_t(len[1])) << 16 |
               uint32_t(uint8_t(len[2])) << 8 | uint8_t(len[3]);
  if (n > srv::MAX_FRAME) return false;
  frame.assign(len, 4);
  frame.resize(4 + n);
  if (!read_exact(&frame[4], n, timeout_ms)) return false;
  if (mc && mc->active() && !mc->unprotect(frame)) return false;
  return true;
}

bool proto_client::expect(uint8_t type, message &m, int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    for (auto it = queued.begin(); it != queued.end(); ++it) {
      if (it->type == type) {
        m = *it;
        queued.erase(it);
        return true;
      }
    }
    std::string frame;
    if (!read_frame(frame, left_ms(deadline))) return false;
    if (frame.size() < 9) return false;
    queued.push_back({uint8_t(frame[8]), frame.substr(9)});
  }
}

bool proto_client::has(uint8_t type, int timeout_ms) {
  message m;
  if (!expect(type, m, timeout_ms)) return false;
  queued.push_front(m);
  return true;
}

bool proto_client::closed_by_server(int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  while (fd >= 0) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left_ms(deadline)) <= 0) return false;
    char buf[4096];
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
    if (r < 0) return false;
  }
  return false;
}

uint8_t proto_client::status_reply(uint8_t type) {
  message m;
  if (!expect(type, m) || m.body.empty()) return 0;
  return uint8_t(m.body[0]);
}

uint8_t proto_client::helo(uint8_t version, const std::string *fingerprint) {
  mc.reset(new msg_crypto_v2());
  mc->make_local();
  srv::helo_msg h;
  h.version = version;
  varint_lengths = false;
  h.fingerprint = fingerprint ? *fingerprint : key_fingerprint(server_key);
  varint_lengths = true;
  h.nonce = mc->nx;
  h.dh_value = mc->gx;
  std::string frame = srv::frame_begin(srv::MSG_helo);
  srv::put_helo(frame, h);
  send(frame);
  message m;
  if (!expect(srv::MSG_helo, m) || m.body.empty()) return 0;
  msg_reader r(m.body);
  uint8_t status = r.get_u8();
  if (status != srv::STATUS_ok) return status;
  srv::helo_ok_msg ok;
  srv::get_helo_ok(r, ok);
  if (!r.at_end()) return 0;
  mc->ny = ok.nonce;
  mc->gy = ok.dh_value;
  mc->derive_keys(true, false);
  return status;
}

uint8_t proto_client::enroll(const std::string &nickname) {
  srv::enroll_msg e;
  e.key = keys.pub;
  e.nickname = nickname;
  e.version = "quilmar-lnx-0.9.9.9-17";
  std::string frame = srv::frame_begin(srv::MSG_enroll);
  srv::put_enroll(frame, e);
  send(frame);
  message m;
  if (!expect(srv::MSG_enroll, m) || m.body.empty()) return 0;
  msg_reader r(m.body);
  uint8_t status = r.get_u8();
  if (status != srv::STATUS_ok) return status;
  srv::enrl_ok_msg ok;
  srv::get_enrl_ok(r, ok);
  // The server proves its key: our peer digest is what it signed.
  if (!r.at_end() || !rsa_verify(server_key, ok.signature, mc->peer_digest)) return 0;
  identity = ok.identity;
  channel = mc->in_spi = mc->out_spi = ok.channel;
  return status;
}

uint8_t proto_client::auth(uint32_t who) {
  srv::auth_msg a;
  a.identity = who;
  rsa_sign(keys.pri, mc->local_digest, a.signature);
  a.version = "quilmar-lnx-0.9.9.9-17";
  std::string frame = srv::frame_begin(srv::MSG_auth);
  srv::put_auth(frame, a);
  send(frame);
  message m;
  if (!expect(srv::MSG_auth, m) || m.body.empty()) return 0;
  msg_reader r(m.body);
  uint8_t status = r.get_u8();
  if (status != srv::STATUS_ok) return status;
  srv::auth_ok_msg ok;
  srv::get_auth_ok(r, ok);
  if (!r.at_end() || !rsa_verify(server_key, ok.signature, mc->peer_digest)) return 0;
  identity = who;
  channel = mc->in_spi = mc->out_spi = ok.channel;
  return status;
}

uint8_t proto_client::discovery(uint32_t announce_addr, bool answer_punch) {
  if (udp_fd >= 0) close(udp_fd);
  udp_fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(local_addr);
  bind(udp_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(udp_fd, reinterpret_cast<sockaddr *>(&sa), &len);
  udp_endpoint.addr = ntohl(sa.sin_addr.s_addr);
  udp_endpoint.port = ntohs(sa.sin_port);
  srv::endpoint announced = udp_endpoint;
  if (announce_addr) announced.addr = announce_addr;
  std::string frame = srv::frame_begin(srv::MSG_discovery);
  srv::put_endpoint(frame, announced);
  send(frame);
  if (announce_addr && answer_punch) {
    // Behind a "NAT": do what the client does with a punch.
    std::vector<srv::punch_record> records;
    if (!next_punch(records)) return 0;
    for (const srv::punch_record &p : records) send_udp(p.payload, p.target);
  }
  return status_reply(srv::MSG_discovery);
}

bool proto_client::send_udp(const std::string &bytes, const srv::endpoint &to) {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(to.addr);
  sa.sin_port = htons(to.port);
  return sendto(udp_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&sa),
                sizeof sa) == ssize_t(bytes.size());
}

bool proto_client::recv_udp(std::string &bytes, srv::endpoint &from, int timeout_ms) {
  pollfd p = {udp_fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  char buf[65536];
  sockaddr_in sa = {};
  socklen_t len = sizeof sa;
  ssize_t n = recvfrom(udp_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&sa), &len);
  if (n < 0) return false;
  bytes.assign(buf, size_t(n));
  from.addr = ntohl(sa.sin_addr.s_addr);
  from.port = ntohs(sa.sin_port);
  return true;
}

uint8_t proto_client::sync(std::vector<network_view> *nets) {
  std::string frame = srv::frame_begin(srv::MSG_sync);
  put_u32(frame, 0);
  send(frame);
  uint8_t status = status_reply(srv::MSG_sync);
  // Everything about networks came before sync.ok.
  network_view n;
  while (nets && next_network(n, 0)) nets->push_back(n);
  return status;
}

bool proto_client::login_new(uint16_t port, const std::string &nickname, uint32_t from) {
  return connect(port, from) && helo() == 1 && enroll(nickname) == 1 && discovery() == 1 &&
         sync() == 1;
}

bool proto_client::login(uint16_t port, uint32_t who) {
  return connect(port) && helo() == 1 && auth(who) == 1 && discovery() == 1 && sync() == 1;
}

uint8_t proto_client::create(const std::string &name, const std::string &password) {
  std::string frame = srv::frame_begin(srv::MSG_create);
  srv::put_create(frame, {name, password});
  send(frame);
  return status_reply(srv::MSG_create);
}

uint8_t proto_client::remove(const std::string &name) {
  std::string frame = srv::frame_begin(srv::MSG_delete);
  put_str(frame, name);
  send(frame);
  return status_reply(srv::MSG_delete);
}

uint8_t proto_client::evict(const std::string &name, uint32_t member) {
  return modify(name, srv::evict_record(member));
}

uint8_t proto_client::modify(const std::string &name, const std::string &record) {
  std::string frame = srv::frame_begin(srv::MSG_modify);
  srv::put_modify(frame, {name, record});
  send(frame);
  return status_reply(srv::MSG_modify);
}

uint8_t proto_client::join(const std::string &name, const std::string &password) {
  std::string frame = srv::frame_begin(srv::MSG_join);
  srv::put_join(frame, {name, password});
  send(frame);
  return status_reply(srv::MSG_join);
}

uint8_t proto_client::netop(const std::string &name, uint8_t op) {
  std::string frame = srv::frame_begin(srv::MSG_netop);
  srv::put_netop(frame, {name, op});
  send(frame);
  message m;
  if (!expect(srv::MSG_netop, m)) return 0;
  msg_reader r(m.body);
  srv::netop_reply_msg reply;
  srv::get_netop_reply(r, reply);
  if (!r.at_end() || reply.op != op) return 0;
  return reply.status;
}

uint8_t proto_client::change_nick(const std::string &nickname) {
  std::string frame = srv::frame_begin(srv::MSG_change);
  srv::put_change(frame, {srv::CHANGE_nickname, nickname});
  send(frame);
  return status_reply(srv::MSG_change);
}

uint8_t proto_client::info(uint32_t who, std::string &nickname) {
  std::string frame = srv::frame_begin(srv::MSG_info);
  srv::put_info(frame, {who, srv::INFO_nickname});
  send(frame);
  message m;
  if (!expect(srv::MSG_info, m)) return 0;
  msg_reader r(m.body);
  if (r.get_u32() != who) return 0;
  uint8_t status = r.get_u8();
  if (status == srv::STATUS_ok && r.get_u8() == srv::INFO_nickname) nickname = r.get_str();
  return r.at_end() ? status : 0;
}

bool proto_client::next_network(network_view &n, int timeout_ms) {
  message m;
  if (!expect(srv::MSG_network, m, timeout_ms)) return false;
  n = parse_network(m.body);
  return true;
}

bool proto_client::next_peer(peer_view &p, int timeout_ms) {
  message m;
  if (!expect(srv::MSG_peer, m, timeout_ms)) return false;
  msg_reader r(m.body);
  p.peer = r.get_u32();
  p.status = r.get_u8();
  if (p.status == srv::STATUS_ok) srv::get_peer_ok(r, p.ok);
  return r.at_end();
}

bool proto_client::next_punch(std::vector<srv::punch_record> &records, int timeout_ms) {
  message m;
  if (!expect(srv::MSG_punch, m, timeout_ms)) return false;
  msg_reader r(m.body);
  records = srv::get_punch(r);
  return r.at_end();
}

bool proto_client::next_evicted(std::string &name, int timeout_ms) {
  message m;
  if (!expect(srv::MSG_evicted, m, timeout_ms)) return false;
  msg_reader r(m.body);
  name = r.get_str();
  return r.at_end();
}
