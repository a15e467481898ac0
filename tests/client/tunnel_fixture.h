// What the tunnel and packet-path tests share: a session logged in to the
// scripted server, which introduces two scripted peers on loopback UDP
// sockets (5.0.0.2 and 5.0.0.3), and a tap device that records every frame
// the session writes.
//
//   test thread                         server thread
//   +-------------------------------+   +----------------------------+
//   | session (5.0.0.9)             |   | test_server: login, the    |
//   |   tap: recording_tap          |   | network "lan", peer.ok for |
//   |   udp 127.0.0.1:x  <-------------->  5.0.0.2 and 5.0.0.3, then |
//   | peer_end p2, p3 (127.0.0.1)   |   | whatever the test adds     |
//   +-------------------------------+   +----------------------------+
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clisrv/msg_crypto.h"
#include "clisrv/server_msg.h"
#include "common/codec.h"
#include "session_fixture.h"

const uint32_t kSelf = 0x05000009;  // 5.0.0.9
const uint32_t kP2 = 0x05000002, kP3 = 0x05000003;
const std::string kEnrolledState = "Identity   5.0.0.9\nAutoLogin  yes\n";

// A tap device that keeps what the session writes into it.
struct recording_tap : tapdev {
  explicit recording_tap(tapdev_cb *o) : owner(o) {
    const uint8_t m[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    memcpy(mac, m, 6);
  }
  bool open() override { return true; }
  void close() override {}
  bool bring_up() override { return true; }
  void bring_down() override {}
  void configure(uint32_t, uint32_t) override { owner->on_configured(true); }
  int write(const void *frame, int length) override {
    written.emplace_back(static_cast<const char *>(frame), static_cast<size_t>(length));
    return length;
  }
  tapdev_cb *owner;
  std::vector<std::string> written;
};

inline std::string be32_text(uint32_t v) {
  std::string s;
  put_u32(s, v);
  return s;
}

// A peer at the other end of a tunnel: its own UDP socket and the tunnel's
// keys, protecting what it sends with `to_session` in front and checking
// what the session sends it under `from_session`.
struct peer_end {
  peer_end(uint32_t vip, uint32_t to_session, uint32_t from_session, std::string key_material)
      : vip(vip), to_session(to_session), from_session(from_session), keymat(std::move(key_material)) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
    rekey();
  }
  ~peer_end() { close(fd); }

  // Fresh protection objects, as a new peer.ok gives the peer.
  void rekey() {
    tx.reset(new msg_crypto_v2());
    rx.reset(new msg_crypto_v2());
    tx->set_keys(keymat, false);
    rx->set_keys(keymat, false);
    tx->out_spi = to_session;
  }

  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
  }

  // The datagram that carries `message` (protocol number first).
  std::string datagram(const std::string &message) {
    std::string frame = std::string(8, '\0') + message;
    tx->protect(frame, true);
    return frame;
  }
  void send_raw(const std::string &bytes, const sockaddr_in &to) {
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }
  // The next datagram within `ms`, or empty.
  std::string recv(int ms = 2000) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  // The message inside a datagram from the session; "!" when it does not
  // pass as one.
  std::string open(std::string datagram) {
    if (datagram.size() < 4 || datagram.substr(0, 4) != be32_text(from_session)) return "!";
    if (!rx->unprotect(datagram)) return "!";
    return datagram.substr(8);
  }

  // What the server tells the session about this peer.
  std::string peer_ok_body() const {
    std::string b;
    put_u32(b, vip);
    put_u8(b, srv::STATUS_ok);
    srv::peer_ok_msg m;
    m.public_endpoint = {INADDR_LOOPBACK, port};
    m.spi_in = to_session;
    m.spi_out = from_session;
    m.keymat = keymat;
    srv::put_peer_ok(b, m);
    return b;
  }

  uint32_t vip, to_session, from_session;
  std::string keymat;
  int fd = -1;
  uint16_t port = 0;
  std::unique_ptr<msg_crypto> tx, rx;
};

