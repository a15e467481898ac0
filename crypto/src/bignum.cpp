// The thin layer over the library's big numbers, RSA and Diffie-Hellman.
// libcrypto 3 marks the RSA_* and DH_* calls deprecated; they are kept
// because the bytes they produce (raw PKCS #1 type 1 blocks without a
// DigestInfo, the unpadded DH_compute_key output) are what the other ends
// of our channels expect.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "crypto/bignum.h"

#include <openssl/dh.h>
#include <openssl/rsa.h>

#include <new>

#include "common/log.h"
#include "common/util.h"
#include "crypto/digest.h"

namespace {

BIGNUM *checked(BIGNUM *raw) {
  if (!raw) throw std::bad_alloc();
  return raw;
}

// A library copy that the receiving library object will own and free.
BIGNUM *dup_of(const bignum &value) { return checked(BN_dup(value.raw())); }

// Sets *slot to a copy of `raw` when the library handed one out.
void take_copy(bignum &slot, const BIGNUM *raw) {
  if (raw) slot = bignum(raw);
}

}  // namespace

bignum::bignum() : _raw(checked(BN_new())) {}

bignum::bignum(const BIGNUM *raw) : _raw(nullptr) {
  // A null source would leave us without a value; 0 is the safe stand-in.
  if (!raw) log_write("assert _raw in %s:%d\n", __FILE__, __LINE__);
  _raw = checked(raw ? BN_dup(raw) : BN_new());
}

bignum::bignum(unsigned long value) : _raw(checked(BN_new())) {
  if (!BN_set_word(_raw, value)) {
    BN_free(_raw);
    throw std::bad_alloc();
  }
}

bignum::bignum(const bignum &other) : _raw(checked(BN_dup(other._raw))) {}

bignum &bignum::operator=(const bignum &other) {
  if (this != &other) {
    BIGNUM *copy = checked(BN_dup(other._raw));
    BN_free(_raw);
    _raw = copy;
  }
  return *this;
}

bignum::~bignum() { BN_free(_raw); }

int bignum::bits() const { return BN_num_bits(_raw); }

std::string bignum::to_bytes() const {
  std::string out(bytes(), '\0');
  if (!out.empty()) BN_bn2bin(_raw, reinterpret_cast<unsigned char *>(&out[0]));
  return out;
}

bool bignum::from_bytes(const void *data, size_t len) {
  if (len > 0x7fffffff) return false;
  BIGNUM *fresh = BN_bin2bn(static_cast<const unsigned char *>(data), static_cast<int>(len),
                            nullptr);
  if (!fresh) return false;
  BN_free(_raw);
  _raw = fresh;
  return true;
}

bool bignum::is_zero() const { return BN_is_zero(_raw); }

bool bignum::operator==(const bignum &other) const { return BN_cmp(_raw, other._raw) == 0; }

bignum random_bignum(size_t bytes) {
  std::string raw;
  random_string(raw, bytes);
  bignum value;
  if (!value.from_bytes(raw)) throw std::bad_alloc();
  return value;
}

void put_bignum(std::string &buf, const bignum &value) { put_str(buf, value.to_bytes()); }

bignum get_bignum(msg_reader &reader) {
  uint32_t len = reader.get_len();
  std::string raw = reader.get_bytes(len);
  bignum value;
  if (!value.from_bytes(raw)) throw parser::err();
  return value;
}

// ---- RSA ----

namespace {

int keygen_progress(int, int, BN_GENCB *gencb) {
  static_cast<rsa_keygen_cb *>(BN_GENCB_get_arg(gencb))->progress();
  return 1;
}

}  // namespace

bool rsa_generate(int bits, unsigned long exponent, rsa_keygen_cb &cb, rsa_public_key &pub,
                  rsa_private_key &pri) {
  bignum e(exponent);
  RSA *rsa = RSA_new();
  BN_GENCB *gencb = BN_GENCB_new();
  bool ok = false;
  if (rsa && gencb) {
    BN_GENCB_set(gencb, keygen_progress, &cb);
    ok = RSA_generate_key_ex(rsa, bits, const_cast<BIGNUM *>(e.raw()), gencb) == 1;
  }
  if (ok) {
    const BIGNUM *n = nullptr, *pe = nullptr, *d = nullptr;
    const BIGNUM *p = nullptr, *q = nullptr;
    const BIGNUM *dmp1 = nullptr, *dmq1 = nullptr, *iqmp = nullptr;
    RSA_get0_key(rsa, &n, &pe, &d);
    RSA_get0_factors(rsa, &p, &q);
    RSA_get0_crt_params(rsa, &dmp1, &dmq1, &iqmp);
    ok = n && pe && d;
    if (ok) {
      rsa_public_key new_pub;
      rsa_private_key new_pri;
      take_copy(new_pub.n, n);
      take_copy(new_pub.e, pe);
      take_copy(new_pri.n, n);
      take_copy(new_pri.d, d);
      take_copy(new_pri.p, p);
      take_copy(new_pri.q, q);
      take_copy(new_pri.dmp1, dmp1);
      take_copy(new_pri.dmq1, dmq1);
      take_copy(new_pri.iqmp, iqmp);
      pub = new_pub;
      pri = new_pri;
    }
  }
  BN_GENCB_free(gencb);
  RSA_free(rsa);
  return ok;
}

