// AES through the processor's AES instructions. Only the functions here are
// compiled for them (a target attribute), so the rest of the build stays
// generic and this code runs only once the processor was asked. CBC
// decryption works on eight blocks at a time: the instructions are
// pipelined, and eight independent blocks keep the pipeline full.
#include "aes_hw.h"

#if defined(__x86_64__) || defined(__i386__)

#include <wmmintrin.h>

#define HW_FN __attribute__((target("aes,sse2"), always_inline)) inline
#define HW_ENTRY __attribute__((target("aes,sse2")))

bool aes_hw_cpu() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
  }();
  return has;
}

namespace {

HW_FN __m128i load(const uint8_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
HW_FN void store(uint8_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }

// The round keys, loaded once per call.
template <unsigned NR>
struct schedule {
  __m128i k[NR + 1];
};

template <unsigned NR>
HW_FN void load_schedule(const uint8_t *rk, schedule<NR> &s) {
  for (unsigned i = 0; i <= NR; ++i) s.k[i] = load(rk + 16 * i);
}

template <unsigned NR>
HW_FN __m128i encrypt1(const schedule<NR> &s, __m128i b) {
  b = _mm_xor_si128(b, s.k[0]);
#pragma GCC unroll 14
  for (unsigned r = 1; r < NR; ++r) b = _mm_aesenc_si128(b, s.k[r]);
  return _mm_aesenclast_si128(b, s.k[NR]);
}

template <unsigned NR>
HW_FN __m128i decrypt1(const schedule<NR> &s, __m128i b) {
  b = _mm_xor_si128(b, s.k[0]);
#pragma GCC unroll 14
  for (unsigned r = 1; r < NR; ++r) b = _mm_aesdec_si128(b, s.k[r]);
  return _mm_aesdeclast_si128(b, s.k[NR]);
}

// Eight independent blocks, round by round.
template <unsigned NR>
HW_FN void decrypt8(const schedule<NR> &s, __m128i *b) {
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) b[j] = _mm_xor_si128(b[j], s.k[0]);
#pragma GCC unroll 14
  for (unsigned r = 1; r < NR; ++r) {
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) b[j] = _mm_aesdec_si128(b[j], s.k[r]);
  }
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) b[j] = _mm_aesdeclast_si128(b[j], s.k[NR]);
}

template <unsigned NR>
HW_ENTRY void encrypt_block(const uint8_t *rk, const uint8_t *src, uint8_t *dst) {
  schedule<NR> s;
  load_schedule(rk, s);
  store(dst, encrypt1(s, load(src)));
}

template <unsigned NR>
HW_ENTRY void decrypt_blocks(const uint8_t *rk, const uint8_t *src, uint8_t *dst, size_t count) {
  schedule<NR> s;
  load_schedule(rk, s);
  __m128i b[8];
  for (; count >= 8; count -= 8, src += 128, dst += 128) {
    for (int j = 0; j < 8; ++j) b[j] = load(src + 16 * j);
    decrypt8(s, b);
    for (int j = 0; j < 8; ++j) store(dst + 16 * j, b[j]);
  }
  for (; count; count--, src += 16, dst += 16) store(dst, decrypt1(s, load(src)));
}

// The chaining value stays in a register; CBC encryption is one chain, so
// there is nothing to interleave.
template <unsigned NR>
HW_ENTRY void encrypt_cbc(const uint8_t *rk, const uint8_t *src, uint8_t *dst, size_t count,
                          const uint8_t *iv) {
  schedule<NR> s;
  load_schedule(rk, s);
  __m128i chain = load(iv);
  for (; count; count--, src += 16, dst += 16) {
    chain = encrypt1(s, _mm_xor_si128(load(src), chain));
    store(dst, chain);
  }
}

// Front to back: a batch's ciphertext is all in registers before any of its
// plaintext is written, and the last ciphertext block is kept as the next
// batch's chaining value, so `src` and `dst` may be the same buffer.
template <unsigned NR>
HW_ENTRY void decrypt_cbc(const uint8_t *rk, const uint8_t *src, uint8_t *dst, size_t count,
                          const uint8_t *iv) {
  schedule<NR> s;
  load_schedule(rk, s);
  __m128i chain = load(iv);
  __m128i c[8], p[8];
  for (; count >= 8; count -= 8, src += 128, dst += 128) {
    for (int j = 0; j < 8; ++j) p[j] = c[j] = load(src + 16 * j);
    decrypt8(s, p);
    store(dst, _mm_xor_si128(p[0], chain));
    for (int j = 1; j < 8; ++j) store(dst + 16 * j, _mm_xor_si128(p[j], c[j - 1]));
    chain = c[7];
  }
  for (; count; count--, src += 16, dst += 16) {
    const __m128i cipher = load(src);
    store(dst, _mm_xor_si128(decrypt1(s, cipher), chain));
    chain = cipher;
  }
}

}  // namespace

#define HW_DISPATCH(call, ...) \
  switch (nr) {                \
    case 14:                   \
      call<14>(__VA_ARGS__);   \
      break;                   \
    case 12:                   \
      call<12>(__VA_ARGS__);   \
      break;                   \
    case 10:                   \
      call<10>(__VA_ARGS__);   \
      break;                   \
  }

void aes_hw_encrypt_block(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst) {
  HW_DISPATCH(encrypt_block, rk, src, dst)
}

void aes_hw_decrypt_blocks(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst,
                           size_t count) {
  HW_DISPATCH(decrypt_blocks, rk, src, dst, count)
}

void aes_hw_encrypt_cbc(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst,
                        size_t count, const uint8_t *iv) {
  HW_DISPATCH(encrypt_cbc, rk, src, dst, count, iv)
}

void aes_hw_decrypt_cbc(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst,
                        size_t count, const uint8_t *iv) {
  HW_DISPATCH(decrypt_cbc, rk, src, dst, count, iv)
}

#else  // no AES instructions on this architecture: the table path only

bool aes_hw_cpu() { return false; }
void aes_hw_encrypt_block(const uint8_t *, unsigned, const uint8_t *, uint8_t *) {}
void aes_hw_decrypt_blocks(const uint8_t *, unsigned, const uint8_t *, uint8_t *, size_t) {}
void aes_hw_encrypt_cbc(const uint8_t *, unsigned, const uint8_t *, uint8_t *, size_t,
                        const uint8_t *) {}
void aes_hw_decrypt_cbc(const uint8_t *, unsigned, const uint8_t *, uint8_t *, size_t,
                        const uint8_t *) {}

#endif