inline std::string keymat_of(char c, size_t len = 120) { return std::string(len, c); }

class TunnelTest : public SessionTest {
 protected:
  // Logs in with `more_config`, introduces both peers and lets the script
  // go on with `more` (which starts at pause 1 and may pause further).
  void login_with_peers(const std::string &more_config = "",
                        std::function<void(test_conn *)> more = nullptr) {
    start(kEnrolledState, more_config);
    delete s->tap;
    tap = new recording_tap(s.get());
    s->tap = tap;
    tap->configure(kSelf, 0xff000000);
    const std::string ok2 = p2.peer_ok_body(), ok3 = p3.peer_ok_body();
    server.run([=](test_server &srv) {
      test_conn *c = srv.accept();
      if (!c) return;
      c->login();
      c->send(srv::MSG_network,
              network_body("lan", {{srv::NET_member_online, {kP2, kP3}}}));
      c->send(srv::MSG_peer, ok2);
      c->send(srv::MSG_peer, ok3);
      c->barrier();
      pause(1);
      if (more) more(c);
    });
    s->go_online();
    ASSERT_TRUE(reached(1)) << logged_text();
    ASSERT_EQ(s->state, STATE_ready);
    ASSERT_EQ(s->tunnels.size(), 2u);
    session_udp = s->local_addr;
  }

  // Lines of a kind already written hold back the next for a second; a
  // test that wants to see the next one at once starts the limits afresh.
  void forget_log_limits() {
    s->udp_log = datagram_log_limits();
    for (tunnel *t : s->tunnels) t->log = decltype(t->log)();
  }

  // Runs the loop until the tap has `count` frames.
  bool tap_frames(size_t count) {
    return run_until([&] { return tap->written.size() >= count; });
  }
  bool logged_soon(const std::string &line) {
    return run_until([&] { return logged_line(line); });
  }

  // Hands `frame` to the session as the tap would: in a buffer with room
  // behind it.
  void from_tap(const std::string &frame) {
    std::vector<uint8_t> buf(frame.size() + TAPDEV_TAILROOM, 0xcc);
    memcpy(buf.data(), frame.data(), frame.size());
    s->on_frame(buf.data(), static_cast<int>(frame.size()));
  }

  peer_end p2{kP2, 0x00002201, 0x00002202, keymat_of('a')};
  peer_end p3{kP3, 0x00003301, 0x00003302, keymat_of('b')};
  recording_tap *tap = nullptr;  // owned by the session
  sockaddr_in session_udp{};
  std::atomic<uint16_t> udp_port{0};  // the session's, for scripts
};

// ---- Frames and packets, built by hand ----

inline void put16_at(std::string &s, size_t at, uint16_t v) {
  s[at] = char(v >> 8);
  s[at + 1] = char(v & 0xff);
}

// An IPv4 packet of `size` bytes (at least 20) from `src` to `dst` with
// protocol `proto`; the payload bytes are `fill`.
inline std::string ip4_packet(uint32_t src, uint32_t dst, size_t size, uint8_t proto = 1,
                              char fill = 'p') {
  std::string p(size, fill);
  p.replace(0, 20, std::string(20, '\0'));
  p[0] = 0x45;
  put16_at(p, 2, static_cast<uint16_t>(size));
  p[8] = 64;
  p[9] = char(proto);
  p.replace(12, 4, be32_text(src));
  p.replace(16, 4, be32_text(dst));
  return p;
}

inline std::string mac_of(uint32_t vip) { return std::string("\x00\xff", 2) + be32_text(vip); }
const std::string kHostMac("\x02\x00\x00\x00\x00\x01", 6);

inline std::string ether(const std::string &dst, const std::string &src, uint16_t type) {
  std::string h = dst + src;
  h += char(type >> 8);
  h += char(type & 0xff);
  return h;
}
