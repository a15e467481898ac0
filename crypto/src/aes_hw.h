// The AES instruction path, private to the crypto module. Round keys are
// the table path's schedules laid out as bytes (both schedules there are in
// the order the instructions want: the decryption one is the equivalent
// inverse cipher's, InvMixColumns already applied to its inner keys).
#pragma once

#include <cstddef>
#include <cstdint>

// Whether this processor has the AES instructions (asked once).
bool aes_hw_cpu();

// `rk` holds nr+1 round keys of 16 bytes. `src` and `dst` are either the
// same buffer or do not overlap; `iv` is read before anything is written.
void aes_hw_encrypt_block(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst);
void aes_hw_decrypt_blocks(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst,
                           size_t count);
void aes_hw_encrypt_cbc(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst,
                        size_t count, const uint8_t *iv);
void aes_hw_decrypt_cbc(const uint8_t *rk, unsigned nr, const uint8_t *src, uint8_t *dst,
                        size_t count, const uint8_t *iv);
