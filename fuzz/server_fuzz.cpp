// Frames from a client reach the server's dispatcher in every login state.
// Byte 0 of the input picks the state a fresh connection is brought to by
// a real login (0 waiting for helo, 1 for enroll or auth, 2 for discovery,
// 3 for sync, 4 ready); the rest is a sequence of messages, each a
// two-byte length and then the type byte and body, which are framed (and
// protected once the channel has keys) and fed to the connection.
//
// Whatever the messages, the server must not crash, and once the connection
// is torn down nothing of it may remain: no tunnel with the standing
// client, no identifier in use, no index entry.
#include <arpa/inet.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/codec.h"
#include "fuzz_check.h"
#include "hub.h"
#include "inproc_client.h"
#include "keys.h"

namespace {

struct world {
  std::unique_ptr<hub> h;
  connection *standing = nullptr;  // a ready client online in "fuzz-net"
  std::string enroll_msg;
};

world &the_world() {
  static world w = [] {
    world w;
    // The handshake's arithmetic is not what is fuzzed here, and at full
    // strength it took nine tenths of each run: a short Diffie-Hellman
    // exponent and a 512-bit server key (the server takes any size of its
    // own) keep it to a sliver.
    msg_crypto_dh_exponent_bytes = 8;
    struct quiet : rsa_keygen_cb {
      void progress() override {}
    } cb;
    rsa_public_key pub;
    rsa_private_key pri;
    FUZZ_CHECK(rsa_generate(512, 65537, cb, pub, pri));
    rsa_public_key client_pub;  // clients must bring a key of full size
    rsa_private_key unused;
    FUZZ_CHECK(demo_keys(client_pub, unused));
    server_config cfg;
    cfg.pbkdf2_iterations = 1;  // keep joins cheap here
    // Every input enrols from 127.0.0.1, and a long campaign makes more
    // than 60,000 enrolments within its hour.
    cfg.enrolments_per_hour = UINT32_MAX;
    w.h.reset(new hub(cfg, open_sqlite_store(":memory:"), pub, pri));
    w.enroll_msg = std::string(1, char(srv::MSG_enroll));
    srv::enroll_msg e;
    e.key = client_pub;
    e.nickname = "fuzz";
    srv::put_enroll(w.enroll_msg, e);
    return w;
  }();
  return w;
}

// Brings a new connection to `state` through a real login; null if that
// failed (which it must not).
connection *connect_to(world &w, int state, inproc_client &fc) {
  connection *c = fc.attach(*w.h);
  if (state >= 1 && !fc.helo(w.h->fingerprint)) return nullptr;
  if (state >= 2 && !fc.step(w.enroll_msg, srv::MSG_enroll)) return nullptr;
  if (state >= 3) {
    std::string m(1, char(srv::MSG_discovery));
    srv::put_endpoint(m, {0x7f000001, 40001});
    if (!fc.step(m, srv::MSG_discovery)) return nullptr;
  }
  if (state >= 4) {
    std::string m(1, char(srv::MSG_sync));
    put_u32(m, 0);
    if (!fc.step(m, srv::MSG_sync)) return nullptr;
  }
  return c;
}

void set_up_standing(world &w) {
  static inproc_client fc;
  w.standing = connect_to(w, 4, fc);
  FUZZ_CHECK(w.standing);
  std::string m(1, char(srv::MSG_create));
  srv::put_create(m, {"fuzz-net", "pw"});
  FUZZ_CHECK(fc.step(m, srv::MSG_create));
  m.assign(1, char(srv::MSG_netop));
  srv::put_netop(m, {"fuzz-net", srv::NETOP_online});
  fc.feed(m);
  evl_run(0);  // the go-online is told in the next pass of the loop
  w.standing->outbox.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  world &w = the_world();
  if (!w.standing) set_up_standing(w);

  inproc_client fc;
  connection *c = connect_to(w, data[0] % 5, fc);
  FUZZ_CHECK(c);
  c->outbox.clear();
  size_t pos = 1;
  while (pos + 2 <= size && !c->closing) {
    size_t len = size_t(data[pos]) << 8 | data[pos + 1];
    pos += 2;
    if (len > size - pos) len = size - pos;
    const std::string message(reinterpret_cast<const char *>(data + pos), len);
    pos += len;
    if (c->mc.active()) {
      fc.feed(message);
    } else {
      std::string frame = std::string(8, '\0') + message;
      srv::frame_set_length(frame);
      c->receive(frame);
    }
    c->outbox.clear();
  }
  // Gone again, as if the client had closed: nothing of it may remain.
  w.h->kill(c, "fuzz input done");
  w.h->reap();
  w.standing->outbox.clear();
  FUZZ_CHECK(w.h->connection_count() == 1);
  FUZZ_CHECK(w.standing->pairs.empty());
  FUZZ_CHECK(w.h->spis.size() == 1);
  FUZZ_CHECK(w.h->by_identity.size() == 1 && w.h->by_cookie.empty());
  FUZZ_CHECK(w.h->online_in.size() == 1 && w.h->online_in.begin()->second.size() == 1);
  for (auto &net : w.h->watchers) FUZZ_CHECK(net.second.size() == 1);
  return 0;
}
