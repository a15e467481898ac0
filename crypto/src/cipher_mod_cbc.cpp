// CBC over any cipher_key. The context checks the call and moves `iv` to the
// last ciphertext block after encryption; the chaining itself is the key's,
// so that a cipher can keep it in registers. The generic chaining here walks
// backwards when decrypting so that input block i-1 is still intact when
// block i needs it, which lets in == out.
#include <cstring>

#include "common/log.h"
#include "common/util.h"
#include "crypto/cipher.h"

namespace {

// Logs and refuses calls that would read or write outside the buffers.
bool acceptable(const void *in, void *out, size_t bytes, const cipher_key *key,
                const uint8_t *iv) {
  QUILMAR_ASSERT(in && out && bytes && key && iv);
  if (!(in && out && bytes && key && iv)) return false;
  const uint32_t blen = key->alg->blen;
  QUILMAR_ASSERT(bytes % blen == 0);
  return blen && blen <= 64 && bytes % blen == 0;
}

// xor_bytes for the one block size we run per packet, two words at a time:
// it sits on the chaining path of every block.
inline void xor_block(uint8_t *out, const uint8_t *a, const uint8_t *b, size_t len) {
  if (len != 16) {
    xor_bytes(out, a, b, len);
    return;
  }
  uint64_t x[2], y[2];
  memcpy(x, a, 16);
  memcpy(y, b, 16);
  x[0] ^= y[0];
  x[1] ^= y[1];
  memcpy(out, x, 16);
}

}  // namespace

// The chain block by block through encrypt_block, for ciphers that have
// nothing better.
void cipher_key::encrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const {
  const size_t b = alg->blen;
  QUILMAR_ASSERT(in && out && iv && b && b <= 64);
  if (!in || !out || !iv || !b || b > 64) return;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  uint8_t chain[64];
  memcpy(chain, iv, b);
  for (size_t i = 0; i < count; i++, src += b, dst += b) {
    xor_block(chain, chain, src, b);
    encrypt_block(chain, dst);
    memcpy(chain, dst, b);
  }
}

// Blocks decrypt independently of each other, so they go to the cipher a
// batch at a time (which lets it work on several at once), from the end of
// the buffer backwards: each batch is written only after it has been XORed
// with the ciphertext blocks before it, which are still intact.
void cipher_key::decrypt_cbc(const void *in, void *out, size_t count, const uint8_t *iv) const {
  const size_t b = alg->blen;
  QUILMAR_ASSERT(in && out && iv && b && b <= 64);
  if (!in || !out || !iv || !b || b > 64) return;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  uint8_t first_chain[64];  // iv may sit in the output
  memcpy(first_chain, iv, b);
  constexpr size_t kBatch = 256;  // bytes decrypted per call to the cipher
  uint8_t plain[kBatch];
  const size_t per_batch = kBatch / b;
  size_t end = count;  // one past the last block still to do
  while (end > 0) {
    size_t first = end > per_batch ? end - per_batch : 0;
    decrypt_blocks(src + first * b, plain, end - first);
    for (size_t i = end; i-- > first;) {
      const uint8_t *previous = i ? src + (i - 1) * b : first_chain;
      xor_block(dst + i * b, plain + (i - first) * b, previous, b);
    }
    end = first;
  }
}

cipher_ctx *make_cbc(cipher_key *key) { return new cbc(key); }

void cbc::encrypt(const void *in, void *out, size_t bytes) {
  if (!acceptable(in, out, bytes, key, iv)) return;
  const size_t b = key->alg->blen;
  key->encrypt_cbc(in, out, bytes / b, iv);
  iv = static_cast<const uint8_t *>(out) + bytes - b;
}

void cbc::decrypt(const void *in, void *out, size_t bytes) {
  if (!acceptable(in, out, bytes, key, iv)) return;
  key->decrypt_cbc(in, out, bytes / key->alg->blen, iv);
}