namespace {

// The public exponent that belongs to `key`: the inverse of d modulo
// lcm(p - 1, q - 1) when the factors are known, else `guess`. Blinding
// needs it: the library blinds with r^e, and a wrong e would leave the
// signature blinded.
bignum public_exponent(const rsa_private_key &key, unsigned long guess) {
  bignum e(guess);
  if (key.p.is_zero() || key.q.is_zero()) return e;
  BN_CTX *ctx = BN_CTX_new();
  BIGNUM *p1 = BN_dup(key.p.raw()), *q1 = BN_dup(key.q.raw());
  BIGNUM *gcd = BN_new(), *lambda = BN_new(), *inverse = BN_new();
  bool ok = ctx && p1 && q1 && gcd && lambda && inverse && BN_sub_word(p1, 1) &&
            BN_sub_word(q1, 1) && BN_gcd(gcd, p1, q1, ctx) && BN_mul(lambda, p1, q1, ctx) &&
            BN_div(lambda, nullptr, lambda, gcd, ctx) &&
            BN_mod_inverse(inverse, key.d.raw(), lambda, ctx);
  if (ok) e = bignum(inverse);
  BN_free(inverse);
  BN_free(lambda);
  BN_free(gcd);
  BN_free(q1);
  BN_free(p1);
  BN_CTX_free(ctx);
  return e;
}

// One signature with the library's blinding on (its default): the time a
// private-key operation takes then says nothing about the key, which
// matters where anyone may ask for signatures (the server signs for every
// client that enrolls). The result is checked with the public half before
// it leaves, so that neither a wrong exponent nor a faulty CRT step can
// hand out a broken signature, which could give the key away.
bool sign_blinded(const rsa_private_key &key, const bignum &e, const std::string &data,
                  std::string &signature) {
  const size_t k = key.n.bytes();
  RSA *rsa = RSA_new();
  if (!rsa) return false;
  bool ok = RSA_set0_key(rsa, dup_of(key.n), dup_of(e), dup_of(key.d)) == 1;
  if (ok && !key.p.is_zero() && !key.q.is_zero())
    ok = RSA_set0_factors(rsa, dup_of(key.p), dup_of(key.q)) == 1;
  if (ok && !key.dmp1.is_zero() && !key.dmq1.is_zero() && !key.iqmp.is_zero())
    ok = RSA_set0_crt_params(rsa, dup_of(key.dmp1), dup_of(key.dmq1), dup_of(key.iqmp)) == 1;
  if (ok) {
    signature.assign(k, '\0');
    int len = RSA_private_encrypt(static_cast<int>(data.size()),
                                  reinterpret_cast<const unsigned char *>(data.data()),
                                  reinterpret_cast<unsigned char *>(&signature[0]), rsa,
                                  RSA_PKCS1_PADDING);
    ok = len >= 0 && static_cast<size_t>(len) == k;
  }
  RSA_free(rsa);
  rsa_public_key pub;
  pub.n = key.n;
  pub.e = e;
  return ok && rsa_verify(pub, signature, data);
}

}  // namespace

bool rsa_sign(const rsa_private_key &key, const std::string &data, std::string &signature) {
  signature.clear();
  size_t k = key.n.bytes();
  if (k == 0 || data.size() > k || key.d.is_zero()) return false;
  // A key without its factors does not tell its public exponent: the
  // usual ones are tried, the most common first.
  for (unsigned long guess : {65537ul, 3ul, 17ul, 5ul, 257ul}) {
    if (sign_blinded(key, public_exponent(key, guess), data, signature)) return true;
    if (!key.p.is_zero() && !key.q.is_zero()) break;  // the exponent was exact
  }
  signature.clear();
  return false;
}

