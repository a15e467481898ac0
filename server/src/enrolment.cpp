// The enrolment policy of a running server (see enrolment.h): the verdict
// on an enroll, the record of a key that waits for approval, and the new
// account that uses an approval up. Runs on the hub's thread like the rest
// of the login.
#include <openssl/evp.h>

#include <ctime>

#include "common/log.h"
#include "common/util.h"
#include "hub.h"

namespace {

constexpr size_t KEY_ID_BYTES = 8;

}  // namespace

bool parse_enrol_policy(const std::string &text, enrol_policy &policy) {
  for (enrol_policy p : {ENROL_open, ENROL_approve, ENROL_closed}) {
    if (text == enrol_policy_name(p)) {
      policy = p;
      return true;
    }
  }
  return false;
}

const char *enrol_policy_name(enrol_policy policy) {
  switch (policy) {
    case ENROL_approve:
      return "approve";
    case ENROL_closed:
      return "closed";
    default:
      return "open";
  }
}

std::string key_id_of(const std::string &public_key) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!EVP_Digest(public_key.data(), public_key.size(), digest, &size, EVP_sha256(), nullptr))
    return std::string();
  static const char hex[] = "0123456789abcdef";
  std::string id;
  for (size_t i = 0; i < KEY_ID_BYTES && i < size; i++) {
    id += hex[digest[i] >> 4];
    id += hex[digest[i] & 15];
  }
  return id;
}

uint8_t hub::enrolment_verdict(connection &c, const std::string &public_key,
                               const std::string &nickname) {
  if (cfg.enrolment == ENROL_open) return srv::STATUS_ok;
  const std::string id = key_id_of(public_key);
  if (cfg.enrolment == ENROL_closed) {
    log_write("srv: %s refused enroll of key %s: enrolment is closed\n", c.name().c_str(),
              id.c_str());
    return srv::STATUS_enrolment_closed;
  }
  pending_rec request;
  const bool known = db->find_pending(id, request);
  if (known && request.approved) return srv::STATUS_ok;
  if (!known && db->counts().pending >= MAX_PENDING) {
    log_write("srv: %s refused enroll of key %s: %zu keys await approval already\n",
              c.name().c_str(), id.c_str(), MAX_PENDING);
    return srv::STATUS_awaiting_approval;
  }
  request.key_id = id;
  request.public_key = public_key;
  request.nickname = nickname;
  request.source = ip_to_text(c.tcp_peer.addr) + ":" + std::to_string(c.tcp_peer.port);
  request.requested = int64_t(time(nullptr));
  if (db->put_pending(request) != STORE_ok) return RESULT_failed;  // the client tries again later
  log_write("srv: %s enroll of key %s ('%s') awaits approval\n", c.name().c_str(), id.c_str(),
            escaped_text(nickname).c_str());
  return srv::STATUS_awaiting_approval;
}

store_result hub::store_enrolment(const account_rec &a) {
  if (cfg.enrolment != ENROL_approve) return db->add_account(a);
  return db->add_approved_account(a, key_id_of(a.public_key));
}
