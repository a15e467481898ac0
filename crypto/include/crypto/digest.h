// Hash objects: the process-wide SHA-1 algorithm (`sha1_alg`, backed by the
// crypto library) and HMAC over any digest_alg. Factories return heap objects
// the caller owns; pointers back to algorithm objects are never owning. A
// digest_ctx lives from new_ctx until finish, which deletes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class digest_ctx;

class digest_alg {
 public:
  // constexpr so that the process-wide instances are ready before any other
  // static initialiser could reach them.
  constexpr digest_alg(uint32_t block_len = 0, uint32_t hash_len = 0)
      : blen(block_len), hlen(hash_len) {}

  uint32_t blen;  // input block length in bytes
  uint32_t hlen;  // bytes that finish writes

  // A fresh context ready for update; the caller owns it until finish.
  virtual digest_ctx *new_ctx() = 0;
  // The digest of `a` followed by `b`, written to `out` (hlen bytes). The
  // default goes through new_ctx; algorithms on the packet path override it
  // so that it allocates nothing.
  virtual void digest2(const void *a, size_t a_len, const void *b, size_t b_len, void *out);
  virtual ~digest_alg() {}
};

class digest_ctx {
 public:
  explicit digest_ctx(digest_alg *a) : alg(a) {}
  digest_alg *alg;  // not owned

  // Feeds `len` bytes; a length of 0 changes nothing.
  virtual void update(const void *data, size_t len) = 0;
  // Writes alg->hlen bytes to `out`, then deletes this context: the caller
  // must not touch it afterwards.
  virtual void finish(void *out) = 0;
  virtual ~digest_ctx() {}
};

// The one SHA-1 algorithm of the process (blen 64, hlen 20); lives from
// static initialisation to process end.
extern digest_alg *const sha1_alg;

// HMAC (RFC 2104) keyed once, truncated to `hlen` bytes. The padded key is
// kept XOR 0x36 between calls; finish flips it to the outer pad and back, so
// two contexts of one object must never finish at the same time.
class digest_alg_hmac : public digest_alg {
 public:
  ~digest_alg_hmac() override;
  digest_ctx *new_ctx() override;
  // The MAC of `len` bytes at `data` in one call, written to `out` (hlen
  // bytes); allocates nothing when the inner algorithm's digest2 does not.
  void mac(const void *data, size_t len, void *out);

  digest_alg *alg = nullptr;  // the inner algorithm, not owned
  uint8_t *kpad = nullptr;    // blen bytes, owned: key XOR 0x36

 private:
  friend digest_alg_hmac *make_hmac(digest_alg *, const void *, size_t, uint32_t);
  digest_alg_hmac() {}
  digest_alg_hmac(const digest_alg_hmac &) = delete;
  digest_alg_hmac &operator=(const digest_alg_hmac &) = delete;
};

// New HMAC algorithm over `alg` with the given key; `hlen` must not exceed
// alg->hlen. On a violated precondition the failure is logged and null is
// returned.
digest_alg_hmac *make_hmac(digest_alg *alg, const void *key, size_t key_len, uint32_t hlen);
digest_alg_hmac *make_hmac(digest_alg *alg, const std::string &key, uint32_t hlen);

// One-shot convenience: alg's digest of `data` as a byte string.
std::string digest_of(digest_alg *alg, const std::string &data);
