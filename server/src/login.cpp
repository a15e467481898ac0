// The login of a client, the server's half of it: helo (key exchange, in
// clear), enroll or auth (signatures both ways), discovery (where peers can
// reach the client's UDP socket) and sync (its networks).
#include <ctime>

#include "cluster.h"
#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

constexpr int MIN_CLIENT_KEY_BITS = 1024;
constexpr int MAX_CLIENT_KEY_BITS = 8192;
// Neither answer means "stop trying" nor "again at once": the client comes
// back after its usual delay.
constexpr uint8_t STATUS_busy = 3;
constexpr uint8_t STATUS_disc_failed = 2;

// A refused login: the client goes away by itself; we wait for that.
void refuse(connection &c, uint8_t type, uint8_t status) {
  c.send_status(type, status);
  c.state = CONN_done;
  c.h.counters.refusals++;
}

bool usable_key(const rsa_public_key &key) {
  static const bignum one(1ul);
  int bits = key.n.bits();
  return bits >= MIN_CLIENT_KEY_BITS && bits <= MAX_CLIENT_KEY_BITS && key.e != one &&
         BN_is_odd(key.e.raw()) && key.e.bits() <= 64;
}

}  // namespace

void hub::on_helo(connection &c, msg_reader &r) {
  srv::helo_msg m;
  srv::get_helo(r, m);
  if (!r.at_end()) throw parser::err();
  const srv::endpoint &redirect = redirect_all.addr ? redirect_all : cfg.redirect;
  if (redirect.addr) {
    std::string frame = srv::frame_begin(srv::MSG_redirect);
    put_u8(frame, srv::STATUS_again);
    srv::put_endpoint(frame, redirect);
    c.send(frame);
    c.state = CONN_done;
    log_write("srv: %s redirected to %s:%u\n", c.name().c_str(),
              ip_to_text(redirect.addr).c_str(), redirect.port);
    return;
  }
  if (m.version != srv::PROTOCOL_VERSION || m.fingerprint != fingerprint) {
    log_write("srv: %s refused: protocol %u, %s server key\n", c.name().c_str(), m.version,
              m.fingerprint == fingerprint ? "our" : "another");
    return refuse(c, srv::MSG_helo, srv::STATUS_refused);
  }
  c.mc.make_local();
  c.mc.ny = m.nonce;
  c.mc.gy = m.dh_value;
  if (!c.mc.check()) {
    log_write("srv: %s refused: unusable key exchange values\n", c.name().c_str());
    return refuse(c, srv::MSG_helo, srv::STATUS_bad_message);
  }
  // helo.ok travels in clear; every later frame is protected.
  std::string frame = srv::frame_begin(srv::MSG_helo);
  put_u8(frame, srv::STATUS_ok);
  srv::helo_ok_msg ok;
  ok.nonce = c.mc.nx;
  ok.dh_value = c.mc.gx;
  srv::put_helo_ok(frame, ok);
  c.send(frame);
  if (!c.mc.derive_keys(false, false)) return kill(&c, "no keys from the exchange");
  c.state = CONN_login;
}

// A login was accepted: the connection speaks for `identity` from now on,
// on a channel of its own, and an older login of the identity ends.
void hub::speak_for(connection &c, uint32_t identity) {
  auto old = by_identity.find(identity);
  if (old != by_identity.end() && old->second != &c) kill(old->second, "replaced by a new login");
  c.identity = identity;
  c.channel = c.mc.in_spi = c.mc.out_spi = new_spi();
  by_identity[identity] = &c;
  c.state = CONN_discovery;
  count_unauthenticated(c, false);
  counters.logins++;
}

void hub::on_enroll(connection &c, msg_reader &r) {
  srv::enroll_msg m;
  srv::get_enroll(r, m);
  if (!r.at_end()) throw parser::err();
  if (!usable_key(m.key)) {
    log_write("srv: %s refused enroll: unusable key (%d bits)\n", c.name().c_str(),
              m.key.n.bits());
    return refuse(c, srv::MSG_enroll, srv::STATUS_bad_key);
  }
  if (m.nickname.size() > MAX_NICKNAME) {
    log_write("srv: %s refused enroll: nickname of %zu bytes\n", c.name().c_str(),
              m.nickname.size());
    return refuse(c, srv::MSG_enroll, srv::STATUS_bad_message);
  }
  // Not final: the client comes back after its usual delay and is let in
  // once the address has enrolled fewer than its limit in the last hour.
  if (!may_enroll(c)) return refuse(c, srv::MSG_enroll, STATUS_busy);
  auto job = std::make_shared<enrolment_job>();
  job->policy = cfg.enrolment;
  write_public_key(job->account.public_key, m.key);
  job->account.nickname = m.nickname;
  job->source = ip_to_text(c.tcp_peer.addr) + ":" + std::to_string(c.tcp_peer.port);
  if (cfg.enrolment == ENROL_closed) {
    log_write("srv: %s refused enroll of key %s: enrolment is closed\n", c.name().c_str(),
              key_id_of(job->account.public_key).c_str());
    return refuse(c, srv::MSG_enroll, srv::STATUS_enrolment_closed);
  }
  const std::string version = m.version;
  ask_store(c, [job](store &db) { run_enrolment(db, *job); },
            [this, job, version](connection *c) {
              if (!c) return;
              finish_enroll(*c, *job);
              if (c->state == CONN_discovery)
                log_write("srv: %s enrolled as '%s' (%s)\n", c->name().c_str(),
                          escaped_text(job->account.nickname).c_str(),
                          escaped_text(version).c_str());
            });
}

