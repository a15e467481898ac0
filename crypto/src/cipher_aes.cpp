// Table-driven AES after FIPS-197. Every table is computed at compile time
// from the definition of the S-box (multiplicative inverse in GF(2^8)
// followed by the affine map), so no constant here is copied by hand.
// State and round keys are big-endian 32-bit columns, as in the standard.
// Keys go to the processor's AES instructions (cipher_aes_hw.cpp) when it
// has them; the tables serve the rest, and the tests hold both to the same bytes.
#include <cstring>

#include <atomic>

#include "aes_hw.h"
#include "common/log.h"
#include "crypto/cipher.h"

namespace {

constexpr uint8_t xtime(uint8_t a) { return uint8_t((a << 1) ^ ((a & 0x80) ? 0x1b : 0)); }

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

constexpr uint8_t rotl8(uint8_t x, int n) { return uint8_t((x << n) | (x >> (8 - n))); }
constexpr uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
constexpr uint32_t word(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

struct aes_tables {
  uint8_t sbox[256];
  uint8_t inv_sbox[256];
  uint32_t te[4][256];  // SubBytes and MixColumns of one byte, per row position
  uint32_t td[4][256];  // InvSubBytes and InvMixColumns likewise
  uint32_t rcon[10];
};

constexpr aes_tables make_tables() {
  aes_tables t{};
  // Powers of the generator 3 walk the whole multiplicative group, which
  // gives every inverse: the inverse of 3^i is 3^(255-i).
  uint8_t pow[256] = {};
  uint8_t log[256] = {};
  uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    pow[i] = x;
    log[x] = uint8_t(i);
    x = gmul(x, 3);
  }
  for (int a = 0; a < 256; ++a) {
    uint8_t inv = a ? pow[(255 - log[a]) % 255] : 0;
    uint8_t s = uint8_t(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
    t.sbox[a] = s;
    t.inv_sbox[s] = uint8_t(a);
  }
  for (int a = 0; a < 256; ++a) {
    uint8_t s = t.sbox[a];
    uint8_t si = t.inv_sbox[a];
    t.te[0][a] = word(gmul(s, 2), s, s, gmul(s, 3));
    t.td[0][a] = word(gmul(si, 14), gmul(si, 9), gmul(si, 13), gmul(si, 11));
    for (int r = 1; r < 4; ++r) {
      t.te[r][a] = rotr32(t.te[0][a], 8 * r);
      t.td[r][a] = rotr32(t.td[0][a], 8 * r);
    }
  }
  uint8_t rc = 1;
  for (int i = 0; i < 10; ++i) {
    t.rcon[i] = uint32_t(rc) << 24;
    rc = xtime(rc);
  }
  return t;
}

constexpr aes_tables T = make_tables();

// Spot checks against FIPS-197 figure 7 and section 5.2, at compile time.
static_assert(T.sbox[0x00] == 0x63 && T.sbox[0x53] == 0xed && T.sbox[0xff] == 0x16, "S-box");
static_assert(T.inv_sbox[0x63] == 0x00 && T.inv_sbox[0x16] == 0xff, "inverse S-box");
static_assert(T.rcon[9] == 0x36000000, "Rcon");

constexpr const uint8_t *S = T.sbox, *Si = T.inv_sbox;

// A column as a native 32-bit load of its four bytes sees it, and back.
inline uint32_t native_order(uint32_t w) {
  return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? __builtin_bswap32(w) : w;
}

inline uint32_t load_be(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return native_order(v);
}

inline void store_be(uint8_t *p, uint32_t v) {
  v = native_order(v);
  memcpy(p, &v, 4);
}

inline uint32_t sub_word(uint32_t w) {
  return word(S[w >> 24], S[(w >> 16) & 0xff], S[(w >> 8) & 0xff], S[w & 0xff]);
}

// InvMixColumns of one column: the decryption tables include the inverse
// S-box, so feed them S-box outputs to cancel it.
inline uint32_t inv_mix_column(uint32_t w) {
  return T.td[0][S[w >> 24]] ^ T.td[1][S[(w >> 16) & 0xff]] ^ T.td[2][S[(w >> 8) & 0xff]] ^
         T.td[3][S[w & 0xff]];
}

cipher_alg_aes aes_instance;

std::atomic<bool> hw_wanted{true};

}  // namespace

cipher_alg *const aes_alg = &aes_instance;

bool aes_hw_available() { return aes_hw_cpu(); }

bool aes_use_hw(bool on) {
  hw_wanted = on;
  return on && aes_hw_cpu();
}

unsigned cipher_alg_aes::init_kl(unsigned kl) {
  if (kl == 0) return 256;
  return (kl == 128 || kl == 192 || kl == 256) ? kl : 0;
}

bool cipher_alg_aes::init_kr(unsigned kr) { return kr == 0 || kr == 1; }

cipher_key *cipher_alg_aes::make_key(unsigned kl, unsigned kr, const void *key) {
  QUILMAR_ASSERT(init_kl(kl) && init_kr(kr) && key);
  kl = init_kl(kl);
  if (!kl || !init_kr(kr) || !key) return nullptr;

  cipher_key_aes *k = new cipher_key_aes(this);
  const uint8_t *raw = static_cast<const uint8_t *>(key);
  const unsigned nk = kl / 32;
  k->nr = nk + 6;
  const unsigned words = 4 * (k->nr + 1);
  for (unsigned i = 0; i < nk; ++i) k->ek[i] = load_be(raw + 4 * i);
  for (unsigned i = nk; i < words; ++i) {
    uint32_t temp = k->ek[i - 1];
    if (i % nk == 0)
      temp = sub_word(rotr32(temp, 24)) ^ T.rcon[i / nk - 1];
    else if (nk > 6 && i % nk == 4)
      temp = sub_word(temp);
    k->ek[i] = k->ek[i - nk] ^ temp;
  }
  for (unsigned i = words; i < 60; ++i) k->ek[i] = 0;

  // Equivalent inverse cipher: round keys in reverse order, the inner ones
  // passed through InvMixColumns.
  memcpy(k->dk, k->ek, sizeof k->dk);
  for (unsigned r = 0; r <= k->nr; ++r)
    for (unsigned c = 0; c < 4; ++c) {
      uint32_t w = k->ek[4 * (k->nr - r) + c];
      k->dk[4 * r + c] = (r == 0 || r == k->nr) ? w : inv_mix_column(w);
    }
  k->hw = hw_wanted && aes_hw_cpu();
  if (k->hw)
    for (unsigned i = 0; i < words; ++i) {
      store_be(k->hw_ek + 4 * i, k->ek[i]);
      store_be(k->hw_dk + 4 * i, k->dk[i]);
    }
  return k;
}

// One full round: state (a0..a3) to (b0..b3) with round key rk. The column
// order of the second operand set is the ShiftRows pattern of each direction.
// The tables are indexed through T itself rather than through pointers to
// its rows, which lets the compiler reach all of them from one base register.
#define ENC_COL(a0, a1, a2, a3, k)                                               \
  (T.te[0][a0 >> 24] ^ T.te[1][(a1 >> 16) & 0xff] ^ T.te[2][(a2 >> 8) & 0xff] ^ \
   T.te[3][a3 & 0xff] ^ (k))
#define DEC_COL(a0, a1, a2, a3, k)                                               \
  (T.td[0][a0 >> 24] ^ T.td[1][(a1 >> 16) & 0xff] ^ T.td[2][(a2 >> 8) & 0xff] ^ \
   T.td[3][a3 & 0xff] ^ (k))

#define ENC_ROUND(b0, b1, b2, b3, a0, a1, a2, a3, rk) \
  b0 = ENC_COL(a0, a1, a2, a3, (rk)[0]);              \
  b1 = ENC_COL(a1, a2, a3, a0, (rk)[1]);              \
  b2 = ENC_COL(a2, a3, a0, a1, (rk)[2]);              \
  b3 = ENC_COL(a3, a0, a1, a2, (rk)[3])

#define DEC_ROUND(b0, b1, b2, b3, a0, a1, a2, a3, rk) \
  b0 = DEC_COL(a0, a3, a2, a1, (rk)[0]);              \
  b1 = DEC_COL(a1, a0, a3, a2, (rk)[1]);              \
  b2 = DEC_COL(a2, a1, a0, a3, (rk)[2]);              \
  b3 = DEC_COL(a3, a2, a1, a0, (rk)[3])

// The last round has no MixColumns: bare S-box bytes.
#define ENC_LAST(a0, a1, a2, a3, k) \
  (word(S[a0 >> 24], S[(a1 >> 16) & 0xff], S[(a2 >> 8) & 0xff], S[a3 & 0xff]) ^ (k))
#define DEC_LAST(a0, a1, a2, a3, k) \
  (word(Si[a0 >> 24], Si[(a1 >> 16) & 0xff], Si[(a2 >> 8) & 0xff], Si[a3 & 0xff]) ^ (k))

namespace {

// Everything on the per-block path is forced inline: the fully unrolled
// rounds are too long for the compiler's own taste, and a call would move
// the state through memory between the steps.
#define AES_INLINE inline __attribute__((always_inline))

// One block as four big-endian columns, held in registers.
struct block {
  uint32_t c0, c1, c2, c3;
};

AES_INLINE block load_block(const uint8_t *p) {
  return block{load_be(p), load_be(p + 4), load_be(p + 8), load_be(p + 12)};
}

AES_INLINE void store_block(uint8_t *p, const block &b) {
  store_be(p, b.c0);
  store_be(p + 4, b.c1);
  store_be(p + 8, b.c2);
  store_be(p + 12, b.c3);
}

AES_INLINE block operator^(const block &a, const block &b) {
  return block{a.c0 ^ b.c0, a.c1 ^ b.c1, a.c2 ^ b.c2, a.c3 ^ b.c3};
}

// Stores b XORed with the 16 bytes at `with`. The XOR happens in memory
// byte order, which spares turning `with` into columns first.
AES_INLINE void store_block_xor(uint8_t *p, const block &b, const uint8_t *with) {
  uint32_t w[4];
  memcpy(w, with, 16);
  w[0] ^= native_order(b.c0);
  w[1] ^= native_order(b.c1);
  w[2] ^= native_order(b.c2);
  w[3] ^= native_order(b.c3);
  memcpy(p, w, 16);
}

// NR is a compile-time constant so that the rounds unroll completely and the
// round keys are addressed with fixed offsets.
template <unsigned NR>
AES_INLINE block encrypt_rounds(const uint32_t *rk, const block &in) {
  uint32_t s0 = in.c0 ^ rk[0], s1 = in.c1 ^ rk[1], s2 = in.c2 ^ rk[2], s3 = in.c3 ^ rk[3];
  uint32_t t0, t1, t2, t3;
#pragma GCC unroll 8
  for (unsigned r = 1; r < NR - 1; r += 2) {
    ENC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4 * r);
    ENC_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk + 4 * r + 4);
  }
  ENC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4 * (NR - 1));
  rk += 4 * NR;
  return block{ENC_LAST(t0, t1, t2, t3, rk[0]), ENC_LAST(t1, t2, t3, t0, rk[1]),
               ENC_LAST(t2, t3, t0, t1, rk[2]), ENC_LAST(t3, t0, t1, t2, rk[3])};
}