bool rsa_verify(const rsa_public_key &key, const std::string &signature,
                const std::string &data) {
  size_t k = key.n.bytes();
  if (k == 0 || signature.size() != k || key.e.is_zero()) return false;

  RSA *rsa = RSA_new();
  if (!rsa) return false;
  bool ok = RSA_set0_key(rsa, dup_of(key.n), dup_of(key.e), nullptr) == 1;
  std::string recovered(k, '\0');
  int len = -1;
  if (ok)
    len = RSA_public_decrypt(static_cast<int>(k),
                             reinterpret_cast<const unsigned char *>(signature.data()),
                             reinterpret_cast<unsigned char *>(&recovered[0]), rsa,
                             RSA_PKCS1_PADDING);
  RSA_free(rsa);
  // A refused signature must never be compared: whatever the library left in
  // the buffer is not a recovered message.
  if (len < 0) return false;
  recovered.resize(len);
  return recovered == data;
}

void write_public_key(std::string &buf, const rsa_public_key &key) {
  put_u8(buf, 0x00);
  put_bignum(buf, key.n);
  put_bignum(buf, key.e);
}

void write_private_key(std::string &buf, const rsa_private_key &key) {
  put_u8(buf, 0x01);
  put_bignum(buf, key.n);
  put_bignum(buf, key.d);
  put_bignum(buf, key.p);
  put_bignum(buf, key.q);
  put_bignum(buf, key.dmp1);
  put_bignum(buf, key.dmq1);
  put_bignum(buf, key.iqmp);
}

void read_public_key(msg_reader &reader, rsa_public_key &key) {
  if (reader.get_u8() != 0x00) throw parser::err();
  rsa_public_key fresh;
  fresh.n = get_bignum(reader);
  fresh.e = get_bignum(reader);
  key = fresh;
}

void read_private_key(msg_reader &reader, rsa_private_key &key) {
  if (reader.get_u8() != 0x01) throw parser::err();
  rsa_private_key fresh;
  fresh.n = get_bignum(reader);
  fresh.d = get_bignum(reader);
  if (!reader.at_end()) {
    fresh.p = get_bignum(reader);
    fresh.q = get_bignum(reader);
    fresh.dmp1 = get_bignum(reader);
    fresh.dmq1 = get_bignum(reader);
    fresh.iqmp = get_bignum(reader);
  }
  key = fresh;
}

std::string key_fingerprint(const rsa_public_key &key) {
  std::string serial;
  write_public_key(serial, key);
  return digest_of(sha1_alg, serial);
}

// ---- Diffie-Hellman ----

namespace {

// RFC 3526, section 3: the 2048-bit MODP group.
const uint8_t group14_g[1] = {0x02};
const uint8_t group14_p[256] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC9, 0x0F, 0xDA, 0xA2, 0x21, 0x68, 0xC2,
    0x34, 0xC4, 0xC6, 0x62, 0x8B, 0x80, 0xDC, 0x1C, 0xD1, 0x29, 0x02, 0x4E, 0x08, 0x8A, 0x67,
    0xCC, 0x74, 0x02, 0x0B, 0xBE, 0xA6, 0x3B, 0x13, 0x9B, 0x22, 0x51, 0x4A, 0x08, 0x79, 0x8E,
    0x34, 0x04, 0xDD, 0xEF, 0x95, 0x19, 0xB3, 0xCD, 0x3A, 0x43, 0x1B, 0x30, 0x2B, 0x0A, 0x6D,
    0xF2, 0x5F, 0x14, 0x37, 0x4F, 0xE1, 0x35, 0x6D, 0x6D, 0x51, 0xC2, 0x45, 0xE4, 0x85, 0xB5,
    0x76, 0x62, 0x5E, 0x7E, 0xC6, 0xF4, 0x4C, 0x42, 0xE9, 0xA6, 0x37, 0xED, 0x6B, 0x0B, 0xFF,
    0x5C, 0xB6, 0xF4, 0x06, 0xB7, 0xED, 0xEE, 0x38, 0x6B, 0xFB, 0x5A, 0x89, 0x9F, 0xA5, 0xAE,
    0x9F, 0x24, 0x11, 0x7C, 0x4B, 0x1F, 0xE6, 0x49, 0x28, 0x66, 0x51, 0xEC, 0xE4, 0x5B, 0x3D,
    0xC2, 0x00, 0x7C, 0xB8, 0xA1, 0x63, 0xBF, 0x05, 0x98, 0xDA, 0x48, 0x36, 0x1C, 0x55, 0xD3,
    0x9A, 0x69, 0x16, 0x3F, 0xA8, 0xFD, 0x24, 0xCF, 0x5F, 0x83, 0x65, 0x5D, 0x23, 0xDC, 0xA3,
    0xAD, 0x96, 0x1C, 0x62, 0xF3, 0x56, 0x20, 0x85, 0x52, 0xBB, 0x9E, 0xD5, 0x29, 0x07, 0x70,
    0x96, 0x96, 0x6D, 0x67, 0x0C, 0x35, 0x4E, 0x4A, 0xBC, 0x98, 0x04, 0xF1, 0x74, 0x6C, 0x08,
    0xCA, 0x18, 0x21, 0x7C, 0x32, 0x90, 0x5E, 0x46, 0x2E, 0x36, 0xCE, 0x3B, 0xE3, 0x9E, 0x77,
    0x2C, 0x18, 0x0E, 0x86, 0x03, 0x9B, 0x27, 0x83, 0xA2, 0xEC, 0x07, 0xA2, 0x8F, 0xB5, 0xC5,
    0x5D, 0xF0, 0x6F, 0x4C, 0x52, 0xC9, 0xDE, 0x2B, 0xCB, 0xF6, 0x95, 0x58, 0x17, 0x18, 0x39,
    0x95, 0x49, 0x7C, 0xEA, 0x95, 0x6A, 0xE5, 0x15, 0xD2, 0x26, 0x18, 0x98, 0xFA, 0x05, 0x10,
    0x15, 0x72, 0x8E, 0x5A, 0x8A, 0xAC, 0xAA, 0x68, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF};


