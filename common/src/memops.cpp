#include "common/util.h"

void xor_bytes(uint8_t *out, const uint8_t *a, const uint8_t *b, size_t count) {
  while (count--) out[count] = a[count] ^ b[count];
}
