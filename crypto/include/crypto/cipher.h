// Block ciphers: the process-wide AES algorithm (`aes_alg`), its expanded
// keys and the CBC mode. Factories return heap objects the caller owns; a
// cipher_ctx owns its key, while the chaining value `iv` is only borrowed
// from the caller's buffers. Algorithm objects are never destroyed.
#pragma once

#include <cstddef>
#include <cstdint>

class cipher_key;

class cipher_alg {
 public:
  // constexpr so that the process-wide instance is ready before any other
  // static initialiser could reach it.
  explicit constexpr cipher_alg(uint32_t block_len) : blen(block_len) {}

  uint32_t blen;  // block length in bytes

  // The key length in bits that `kl` selects (0 picks the default), or 0
  // when the algorithm has no such key length.
  virtual unsigned init_kl(unsigned kl) = 0;
  // Whether `kr` (number of rounds hint) is acceptable.
  virtual bool init_kr(unsigned kr) = 0;
  // Expands kl/8 raw bytes at `key` into a new key object the caller owns.
  // Refuses (logs, returns null) when kl, kr or key are unacceptable.
  virtual cipher_key *make_key(unsigned kl, unsigned kr, const void *key) = 0;
};

class cipher_key {
 public:
  explicit cipher_key(cipher_alg *a) : alg(a) {}
  cipher_alg *alg;  // not owned

  // One block; `in` and `out` may be the same buffer.
  virtual void encrypt_block(const void *in, void *out) const = 0;
  virtual void decrypt_block(const void *in, void *out) const = 0;
  // `count` consecutive blocks, each on its own (no chaining). `in` and
  // `out` are either the same buffer or do not overlap.
  virtual void decrypt_blocks(const void *in, void *out, size_t count) const {
    const uint8_t *src = static_cast<const uint8_t *>(in);
    uint8_t *dst = static_cast<uint8_t *>(out);
    for (size_t i = 0; i < count; i++) decrypt_block(src + i * alg->blen, dst + i * alg->blen);
  }
  // CBC over `count` consecutive blocks, chained from the blen bytes at `iv`
  // (which are read before anything is written). `in` and `out` are either
  // the same buffer or do not overlap. These let a cipher keep the chaining
  // value in registers; the defaults go block by block.
  virtual void encrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const;
  virtual void decrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const;
  virtual ~cipher_key() {}

 private:
  cipher_key(const cipher_key &) = delete;
  cipher_key &operator=(const cipher_key &) = delete;
};

// AES (FIPS-197) with 128-, 192- and 256-bit keys; blen 16.
class cipher_alg_aes : public cipher_alg {
 public:
  constexpr cipher_alg_aes() : cipher_alg(16) {}
  unsigned init_kl(unsigned kl) override;
  bool init_kr(unsigned kr) override;
  cipher_key *make_key(unsigned kl, unsigned kr, const void *key) override;
};

class cipher_key_aes : public cipher_key {
 public:
  explicit cipher_key_aes(cipher_alg *a) : cipher_key(a) {}
  void encrypt_block(const void *in, void *out) const override;
  void decrypt_block(const void *in, void *out) const override;
  void decrypt_blocks(const void *in, void *out, size_t count) const override;
  void encrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const override;
  void decrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const override;

  uint32_t nr = 0;   // rounds: 10, 12 or 14
  uint32_t ek[60];   // encryption schedule
  uint32_t dk[60];   // equivalent-inverse-cipher schedule
  // Set when the key goes through the processor's AES instructions; the
  // same schedules then sit here as bytes, the layout those want.
  bool hw = false;
  uint8_t hw_ek[240];
  uint8_t hw_dk[240];
};

// The one AES algorithm of the process.
extern cipher_alg *const aes_alg;

// Keys use the processor's AES instructions when it has them (asked at run
// time) and the table-driven code otherwise; both give the same bytes.
// aes_use_hw(false) makes keys made afterwards use the tables even so, which
// lets the two paths be compared; it returns whether keys made from now on
// use the instructions.
bool aes_hw_available();
bool aes_use_hw(bool on);

class cipher_ctx {
 public:
  explicit cipher_ctx(cipher_key *k) : key(k) {}
  cipher_key *key;                // owned
  const uint8_t *iv = nullptr;    // borrowed chaining value, set before each call

  // `bytes` must be a non-zero multiple of the block length; `in` and `out`
  // may be the same buffer. A call that breaks this is logged and refused
  // without touching `out`.
  virtual void encrypt(const void *in, void *out, size_t bytes) = 0;
  virtual void decrypt(const void *in, void *out, size_t bytes) = 0;
  virtual ~cipher_ctx() { delete key; }

 private:
  cipher_ctx(const cipher_ctx &) = delete;
  cipher_ctx &operator=(const cipher_ctx &) = delete;
};

// CBC. After encrypt, `iv` points at the last ciphertext block inside the
// caller's output, so a further call continues the chain; decrypt leaves
// `iv` where it was.
class cbc : public cipher_ctx {
 public:
  explicit cbc(cipher_key *k) : cipher_ctx(k) {}
  void encrypt(const void *in, void *out, size_t bytes) override;
  void decrypt(const void *in, void *out, size_t bytes) override;
};

// New CBC context owning `key`.
cipher_ctx *make_cbc(cipher_key *key);