// A library DH object holding copies of the group and of our key values;
// freeing it leaves the caller's bignums alone.
DH *new_dh(const dh_group &group, const bignum *own_public, const bignum &x) {
  DH *dh = DH_new();
  if (dh && DH_set0_pqg(dh, dup_of(group.p), nullptr, dup_of(group.g)) == 1 &&
      DH_set0_key(dh, own_public ? dup_of(*own_public) : nullptr, dup_of(x)) == 1)
    return dh;
  DH_free(dh);
  log_write("assert _raw in %s:%d\n", __FILE__, __LINE__);
  throw std::bad_alloc();
}

}  // namespace

const dh_group &dh_group14() {
  // Built on first use, so that no other static initialiser can see it
  // unconstructed; lives until exit.
  static const dh_group group = [] {
    dh_group g;
    g.g.from_bytes(group14_g, sizeof group14_g);
    g.p.from_bytes(group14_p, sizeof group14_p);
    return g;
  }();
  return group;
}

bignum dh_public(const dh_group &group, const bignum &x) {
  DH *dh = new_dh(group, nullptr, x);
  const BIGNUM *_raw = nullptr;
  if (DH_generate_key(dh) == 1) DH_get0_key(dh, &_raw, nullptr);
  if (!_raw) {
    DH_free(dh);
    log_write("assert _raw in %s:%d\n", __FILE__, __LINE__);
    throw std::bad_alloc();
  }
  bignum result(_raw);
  DH_free(dh);
  return result;
}

bool dh_shared(const dh_group &group, const bignum &x, const bignum &own_public,
               const bignum &peer_public, bignum &shared) {
  DH *dh = new_dh(group, &own_public, x);
  std::string buf(DH_size(dh), '\0');
  // The whole buffer, trailing zeros included, is the value both ends key
  // their channel with; the length is looked at only to tell a failure (a
  // peer value the library refuses), which must never yield keys.
  const int len = DH_compute_key(reinterpret_cast<unsigned char *>(&buf[0]), peer_public.raw(), dh);
  DH_free(dh);
  if (len <= 0) return false;
  bignum result;
  if (!result.from_bytes(buf) || result.is_zero()) return false;
  shared = result;
  return true;
}

bool dh_value_usable(const dh_group &group, const bignum &value) {
  // 0, 1 and p - 1 (and anything from p on) would pin the shared value to
  // one an eavesdropper knows.
  BIGNUM *upper = BN_dup(group.p.raw());
  if (!upper) throw std::bad_alloc();
  const bool ok = BN_sub_word(upper, 2) == 1 && BN_cmp(value.raw(), upper) <= 0 &&
                  !BN_is_negative(value.raw()) && BN_num_bits(value.raw()) >= 2;
  BN_free(upper);
  return ok;
}