template <unsigned NR>
AES_INLINE block decrypt_rounds(const uint32_t *rk, const block &in) {
  uint32_t s0 = in.c0 ^ rk[0], s1 = in.c1 ^ rk[1], s2 = in.c2 ^ rk[2], s3 = in.c3 ^ rk[3];
  uint32_t t0, t1, t2, t3;
#pragma GCC unroll 8
  for (unsigned r = 1; r < NR - 1; r += 2) {
    DEC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4 * r);
    DEC_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk + 4 * r + 4);
  }
  DEC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4 * (NR - 1));
  rk += 4 * NR;
  return block{DEC_LAST(t0, t3, t2, t1, rk[0]), DEC_LAST(t1, t0, t3, t2, rk[1]),
               DEC_LAST(t2, t1, t0, t3, rk[2]), DEC_LAST(t3, t2, t1, t0, rk[3])};
}

// Two independent blocks round by round: the table lookups of one overlap
// with those of the other instead of waiting on each other. Only decryption
// can use it, since CBC encryption is one chain. The state lives in named
// locals: arrays of it ended up on the stack.
template <unsigned NR>
AES_INLINE void decrypt_rounds2(const uint32_t *rk, block &x, block &y) {
  uint32_t a0 = x.c0 ^ rk[0], a1 = x.c1 ^ rk[1], a2 = x.c2 ^ rk[2], a3 = x.c3 ^ rk[3];
  uint32_t b0 = y.c0 ^ rk[0], b1 = y.c1 ^ rk[1], b2 = y.c2 ^ rk[2], b3 = y.c3 ^ rk[3];
  uint32_t t0, t1, t2, t3, u0, u1, u2, u3;
#pragma GCC unroll 8
  for (unsigned r = 1; r < NR - 1; r += 2) {
    DEC_ROUND(t0, t1, t2, t3, a0, a1, a2, a3, rk + 4 * r);
    DEC_ROUND(u0, u1, u2, u3, b0, b1, b2, b3, rk + 4 * r);
    DEC_ROUND(a0, a1, a2, a3, t0, t1, t2, t3, rk + 4 * r + 4);
    DEC_ROUND(b0, b1, b2, b3, u0, u1, u2, u3, rk + 4 * r + 4);
  }
  DEC_ROUND(t0, t1, t2, t3, a0, a1, a2, a3, rk + 4 * (NR - 1));
  DEC_ROUND(u0, u1, u2, u3, b0, b1, b2, b3, rk + 4 * (NR - 1));
  rk += 4 * NR;
  x = block{DEC_LAST(t0, t3, t2, t1, rk[0]), DEC_LAST(t1, t0, t3, t2, rk[1]),
            DEC_LAST(t2, t1, t0, t3, rk[2]), DEC_LAST(t3, t2, t1, t0, rk[3])};
  y = block{DEC_LAST(u0, u3, u2, u1, rk[0]), DEC_LAST(u1, u0, u3, u2, rk[1]),
            DEC_LAST(u2, u1, u0, u3, rk[2]), DEC_LAST(u3, u2, u1, u0, rk[3])};
}