void hub::finish_enroll(connection &c, const enrolment_job &job) {
  if (job.verdict == srv::STATUS_awaiting_approval) {
    if (job.queue_full)
      log_write("srv: %s refused enroll of key %s: %zu keys await approval already\n",
                c.name().c_str(), job.key_id.c_str(), MAX_PENDING);
    else
      log_write("srv: %s enroll of key %s ('%s') awaits approval\n", c.name().c_str(),
                job.key_id.c_str(), escaped_text(job.account.nickname).c_str());
  }
  if (job.verdict != srv::STATUS_ok) return refuse(c, srv::MSG_enroll, job.verdict);
  // The enroll message proves nothing about the private key, so it never
  // hands out an existing identity: every enroll makes a new account.
  if (!job.stored) {
    log_write("srv: %s enroll failed: no identity stored\n", c.name().c_str());
    return refuse(c, srv::MSG_enroll, STATUS_busy);
  }
  // An account that cannot be answered for stays unused: the client
  // enrols again.
  srv::enrl_ok_msg ok;
  if (!rsa_sign(pri, c.mc.local_digest, ok.signature)) {
    log_write("srv: signing failed\n");
    return refuse(c, srv::MSG_enroll, STATUS_busy);
  }
  speak_for(c, job.account.identity);
  counters.enrolments++;
  ok.identity = c.identity;
  ok.channel = c.channel;
  std::string frame = srv::frame_begin(srv::MSG_enroll);
  put_u8(frame, srv::STATUS_ok);
  srv::put_enrl_ok(frame, ok);
  c.send(frame);
}

void hub::on_auth(connection &c, msg_reader &r) {
  srv::auth_msg m;
  srv::get_auth(r, m);
  if (!r.at_end()) throw parser::err();
  auto found = std::make_shared<account_rec>();
  auto known = std::make_shared<bool>(false);
  const uint32_t who = m.identity;
  ask_store(c, [found, known, who](store &db) { *known = db.find_account(who, *found); },
            [this, found, known, m](connection *c) {
              if (c) finish_auth(*c, m, *known ? found.get() : nullptr);
            });
}

void hub::finish_auth(connection &c, const srv::auth_msg &m, const account_rec *a) {
  if (!a) {
    log_write("srv: %s refused: unknown identity %s\n", c.name().c_str(),
              ip_to_text(m.identity).c_str());
    return refuse(c, srv::MSG_auth, srv::STATUS_unknown_identity);
  }
  rsa_public_key key;
  try {
    msg_reader kr(a->public_key);
    read_public_key(kr, key);
  } catch (const parser::err &) {
    log_write("srv: stored key of %s is unreadable\n", ip_to_text(m.identity).c_str());
    return refuse(c, srv::MSG_auth, srv::STATUS_bad_key);
  }
  if (!rsa_verify(key, m.signature, c.mc.peer_digest)) {
    log_write("srv: %s refused: bad signature for %s\n", c.name().c_str(),
              ip_to_text(m.identity).c_str());
    return refuse(c, srv::MSG_auth, srv::STATUS_bad_signature);
  }
  srv::auth_ok_msg ok;
  if (!rsa_sign(pri, c.mc.local_digest, ok.signature)) {
    log_write("srv: signing failed\n");
    return refuse(c, srv::MSG_auth, STATUS_busy);
  }
  speak_for(c, m.identity);
  seen[c.identity] = int64_t(time(nullptr));
  ok.channel = c.channel;
  std::string frame = srv::frame_begin(srv::MSG_auth);
  put_u8(frame, srv::STATUS_ok);
  srv::put_auth_ok(frame, ok);
  c.send(frame);
  log_write("srv: %s logged in (%s)\n", c.name().c_str(), escaped_text(m.version).c_str());
}

void hub::on_discovery(connection &c, msg_reader &r) {
  c.announced = srv::get_endpoint(r);
  if (!r.at_end()) throw parser::err();
  if (c.cookie.size()) by_cookie.erase(c.cookie);
  c.cookie.clear();
  c.disc_deadline = 0;
  if (!c.announced.addr || !c.announced.port) {
    log_write("srv: %s announced no usable udp endpoint\n", c.name().c_str());
    return refuse(c, srv::MSG_discovery, STATUS_disc_failed);
  }
  if (c.announced.addr == c.tcp_peer.addr) {
    c.public_ep = c.announced;
    c.mapping = MAPPING_public;
    log_write("srv: %s has a public udp endpoint, %s:%u\n", c.name().c_str(),
              ip_to_text(c.public_ep.addr).c_str(), c.public_ep.port);
    c.send_status(srv::MSG_discovery, srv::STATUS_ok);
    c.state = CONN_conf;
    return;
  }
  // Behind NAT: the source of a datagram from its UDP socket to ours is
  // where peers can reach it.
  probe_mapping(c);
}

void hub::on_sync(connection &c, msg_reader &r) {
  r.get_u32();  // the client's stamp: we always send everything
  if (!r.at_end()) throw parser::err();
  using views = std::vector<std::pair<std::string, network_snapshot>>;
  auto nets = std::make_shared<views>();
  const uint32_t who = c.identity;
  ask_store(c,
            [nets, who](store &db) {
              for (std::string &net : db.networks_of(who))
                nets->emplace_back(net, read_network(db, net));
            },
            [this, nets](connection *c) {
              if (!c) return;
              c->state = CONN_ready;
              if (cl) cl->ready(*c);
              // The client goes online again in each network it was online in.
              c->presence_changes =
                  token_bucket(PRESENCE_CHANGES.burst + double(nets->size()), evl_now);
              for (const auto &net : *nets) add_membership(*c, net.first, net.second);
              c->send_status(srv::MSG_sync, srv::STATUS_ok);
              log_write("srv: %s ready, %zu networks\n", c->name().c_str(), nets->size());
            });
}
