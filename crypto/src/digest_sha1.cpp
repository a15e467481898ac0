// SHA-1 itself is the crypto library's; only the object wrapper is ours.
// The SHA1_* calls are marked deprecated in libcrypto 3, but they are the
// cheapest way to hash a few hundred bytes per packet (no per-context
// provider fetch), and their output is plain FIPS 180-1 SHA-1.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "crypto/digest.h"

namespace {

class digest_ctx_sha1 : public digest_ctx {
 public:
  explicit digest_ctx_sha1(digest_alg *a) : digest_ctx(a) { SHA1_Init(&ctx); }
  void update(const void *data, size_t len) override {
    if (len) SHA1_Update(&ctx, data, len);
  }
  void finish(void *out) override {
    SHA1_Final(static_cast<unsigned char *>(out), &ctx);
    delete this;
  }

 private:
  SHA_CTX ctx;
};

class digest_alg_sha1 : public digest_alg {
 public:
  constexpr digest_alg_sha1() : digest_alg(SHA_CBLOCK, SHA_DIGEST_LENGTH) {}
  digest_ctx *new_ctx() override { return new digest_ctx_sha1(this); }
  void digest2(const void *a, size_t a_len, const void *b, size_t b_len, void *out) override {
    SHA_CTX ctx;
    SHA1_Init(&ctx);
    if (a_len) SHA1_Update(&ctx, a, a_len);
    if (b_len) SHA1_Update(&ctx, b, b_len);
    SHA1_Final(static_cast<unsigned char *>(out), &ctx);
  }
};

digest_alg_sha1 sha1_instance;

}  // namespace

digest_alg *const sha1_alg = &sha1_instance;

void digest_alg::digest2(const void *a, size_t a_len, const void *b, size_t b_len, void *out) {
  digest_ctx *ctx = new_ctx();
  ctx->update(a, a_len);
  ctx->update(b, b_len);
  ctx->finish(out);
}

std::string digest_of(digest_alg *alg, const std::string &data) {
  std::string out(alg->hlen, '\0');
  digest_ctx *ctx = alg->new_ctx();
  ctx->update(data.data(), data.size());
  ctx->finish(&out[0]);
  return out;
}
