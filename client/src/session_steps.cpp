// The login sequence once the connection stands: helo and the key
// exchange, enroll or auth with the signatures of both sides, discovery of
// our UDP endpoint, the wait for the tap device, sync, and ready.
#include <arpa/inet.h>

#include "client/config.h"
#include "client/session.h"
#include "clisrv/msg_crypto.h"
#include "clisrv/server_msg.h"
#include "common/log.h"
#include "common/util.h"

void session::send_helo() {
  set_state(STATE_helo, 0);
  log_write("ses: sending helo ..\n");
  delete mc;
  mc = new msg_crypto_v2();
  mc->make_local();
  replay_reset(server_udp_window);
  srv::helo_msg m;
  m.fingerprint = current_config.server_key_digest;
  m.nonce = mc->nx;
  m.dh_value = mc->gx;
  std::string frame = srv::frame_begin(srv::MSG_helo);
  srv::put_helo(frame, m);
  send_msg(frame);
}

// The answer to the login step that runs as `step`: its status is read,
// it must come while the step waits for it, and any status but ok is the
// server's refusal.
bool session::step_accepted(msg_reader &r, uint32_t step) {
  const uint8_t status = take_status(r);
  if (state != step || sub != 0) throw bad_state();
  if (status == srv::STATUS_ok) return true;
  report_error(ERR_refused);
  return false;
}

void session::on_helo_ok(msg_reader &r) {
  if (!step_accepted(r, STATE_helo)) return;
  srv::helo_ok_msg m;
  srv::get_helo_ok(r, m);
  must_end(r);
  mc->ny = m.nonce;
  mc->gy = m.dh_value;
  log_write("ses: received helo.ok\n");
  // A value such as 1 or p - 1 would give a secret that anybody knows. A
  // server that computed other keys than ours fails its signature check.
  if (!mc->derive_keys(true, false)) {
    log_write("ses: unusable key exchange values from the server\n");
    report_error(ERR_crypto);
    return;
  }
  set_state(STATE_helo, 1);
  if (current_config.identity == 0) {
    send_enroll();
  } else {
    send_auth();
  }
}

bool session::sign_handshake(std::string &signature) {
  if (rsa_sign(current_config.client_pri, mc->local_digest, signature)) return true;
  report_error(ERR_crypto);
  return false;
}

bool session::server_signed(const std::string &signature) {
  if (rsa_verify(current_config.server_key, signature, mc->peer_digest)) return true;
  report_error(ERR_crypto);
  return false;
}

// The signature proves that we hold the key, but the enroll message
// carries only the key itself: the server learns it here.
void session::send_enroll() {
  const config &cfg = current_config;
  set_state(STATE_enroll, 0);
  std::string signature;
  if (!sign_handshake(signature)) return;
  log_write("ses: sending enroll %.*s ..\n", static_cast<int>(cfg.nickname.size()),
            cfg.nickname.data());
  srv::enroll_msg m;
  m.key = cfg.client_pub;
  m.nickname = cfg.nickname;
  m.version = cfg.version;
  std::string frame = srv::frame_begin(srv::MSG_enroll);
  srv::put_enroll(frame, m);
  send_msg(frame);
}

void session::on_enrl_ok(msg_reader &r) {
  config &cfg = current_config;
  if (!step_accepted(r, STATE_enroll)) return;
  srv::enrl_ok_msg m;
  srv::get_enrl_ok(r, m);
  must_end(r);
  log_write("ses: received enrl.ok %s\n", ip_to_text(m.identity).c_str());
  // The identity is taken only from a server that proved who it is.
  if (!server_signed(m.signature)) return;
  cfg.identity = m.identity;
  mc->out_spi = m.channel;
  mc->in_spi = m.channel;
  save_state(cfg);  // the identity must survive a restart
  set_state(STATE_enroll, 1);
  tap_status = 0;
  if (tap) tap->configure(cfg.identity, cfg.netmask);
  start_discovery();
}

void session::send_auth() {
  const config &cfg = current_config;
  set_state(STATE_auth, 0);
  std::string signature;
  if (!sign_handshake(signature)) return;
  log_write("ses: sending auth %s ..\n", ip_to_text(cfg.identity).c_str());
  srv::auth_msg m;
  m.identity = cfg.identity;
  m.signature = signature;
  m.version = cfg.version;
  std::string frame = srv::frame_begin(srv::MSG_auth);
  srv::put_auth(frame, m);
  send_msg(frame);
}

