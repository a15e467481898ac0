// HMAC (RFC 2104) over any digest_alg. The key is padded and XORed with the
// inner pad once per key; finish turns it into the outer pad for the moment
// it needs it (0x36 ^ 0x6A == 0x5C) and back again.
#include <cstring>

#include "common/log.h"
#include "crypto/digest.h"

namespace {

class digest_ctx_hmac : public digest_ctx {
 public:
  explicit digest_ctx_hmac(digest_alg_hmac *a) : digest_ctx(a), hmac(a) {
    inner = hmac->alg->new_ctx();
    inner->update(hmac->kpad, hmac->blen);
  }
  ~digest_ctx_hmac() override { delete inner; }

  void update(const void *data, size_t len) override { inner->update(data, len); }

  void finish(void *out) override {
    uint8_t tmp[256];
    const uint32_t hlen = hmac->alg->hlen;  // of the inner digest
    QUILMAR_ASSERT(hlen <= sizeof tmp);
    if (hlen > sizeof tmp) {
      delete this;
      return;
    }
    inner->finish(tmp);
    inner = nullptr;
    flip_pad();
    digest_ctx *outer = hmac->alg->new_ctx();
    outer->update(hmac->kpad, hmac->blen);
    outer->update(tmp, hlen);
    if (hmac->hlen >= hlen) {
      outer->finish(out);
    } else {
      outer->finish(tmp);
      memcpy(out, tmp, hmac->hlen);
    }
    flip_pad();
    delete this;
  }

 private:
  void flip_pad() {
    for (uint32_t i = 0; i < hmac->blen; ++i) hmac->kpad[i] ^= 0x6a;
  }

  digest_alg_hmac *hmac;  // not owned
  digest_ctx *inner;      // owned until it is finished
};

}  // namespace

digest_alg_hmac::~digest_alg_hmac() {
  if (kpad) memset(kpad, 0, blen);
  delete[] kpad;
}

digest_ctx *digest_alg_hmac::new_ctx() { return new digest_ctx_hmac(this); }

void digest_alg_hmac::mac(const void *data, size_t len, void *out) {
  uint8_t inner[256], outer[256];
  const uint32_t inner_len = alg->hlen;
  QUILMAR_ASSERT(inner_len <= sizeof inner);
  if (inner_len > sizeof inner) return;
  alg->digest2(kpad, blen, data, len, inner);
  for (uint32_t i = 0; i < blen; ++i) kpad[i] ^= 0x6a;  // the outer pad
  alg->digest2(kpad, blen, inner, inner_len, outer);
  for (uint32_t i = 0; i < blen; ++i) kpad[i] ^= 0x6a;
  memcpy(out, outer, hlen);
}

digest_alg_hmac *make_hmac(digest_alg *alg, const void *key, size_t key_len, uint32_t hlen) {
  uint8_t ktmp[256];
  const uint32_t blen = alg->blen;
  QUILMAR_ASSERT(hlen <= alg->hlen);
  QUILMAR_ASSERT(blen <= sizeof ktmp);
  // The inner digest must fit in ktmp too, since a long key is replaced by it.
  if (hlen > alg->hlen || blen > sizeof ktmp || alg->hlen > sizeof ktmp) return nullptr;

  memset(ktmp, 0, sizeof ktmp);
  if (key_len > alg->blen) {
    digest_ctx *ctx = alg->new_ctx();
    ctx->update(key, key_len);
    ctx->finish(ktmp);
  } else if (key_len) {
    memcpy(ktmp, key, key_len);
  }
  digest_alg_hmac *hmac = new digest_alg_hmac();
  hmac->kpad = new uint8_t[alg->blen];
  for (uint32_t i = 0; i < alg->blen; ++i) hmac->kpad[i] = ktmp[i] ^ 0x36;
  memset(ktmp, 0, sizeof ktmp);
  hmac->blen = alg->blen;
  hmac->hlen = hlen;
  hmac->alg = alg;
  return hmac;
}

digest_alg_hmac *make_hmac(digest_alg *alg, const std::string &key, uint32_t hlen) {
  return make_hmac(alg, key.data(), key.size(), hlen);
}
