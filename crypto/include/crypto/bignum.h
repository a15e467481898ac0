// Big integers, RSA keys and Diffie-Hellman over the crypto library. bignum
// is a value type owning one library BIGNUM; key records are plain values.
// Serialised keys use the field codec's length form current at the call
// (`varint_lengths`); malformed input throws parser::err. No callbacks apart
// from key generation progress, which runs inside rsa_generate.
#pragma once

#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/codec.h"

class bignum {
 public:
  bignum();                      // value 0
  explicit bignum(const BIGNUM *raw);  // duplicates `raw`
  explicit bignum(unsigned long value);
  bignum(const bignum &other);
  bignum &operator=(const bignum &other);
  ~bignum();

  int bits() const;
  int bytes() const { return (bits() + 7) / 8; }
  // Minimal big-endian magnitude; empty for 0.
  std::string to_bytes() const;
  // Replaces the value with the big-endian bytes; keeps the old value and
  // returns false if the library fails.
  bool from_bytes(const void *data, size_t len);
  bool from_bytes(const std::string &data) { return from_bytes(data.data(), data.size()); }

  bool is_zero() const;
  bool operator==(const bignum &other) const;
  bool operator!=(const bignum &other) const { return !(*this == other); }

  // The library value, still owned by this object.
  const BIGNUM *raw() const { return _raw; }

 private:
  BIGNUM *_raw;
};

// `bytes` random bytes read as an unsigned big-endian number.
bignum random_bignum(size_t bytes);

// Appends the length (codec form) and the minimal big-endian bytes.
void put_bignum(std::string &buf, const bignum &value);
// Reads what put_bignum wrote; throws parser::err on a shortage.
bignum get_bignum(msg_reader &reader);

struct rsa_public_key {
  bignum n;  // modulus
  bignum e;  // public exponent
};

// p, q, dmp1, dmq1 and iqmp may be 0 (absent): then only n and d are used.
struct rsa_private_key {
  bignum n, d, p, q, dmp1, dmq1, iqmp;
};

// Receives the library's progress events during key generation.
class rsa_keygen_cb {
 public:
  virtual void progress() = 0;
  virtual ~rsa_keygen_cb() {}
};

// Fills both keys with a new pair of `bits` bits and public exponent
// `exponent`; false (keys untouched) when the library produces no key.
bool rsa_generate(int bits, unsigned long exponent, rsa_keygen_cb &cb,
                  rsa_public_key &pub, rsa_private_key &pri);
// PKCS #1 v1.5 type 1 signature of `data` itself (no DigestInfo), made
// with blinding and checked against the public half before it is handed
// out. On failure returns false and leaves `signature` empty.
bool rsa_sign(const rsa_private_key &key, const std::string &data, std::string &signature);
// True only when `signature` is exactly as long as the modulus and recovers
// exactly `data`.
bool rsa_verify(const rsa_public_key &key, const std::string &signature,
                const std::string &data);

// 0x00, n, e.
void write_public_key(std::string &buf, const rsa_public_key &key);
// 0x01, n, d, p, q, dmp1, dmq1, iqmp.
void write_private_key(std::string &buf, const rsa_private_key &key);
// Throw parser::err on a wrong tag or a shortage; `key` changes only on
// success. A private key may stop after d (only n and d known).
void read_public_key(msg_reader &reader, rsa_public_key &key);
void read_private_key(msg_reader &reader, rsa_private_key &key);

// SHA-1 of the public key serialised with the current length form (20 bytes).
std::string key_fingerprint(const rsa_public_key &key);

struct dh_group {
  bignum g;  // generator
  bignum p;  // prime modulus
};

// RFC 3526 group 14: g = 2, p = the 2048-bit MODP prime.
const dh_group &dh_group14();

// g^x mod p.
bignum dh_public(const dh_group &group, const bignum &x);
// The shared value peer^x mod p as the library writes it into a buffer of the
// modulus' length: its minimal bytes first, zero bytes after. A value shorter
// than p thus comes back shifted left by the missing bytes; the key
// derivation on both ends of a channel depends on exactly these bytes.
// False (and `shared` untouched) when the library cannot compute it, for
// instance for a peer value outside 2 .. p - 2: never a zero secret.
bool dh_shared(const dh_group &group, const bignum &x, const bignum &own_public,
               const bignum &peer_public, bignum &shared);
// Whether `value` is a public value a peer may send: 2 <= value <= p - 2.
bool dh_value_usable(const dh_group &group, const bignum &value);
