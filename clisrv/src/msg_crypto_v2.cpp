// Channel protection, version 2. Frames are protected in place:
//
//   0   4  length after this word (TCP) or the sender's out_spi (UDP)
//   4   4  sequence number
//   8   n  AES-256-CBC of: message, pad-1 zero bytes, the byte pad (1..16)
//   8+n 16 the IV of this frame
//  24+n 12 HMAC-SHA1-96 over everything before it
#include "clisrv/msg_crypto.h"

#include <cstring>
#include <memory>

#include "common/log.h"
#include "common/util.h"

namespace {

const size_t NONCE_BYTES = 128;
const size_t MIN_PEER_NONCE = 64;
const size_t MAX_PEER_NONCE = 256;
const size_t ENC_KEY_BYTES = 32;
const size_t MAC_KEY_BYTES = 20;
const size_t KEYMAT_BYTES = 104;  // grown in 20-byte steps until it passes this

// Every channel of the process offers the same Diffie-Hellman value; the
// nonces make each exchange fresh.
struct dh_local {
  bignum x;
  bignum gx;
};

const dh_local &process_dh() {
  static const dh_local values = [] {
    dh_local v;
    const size_t full = size_t(dh_group14().p.bytes());
    const size_t chosen = msg_crypto_dh_exponent_bytes;
    v.x = random_bignum(chosen && chosen < full ? chosen : full);
    v.gx = dh_public(dh_group14(), v.x);
    return v;
  }();
  return values;
}

uint8_t *bytes_of(std::string &s) { return reinterpret_cast<uint8_t *>(&s[0]); }

std::string sha1_of(const std::string &a, const std::string &b, const std::string &c,
                    const std::string &d) {
  std::string out(sha1_alg->hlen, '\0');
  digest_ctx *ctx = sha1_alg->new_ctx();
  for (const std::string *part : {&a, &b, &c, &d}) ctx->update(part->data(), part->size());
  ctx->finish(&out[0]);
  return out;
}

}  // namespace

size_t msg_crypto_dh_exponent_bytes = 0;

msg_crypto::~msg_crypto() {
  delete tx_cbc;
  delete tx_mac;
  delete rx_cbc;
  delete rx_mac;
}

msg_crypto_v2::msg_crypto_v2() { process_dh(); }

void msg_crypto_v2::make_local() {
  gx = process_dh().gx;
  random_string(nx, NONCE_BYTES);
  random_bytes(&out_spi, sizeof out_spi);
}

bool msg_crypto_v2::check() {
  return ny.size() >= MIN_PEER_NONCE && ny.size() <= MAX_PEER_NONCE && !gy.is_zero() &&
         gy.bytes() <= dh_group14().p.bytes();
}

void msg_crypto_v2::derive_keys(bool initiator, bool no_encryption) {
  // A bad peer value still yields keys; they will not match the peer's, and
  // the signature check and the MAC reject the channel then.
  QUILMAR_ASSERT(check() && gx.bytes() && nx.size());
  const std::string K = dh_shared(dh_group14(), process_dh().x, gx, gy).to_bytes();
  std::unique_ptr<digest_alg_hmac> H(make_hmac(sha1_alg, K, sha1_alg->hlen));
  const std::string &first = initiator ? nx : ny;
  const std::string &second = initiator ? ny : nx;

  std::string keymat;
  uint8_t counter = 1;
  while (keymat.size() < KEYMAT_BYTES) {
    // Each step hashes all the material so far, not only the last block.
    uint8_t t[20];
    digest_ctx *ctx = H->new_ctx();
    ctx->update(keymat.data(), keymat.size());
    ctx->update(first.data(), first.size());
    ctx->update(second.data(), second.size());
    ctx->update(&counter, 1);
    ctx->finish(t);
    keymat.append(reinterpret_cast<const char *>(t), sizeof t);
    ++counter;
  }
  H.reset();
  set_keys(keymat, no_encryption);
}

std::string mac_key_of(const std::string &keymat) {
  if (keymat.size() < ENC_KEY_BYTES + MAC_KEY_BYTES) return std::string();
  return keymat.substr(ENC_KEY_BYTES, MAC_KEY_BYTES);
}