void session::on_auth_ok(msg_reader &r) {
  if (!step_accepted(r, STATE_auth)) return;
  srv::auth_ok_msg m;
  srv::get_auth_ok(r, m);
  must_end(r);
  log_write("ses: received auth.ok\n");
  if (!server_signed(m.signature)) return;
  mc->out_spi = m.channel;
  mc->in_spi = m.channel;
  set_state(STATE_auth, 1);
  // The daemon configured the tap device with our identity at start-up.
  start_discovery();
}

void session::start_discovery() {
  set_state(STATE_discovery, 0);
  if (!open_udp()) {
    report_error(ERR_local);
    return;
  }
  log_write("ses: sending discovery\n");
  srv::endpoint ours;
  ours.addr = ntohl(local_addr.sin_addr.s_addr);
  ours.port = ntohs(local_addr.sin_port);
  std::string frame = srv::frame_begin(srv::MSG_discovery);
  srv::put_endpoint(frame, ours);
  send_msg(frame);
}

void session::on_disc_reply(msg_reader &r) {
  uint8_t status = take_status(r);
  must_end(r);
  set_state(STATE_discovery, 1);
  if (status == srv::STATUS_disc_retry) {
    log_write("ses: received disc.retry\n");
    start_discovery();
  } else if (status == srv::STATUS_ok) {
    log_write("ses: received disc.ok\n");
    set_state(STATE_conf, 0);
    if (tap_status != 0) tap_check();
    // Otherwise on_configured continues once the device has answered.
  } else {
    log_write("ses: received disc.failed\n");
    report_error(ERR_refused);
  }
}

void session::on_configured(bool ok) {
  tap_status = ok ? 1 : 2;
  if (state == STATE_conf) tap_check();
}

void session::tap_check() {
  QUILMAR_ASSERT(state == STATE_conf);
  if (tap_status == 2) {
    log_write("ses: tap configuration failed\n");
    report_error(ERR_tap);
    return;
  }
  log_write("ses: tap is ready\n");
  set_state(STATE_conf, 1);
  start_sync();
}

void session::start_sync() {
  purge_state();
  log_write("ses: sending sync ..\n");
  std::string frame = srv::frame_begin(srv::MSG_sync);
  put_u32(frame, current_config.sync_stamp);
  if (!send_msg(frame)) return;
  set_state(STATE_sync, 0);
}

void session::on_sync_ok(msg_reader &r) {
  uint8_t status = take_status(r);
  must_end(r);
  if (status != srv::STATUS_ok) {
    report_error(ERR_refused);
    return;
  }
  log_write("ses: recieved sync.ok\n");
  set_state(STATE_sync, 1);
  become_ready();
}

void session::become_ready() {
  config &cfg = current_config;
  log_write("ses: ready\n");
  set_state(STATE_ready, 1);
  set_reconn(true);
  cfg.auto_login = true;
  save_state(cfg);
  server_keepalive_timer.period = cfg.server_keepalive;
  evl_timer_start(&server_keepalive_timer);
  wake_last_tick = evl_now;
  wake_timer.period = WAKE_TICK_MS;
  evl_timer_start(&wake_timer);
  if (cfg.keepalive != 0) {
    tunnel_keepalive_timer.period = cfg.keepalive;
    evl_timer_start(&tunnel_keepalive_timer);
  }
  if (!cfg.rename_to.empty()) {
    const uint32_t connection = connection_count;
    set_nick(std::string(cfg.rename_to));
    if (connection != connection_count) return;  // the change could not be sent
  }
  run_command(cfg.on_online);
}

void session::check_wake() {
  uint32_t gap = evl_now - wake_last_tick;
  wake_last_tick = evl_now;
  if (gap < WAKE_GAP_MS || state != STATE_ready) return;
  // Whatever the server sent while we slept is read by now; a server that
  // restarted meanwhile, its goodbye lost, answers this with a reset, and
  // we log in again within seconds.
  log_write("ses: woke up after %u msec, checking the server\n", gap);
  std::string frame = srv::frame_begin(srv::MSG_keepalive);
  send_msg(frame);
}
