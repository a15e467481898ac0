// Protection of one framed message channel (the server connection or one
// peer tunnel): key exchange values, key derivation, and in-place
// encryption, numbering and authentication of every frame. The object owns
// its cipher and MAC objects; it never sees a socket and has no callbacks.
// It serves both ends of a channel: "local" is this side, "peer" the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "clisrv/frame_size.h"
#include "crypto/bignum.h"
#include "crypto/cipher.h"
#include "crypto/digest.h"

class msg_crypto {
 public:
  msg_crypto() {}
  virtual ~msg_crypto();

  // Sets gx to the process' Diffie-Hellman public value, nx to 128 random
  // bytes and out_spi to a random word.
  virtual void make_local() = 0;
  // Whether the peer's nonce and public value are acceptable.
  virtual bool check() = 0;
  // Derives key material from the exchange and installs it. The side that
  // sent the first nonce passes initiator = true.
  virtual void derive_keys(bool initiator, bool no_encryption) = 0;
  // Installs keys from at least 52 bytes of material; false (and nothing
  // changed) when there are fewer.
  virtual bool set_keys(const std::string &keymat, bool no_encryption) = 0;
  virtual bool active() = 0;
  // Turns a plain frame (8 header bytes, then the message) into a protected
  // one in place. Until keys are set only the length word is written.
  virtual void protect(std::string &frame, bool udp) = 0;
  // Checks and strips the protection in place; false means discard the frame
  // (its contents are then unspecified). Passes frames through until keys
  // are set.
  virtual bool unprotect(std::string &frame) = 0;
  // The same on a caller's buffer, for the packet path: `frame` holds `len`
  // bytes and has room for `room` in all (len + MSG_CRYPTO_GROWTH always
  // suffices). Returns the protected length, or 0 with nothing changed when
  // the frame is shorter than its header or the room is too small.
  virtual size_t protect(uint8_t *frame, size_t len, size_t room, bool udp) = 0;
  // Checks and strips in place; on success `len` becomes the length of the
  // header and message.
  virtual bool unprotect(uint8_t *frame, size_t &len) = 0;

  std::string nx;            // local nonce
  std::string ny;            // peer's nonce
  bignum gx;                 // local Diffie-Hellman public value
  bignum gy;                 // peer's Diffie-Hellman public value
  std::string local_digest;  // SHA-1(nx, ny, gx, gy): what we sign
  std::string peer_digest;   // SHA-1(ny, nx, gy, gx): what the peer signs
  uint32_t out_spi = 0;      // first word of frames we send over UDP
  uint32_t tx_seq = 0;
  cipher_ctx *tx_cbc = nullptr;       // owned; null without encryption
  digest_alg_hmac *tx_mac = nullptr;  // owned; null until keys are set
  uint32_t in_spi = 0;                // how the owner finds us; only stored here
  uint32_t rx_seq = 0;                // sequence word of the last accepted frame
  cipher_ctx *rx_cbc = nullptr;       // owned
  digest_alg_hmac *rx_mac = nullptr;  // owned

 private:
  msg_crypto(const msg_crypto &) = delete;
  msg_crypto &operator=(const msg_crypto &) = delete;
};

// The MAC key that set_keys installs from key material (both directions
// share it): what a relay needs to tell a tunnel's datagrams from forgeries,
// without being able to decrypt them. Empty when the material is too short.
std::string mac_key_of(const std::string &keymat);

// Bytes of the process' private Diffie-Hellman exponent; 0 (the default)
// means as long as the modulus. Read once, when the first msg_crypto_v2 is
// built. A server that runs many exchanges may choose a shorter exponent
// (at least 28 bytes for group 14) to cut the cost of each one.
extern size_t msg_crypto_dh_exponent_bytes;

// AES-256-CBC with a random IV per frame, HMAC-SHA1 truncated to 12 bytes,
// keys from an RFC 3526 group 14 Diffie-Hellman exchange.
class msg_crypto_v2 : public msg_crypto {
 public:
  msg_crypto_v2();

  void make_local() override;
  bool check() override;
  void derive_keys(bool initiator, bool no_encryption) override;
  bool set_keys(const std::string &keymat, bool no_encryption) override;
  bool active() override { return is_active; }
  void protect(std::string &frame, bool udp) override;
  bool unprotect(std::string &frame) override;
  size_t protect(uint8_t *frame, size_t len, size_t room, bool udp) override;
  bool unprotect(uint8_t *frame, size_t &len) override;

 private:
  bool is_active = false;
};