template <unsigned NR>
void aes_encrypt(const uint32_t *rk, const uint8_t *src, uint8_t *dst) {
  store_block(dst, encrypt_rounds<NR>(rk, load_block(src)));
}

template <unsigned NR>
void aes_decrypt(const uint32_t *rk, const uint8_t *src, uint8_t *dst) {
  store_block(dst, decrypt_rounds<NR>(rk, load_block(src)));
}

template <unsigned NR>
void aes_decrypt_blocks(const uint32_t *rk, const uint8_t *src, uint8_t *dst, size_t count) {
  for (; count >= 2; count -= 2, src += 32, dst += 32) {
    block x = load_block(src), y = load_block(src + 16);
    decrypt_rounds2<NR>(rk, x, y);
    store_block(dst, x);
    store_block(dst + 16, y);
  }
  if (count) aes_decrypt<NR>(rk, src, dst);
}

// The chaining value stays in registers from one block to the next; only
// the ciphertext goes out to memory.
template <unsigned NR>
void aes_encrypt_cbc(const uint32_t *rk, const uint8_t *src, uint8_t *dst, size_t count,
                     const uint8_t *iv) {
  block chain = load_block(iv);
  for (; count; count--, src += 16, dst += 16) {
    chain = encrypt_rounds<NR>(rk, load_block(src) ^ chain);
    store_block(dst, chain);
  }
}

