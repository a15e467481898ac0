// CBC over any cipher_key. Encryption moves `iv` along the output instead of
// copying the chaining value; decryption walks backwards so that the input
// block i-1 is still intact when block i needs it, which lets in == out.
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

}  // namespace

cipher_ctx *make_cbc(cipher_key *key) { return new cbc(key); }

void cbc::encrypt(const void *in, void *out, size_t bytes) {
  if (!acceptable(in, out, bytes, key, iv)) return;
  const size_t b = key->alg->blen;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  uint8_t tmp[64];
  for (size_t off = 0; off < bytes; off += b) {
    xor_bytes(tmp, iv, src + off, b);
    key->encrypt_block(tmp, dst + off);
    iv = dst + off;
  }
}

void cbc::decrypt(const void *in, void *out, size_t bytes) {
  if (!acceptable(in, out, bytes, key, iv)) return;
  const size_t b = key->alg->blen;
  const uint8_t *src = static_cast<const uint8_t *>(in);
  uint8_t *dst = static_cast<uint8_t *>(out);
  for (size_t off = bytes - b; off > 0; off -= b) {
    key->decrypt_block(src + off, dst + off);
    xor_bytes(dst + off, dst + off, src + off - b, b);
  }
  key->decrypt_block(src, dst);
  xor_bytes(dst, dst, iv, b);
}
