// Server frames, after the channel protection, reach the session's
// dispatcher in whatever login state the session happens to be. Byte 0 of
// the input picks the state (1 + b % 10) and the sub-state (bit 4); byte 1
// picks what the session already knows: bit 0 a network "lan" with two
// peers, bit 1 an identity, bit 2 "lan" among the online networks, bit 3 a
// configured tap device. The rest is a sequence of frames, each a two-byte
// big-endian length and that many bytes of type and body.
//
// After every frame the tables must be consistent (both sides of every
// relation, no record of our own identity, no duplicates) and the state
// file must hold only entries the daemon can read back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "client/config.h"
#include "client/session.h"
#include "clisrv/server_msg.h"
#include "events/evl.h"
#include "fuzz_check.h"

namespace {

class no_reports final : public session_cb {
 public:
  void on_state_change(uint32_t, uint8_t) override {}
  void on_session_error(uint32_t) override {}
  void on_create_result(uint8_t) override {}
  void on_delete_result(uint8_t) override {}
  void on_modify_result(uint8_t) override {}
  void on_join_result(uint8_t, const std::string &) override {}
  void on_netop_result(uint8_t, const std::string &, uint8_t) override {}
};

void remove_directory() {
  const std::string &dir = current_config.cfg_path;
  unlink((dir + "/state").c_str());
  rmdir(dir.c_str());
}

// A configuration directory of our own (in memory where the system has
// one, since the state file is rewritten often) and the demo keys.
bool setup() {
  config &cfg = current_config;
  char dir[] = "/dev/shm/session_fuzz.XXXXXX";
  char fallback[] = "/tmp/session_fuzz.XXXXXX";
  const char *made = mkdtemp(dir);
  if (!made) made = mkdtemp(fallback);
  FUZZ_CHECK(made);
  cfg.cfg_path = made;
  atexit(remove_directory);
  const std::string keys = std::string(QUILMAR_SOURCE_DIR) + "/keys/demo-server.";
  FUZZ_CHECK(read_key_file(keys + "pub", cfg.client_pub));
  FUZZ_CHECK(read_key_file(keys + "pri", cfg.client_pri));
  cfg.server_key = cfg.client_pub;
  FUZZ_CHECK(evl_init());
  return true;
}

void check_tables(session &s) {
  const uint32_t self = current_config.identity;
  std::set<uint32_t> vips;
  for (peer *p : s.peers) {
    FUZZ_CHECK(vips.insert(p->vip).second);
    FUZZ_CHECK(self == 0 || p->vip != self);
    for (network *n : p->networks) FUZZ_CHECK(n->members.count(p));
    for (network *n : p->online_in) FUZZ_CHECK(n->online.count(p) && p->networks.count(n));
  }
  std::set<std::string> names;
  for (network *n : s.networks) {
    FUZZ_CHECK(names.insert(n->name).second);
    for (peer *p : n->members) FUZZ_CHECK(vips.count(p->vip) && p->networks.count(n));
    for (peer *p : n->online) FUZZ_CHECK(n->members.count(p) && p->online_in.count(n));
  }
  FUZZ_CHECK(s.state >= STATE_offline && s.state <= STATE_ready && s.sub <= 1);
}

void check_state_file() {
  FILE *file = fopen((current_config.cfg_path + "/state").c_str(), "r");
  if (!file) return;
  char line[128];
  while (fgets(line, sizeof line, file)) {
    std::string key, value;
    if (!split_entry(line, key, value)) continue;
    FUZZ_CHECK(key == "Identity" || key == "Nickname" || key == "RenameTo" ||
               key == "AutoLogin" || key == "OnlineNet");
  }
  fclose(file);
}

void prefill(session &s) {
  network *lan = s.find_network("lan", true);
  for (uint32_t vip : {0x05000002u, 0x05000003u}) {
    peer *p = s.find_peer(vip, true);
    lan->members.insert(p);
    p->networks.insert(lan);
  }
  peer *online = s.find_peer(0x05000002, false);
  lan->online.insert(online);
  online->online_in.insert(lan);
  s.pending.push_back("lan");
}

// The harness cannot keep datagrams off the network once they are sent, so
// redirects point at the loopback address and the UDP socket (opened by a
// discovery retry) is closed again before the next frame.
void tame(std::string &frame, session &s) {
  if (frame.size() >= 16 && uint8_t(frame[8]) == srv::MSG_redirect) {
    frame.replace(10, 4, "\x7f\x00\x00\x01", 4);
    frame.replace(14, 2, "\x00\x00", 2);
  }
  if (s.udp_sock.fd >= 0) {
    evl_unwatch(&s.udp_sock);
    close(s.udp_sock.fd);
    s.udp_sock.fd = -1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setup();
  (void)ready;
  if (size < 2) return 0;
  config &cfg = current_config;
  cfg.identity = data[1] & 2 ? 0x05000009 : 0;
  cfg.nickname = "fuzz";
  cfg.rename_to.clear();
  cfg.auto_login = false;
  cfg.online_nets.clear();
  if (data[1] & 4) cfg.online_nets.insert("lan");

  no_reports reports;
  {
    session s(&reports);
    s.tap = tapdev_dummy_create(&s);
    s.tap_status = data[1] & 8 ? 1 : 0;
    if (data[1] & 1) prefill(s);
    const uint32_t state = 1 + data[0] % 10;
    const uint8_t sub = (data[0] >> 4) & 1;
    s.state = state;
    s.sub = sub;
    size_t pos = 2;
    while (pos + 2 <= size) {
      size_t len = size_t(data[pos]) << 8 | data[pos + 1];
      pos += 2;
      if (len > size - pos) len = size - pos;
      std::string frame(srv::FRAME_HEADER_SIZE, '\0');
      frame.append(reinterpret_cast<const char *>(data + pos), len);
      pos += len;
      srv::frame_set_length(frame);
      // A session taken offline by an earlier frame gets a plain channel
      // again, so that every frame reaches a handler.
      if (!s.mc) {
        s.mc = new msg_crypto_v2();
        s.state = state;
        s.sub = sub;
      }
      tame(frame, s);
      s.dispatch(frame);
      check_tables(s);
      check_state_file();
    }
    std::string none;
    tame(none, s);
  }
  check_state_file();
  return 0;
}