bool msg_crypto_v2::set_keys(const std::string &keymat, bool no_encryption) {
  const std::string mac_key = mac_key_of(keymat);
  if (mac_key.empty()) return false;
  const char *enc_key = keymat.data();

  // Keys are set once per object; should a second call come anyway, the
  // objects it replaces must not leak.
  delete tx_cbc;
  delete rx_cbc;
  delete tx_mac;
  delete rx_mac;
  tx_cbc = rx_cbc = nullptr;
  if (!no_encryption) {
    tx_cbc = make_cbc(aes_alg->make_key(256, 1, enc_key));
    rx_cbc = make_cbc(aes_alg->make_key(256, 1, enc_key));
  }
  tx_mac = make_hmac(sha1_alg, mac_key, MSG_CRYPTO_MAC);
  rx_mac = make_hmac(sha1_alg, mac_key, MSG_CRYPTO_MAC);

  const std::string gx_bytes = gx.to_bytes(), gy_bytes = gy.to_bytes();
  local_digest = sha1_of(nx, ny, gx_bytes, gy_bytes);
  peer_digest = sha1_of(ny, nx, gy_bytes, gx_bytes);
  nx.clear();
  ny.clear();
  gx = bignum();
  gy = bignum();
  is_active = true;
  return true;
}

void msg_crypto_v2::protect(std::string &frame, bool udp) {
  const size_t rlen = frame.size();
  frame.resize(rlen + MSG_CRYPTO_GROWTH);
  const size_t done = protect(bytes_of(frame), rlen, frame.size(), udp);
  frame.resize(done ? done : rlen);
}

size_t msg_crypto_v2::protect(uint8_t *p, size_t rlen, size_t room, bool udp) {
  if (!is_active) {
    QUILMAR_ASSERT(! udp);
    QUILMAR_ASSERT(rlen >= 8);
    if (rlen < 8) return 0;  // no header to write into
    put_be32(p, static_cast<uint32_t>(rlen - 4));
    return rlen;
  }
  const size_t h = tx_mac->hlen;
  QUILMAR_ASSERT(rlen >= 8);
  if (rlen < 8) return 0;

  size_t end;
  if (tx_cbc) {
    const size_t b = tx_cbc->key ? tx_cbc->key->alg->blen : 16;
    const size_t pad = b - (rlen - 8) % b;
    if (room < rlen + pad + b + h) return 0;
    memset(p + rlen, 0, pad - 1);
    p[rlen + pad - 1] = static_cast<uint8_t>(pad);
    random_public_bytes(p + rlen + pad, b);
    tx_cbc->iv = p + rlen + pad;
    tx_cbc->encrypt(p + 8, p + 8, rlen + pad - 8);
    tx_cbc->iv = nullptr;  // it pointed into the caller's frame
    end = rlen + pad + b;
  } else {
    if (room < rlen + h) return 0;
    end = rlen;
  }
  const size_t total = end + h;
  put_be32(p, udp ? out_spi : static_cast<uint32_t>(total - 4));
  put_be32(p + 4, tx_seq++);
  tx_mac->mac(p, end, p + end);
  return total;
}

bool msg_crypto_v2::unprotect(std::string &frame) {
  size_t len = frame.size();
  if (!unprotect(bytes_of(frame), len)) return false;
  frame.resize(len);
  return true;
}

bool msg_crypto_v2::unprotect(uint8_t *p, size_t &len) {
  if (!is_active) return true;
  const size_t n = len;
  const size_t b = rx_cbc ? 16 : 0;
  const size_t h = rx_mac ? rx_mac->hlen : 0;
  if (n < h + 2 * b + 8) return false;
  if (b && (n - h - 8) % b != 0) return false;

  if (rx_mac) {
    uint8_t mac[20];
    rx_mac->mac(p, n - h, mac);
    // Look at every byte whatever the first difference, so that the time
    // taken says nothing about how much of a forged MAC was right.
    uint8_t diff = 0;
    for (size_t i = 0; i < h; ++i) diff |= mac[i] ^ p[n - h + i];
    if (diff) return false;
  }

  size_t end = n - h;
  if (rx_cbc) {
    const size_t i = n - h - b;
    rx_cbc->iv = p + i;
    rx_cbc->decrypt(p + 8, p + 8, i - 8);
    rx_cbc->iv = nullptr;
    const size_t pad = p[i - 1];
    if (pad == 0 || pad > b) return false;
    for (size_t k = i - pad; k < i - 1; ++k)
      if (p[k]) return false;
    end = i - pad;
  }
  rx_seq = get_be32(p + 4);
  len = end;
  return true;
}
