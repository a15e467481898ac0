// The enrolment policy of a running server (see enrolment.h): the verdict
// on an enroll, the record of a key that waits for approval, and the new
// account that uses an approval up. Runs on the store's worker; the hub
// answers the client from the outcome (login.cpp).
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

namespace {

// A fresh address in 5.0.0.0/8 whose last byte is neither 0 nor 255 (which
// also rules out 5.0.0.0 and 5.255.255.255).
uint32_t fresh_identity(store &db) {
  for (int i = 0; i < 1000; i++) {
    uint32_t r;
    random_bytes(&r, sizeof r);
    uint32_t ip = 0x05000000u | (r & 0x00ffffffu);
    uint8_t last = ip & 0xff;
    if (last == 0 || last == 255) continue;
    account_rec existing;
    if (!db.find_account(ip, existing)) return ip;
  }
  return 0;
}

// STATUS_ok when the key may enrol under `approve`; otherwise the status to
// refuse with, the request recorded.
uint8_t approval_verdict(store &db, enrolment_job &job) {
  pending_rec request;
  const bool known = db.find_pending(job.key_id, request);
  if (known && request.approved) return srv::STATUS_ok;
  if (!known && db.counts().pending >= MAX_PENDING) {
    job.queue_full = true;
    return srv::STATUS_awaiting_approval;
  }
  request.key_id = job.key_id;
  request.public_key = job.account.public_key;
  request.nickname = job.account.nickname;
  request.source = job.source;
  request.requested = int64_t(time(nullptr));
  if (db.put_pending(request) != STORE_ok) return RESULT_failed;  // the client tries again later
  return srv::STATUS_awaiting_approval;
}

}  // namespace

void run_enrolment(store &db, enrolment_job &job) {
  job.key_id = key_id_of(job.account.public_key);
  job.verdict = srv::STATUS_ok;
  if (job.policy == ENROL_approve) job.verdict = approval_verdict(db, job);
  if (job.verdict != srv::STATUS_ok) return;
  job.account.identity = fresh_identity(db);
  job.account.first_seen = job.account.last_seen = int64_t(time(nullptr));
  if (!job.account.identity) return;
  const store_result r = job.policy == ENROL_approve
                             ? db.add_approved_account(job.account, job.key_id)
                             : db.add_account(job.account);
  job.stored = r == STORE_ok;
}