// From the last block backwards, two at a time: each block is written only
// after the ciphertext it chains to has been read, and nothing below the
// pair has been written yet, so `src` and `dst` may be the same buffer.
template <unsigned NR>
void aes_decrypt_cbc(const uint32_t *rk, const uint8_t *src, uint8_t *dst, size_t count,
                     const uint8_t *iv) {
  uint8_t first_chain[16];  // iv may sit in the output
  memcpy(first_chain, iv, 16);
  auto chain_of = [&](size_t i) { return i ? src + 16 * (i - 1) : first_chain; };
  size_t i = count;  // blocks from i on are done
  if (i % 2) {
    --i;
    store_block_xor(dst + 16 * i, decrypt_rounds<NR>(rk, load_block(src + 16 * i)), chain_of(i));
  }
  while (i) {
    i -= 2;
    block x = load_block(src + 16 * i), y = load_block(src + 16 * i + 16);
    decrypt_rounds2<NR>(rk, x, y);
    // y chains to x's ciphertext, which x's plaintext is about to replace.
    store_block_xor(dst + 16 * i + 16, y, src + 16 * i);
    store_block_xor(dst + 16 * i, x, chain_of(i));
  }
}

}  // namespace

// The key length picks the instantiation once per call rather than per round.
#define AES_DISPATCH(call, ...)                          \
  switch (nr) {                                          \
    case 14: call<14>(__VA_ARGS__); break;               \
    case 12: call<12>(__VA_ARGS__); break;               \
    case 10: call<10>(__VA_ARGS__); break;               \
  }

void cipher_key_aes::encrypt_block(const void *in, void *out) const {
  QUILMAR_ASSERT(in && out);
  if (!in || !out) return;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  if (hw) return aes_hw_encrypt_block(hw_ek, nr, src, dst);
  AES_DISPATCH(aes_encrypt, ek, src, dst)
}

void cipher_key_aes::decrypt_block(const void *in, void *out) const {
  QUILMAR_ASSERT(in && out);
  if (!in || !out) return;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  if (hw) return aes_hw_decrypt_blocks(hw_dk, nr, src, dst, 1);
  AES_DISPATCH(aes_decrypt, dk, src, dst)
}

void cipher_key_aes::decrypt_blocks(const void *in, void *out, size_t count) const {
  QUILMAR_ASSERT(in && out);
  if (!in || !out) return;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  if (hw) return aes_hw_decrypt_blocks(hw_dk, nr, src, dst, count);
  AES_DISPATCH(aes_decrypt_blocks, dk, src, dst, count)
}

void cipher_key_aes::encrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const {
  QUILMAR_ASSERT(in && out && iv);
  if (!in || !out || !iv) return;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  if (hw) return aes_hw_encrypt_cbc(hw_ek, nr, src, dst, count, iv);
  AES_DISPATCH(aes_encrypt_cbc, ek, src, dst, count, iv)
}

void cipher_key_aes::decrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const {
  QUILMAR_ASSERT(in && out && iv);
  if (!in || !out || !iv) return;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  if (hw) return aes_hw_decrypt_cbc(hw_dk, nr, src, dst, count, iv);
  AES_DISPATCH(aes_decrypt_cbc, dk, src, dst, count, iv)
}
