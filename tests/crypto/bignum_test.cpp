#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/rand.h>

#include "common/codec.h"
#include "common/util.h"
#include "crypto/bignum.h"
#include "crypto/digest.h"
#include "log_capture.h"
#include "oracle.h"

namespace {

class BignumLog : public LoggedTest {};

// Restores the length form whatever a test does with it.
struct length_form {
  explicit length_form(bool varint) : saved(varint_lengths) { varint_lengths = varint; }
  ~length_form() { varint_lengths = saved; }
  bool saved;
};

TEST(Bignum, ZeroHasEmptyByteForm) {
  bignum zero;
  EXPECT_TRUE(zero.is_zero());
  EXPECT_EQ(zero.bits(), 0);
  EXPECT_EQ(zero.bytes(), 0);
  EXPECT_EQ(zero.to_bytes(), "");
}

TEST(Bignum, ByteLengthFollowsSignificantBits) {
  EXPECT_EQ(bignum(255).bytes(), 1);
  EXPECT_EQ(bignum(255).bits(), 8);
  EXPECT_EQ(bignum(256).bytes(), 2);
  EXPECT_EQ(bignum(256).bits(), 9);
  EXPECT_EQ(bignum(256).to_bytes(), std::string("\x01\x00", 2));
}

TEST(Bignum, FromBytesIsBigEndianAndDropsLeadingZeros) {
  bignum b;
  ASSERT_TRUE(b.from_bytes(std::string("\x00\x00\x12\x34\x56", 5)));
  EXPECT_EQ(b, bignum(0x123456));
  EXPECT_EQ(b.to_bytes(), "\x12\x34\x56");
  ASSERT_TRUE(b.from_bytes(std::string()));
  EXPECT_TRUE(b.is_zero());
}

TEST(Bignum, CopiesAreIndependent) {
  bignum a(7);
  bignum b(a);
  bignum c;
  c = a;
  a.from_bytes(std::string("\x09"));
  EXPECT_EQ(b, bignum(7));
  EXPECT_EQ(c, bignum(7));
  EXPECT_EQ(a, bignum(9));
  c = c;
  EXPECT_EQ(c, bignum(7));
}

TEST_F(BignumLog, BignumFromNullLibraryValueIsLoggedAndZero) {
  bignum b(static_cast<const BIGNUM *>(nullptr));
  EXPECT_TRUE(b.is_zero());
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("assert _raw in ../crypto/src/bignum.cpp:", 0), 0u) << lines()[0];
}

TEST(Bignum, RandomValuesHaveAtMostTheAskedBytes) {
  bignum a = random_bignum(256), b = random_bignum(256);
  EXPECT_LE(a.bytes(), 256);
  EXPECT_GT(a.bytes(), 200);  // all-but-certain for random data
  EXPECT_NE(a, b);
  EXPECT_TRUE(random_bignum(0).is_zero());
}

TEST(BignumCodec, RoundTripsInBothLengthForms) {
  for (bool varint : {true, false}) {
    length_form form(varint);
    bignum big = random_bignum(300);
    std::string buf;
    put_bignum(buf, big);
    put_bignum(buf, bignum());
    put_bignum(buf, bignum(0x10001));
    EXPECT_EQ(buf.size(), (varint ? 2u : 2u) + big.bytes() + (varint ? 1u : 2u) +
                              (varint ? 1u : 2u) + 3u);
    msg_reader r(buf);
    EXPECT_EQ(get_bignum(r), big);
    EXPECT_TRUE(get_bignum(r).is_zero());
    EXPECT_EQ(get_bignum(r), bignum(0x10001));
    EXPECT_TRUE(r.at_end());
  }
}

TEST(BignumCodec, GoldenBytes) {
  length_form form(true);
  std::string buf;
  put_bignum(buf, bignum(0x10001));
  EXPECT_EQ(buf, std::string("\x03\x01\x00\x01", 4));
  varint_lengths = false;
  buf.clear();
  put_bignum(buf, bignum(0x10001));
  EXPECT_EQ(buf, std::string("\x00\x03\x01\x00\x01", 5));
}

TEST(BignumCodec, LengthPastTheEndThrows) {
  length_form form(true);
  std::string buf("\x05\x01\x02\x03\x04", 5);
  msg_reader r(buf);
  EXPECT_THROW(get_bignum(r), parser::err);
  std::string huge("\xff\xff\xff\x7f\x01", 5);
  msg_reader r2(huge);
  EXPECT_THROW(get_bignum(r2), parser::err);
  const std::string nothing;
  msg_reader empty(nothing);
  EXPECT_THROW(get_bignum(empty), parser::err);
}

// ---- RSA ----

struct counting_cb : rsa_keygen_cb {
  void progress() override { ++calls; }
  int calls = 0;
};

struct key_pair {
  rsa_public_key pub;
  rsa_private_key pri;
};

key_pair generate(int bits) {
  key_pair kp;
  counting_cb cb;
  EXPECT_TRUE(rsa_generate(bits, 65537, cb, kp.pub, kp.pri));
  EXPECT_GT(cb.calls, 0);
  return kp;
}

TEST(Rsa, GeneratedKeyHasAllParts) {
  key_pair kp = generate(1024);
  EXPECT_EQ(kp.pub.n.bits(), 1024);
  EXPECT_EQ(kp.pub.e, bignum(65537));
  EXPECT_EQ(kp.pri.n, kp.pub.n);
  for (const bignum *part : {&kp.pri.d, &kp.pri.p, &kp.pri.q, &kp.pri.dmp1, &kp.pri.dmq1,
                             &kp.pri.iqmp})
    EXPECT_FALSE(part->is_zero());
}

TEST(Rsa, OurSignatureVerifiesWithTheLibrary) {
  key_pair kp = generate(1024);
  EVP_PKEY *pkey = oracle_public_pkey(kp.pub);
  ASSERT_NE(pkey, nullptr);
  for (size_t len : {1u, 20u, 117u}) {
    std::string data, sig, recovered;
    random_string(data, len);
    ASSERT_TRUE(rsa_sign(kp.pri, data, sig)) << len;
    EXPECT_EQ(sig.size(), 128u);
    ASSERT_TRUE(oracle_recover(pkey, sig, recovered)) << len;
    EXPECT_EQ(recovered, data);
    EXPECT_TRUE(rsa_verify(kp.pub, sig, data));
  }
  EVP_PKEY_free(pkey);
}

TEST(Rsa, LibrarySignatureVerifiesWithOurs) {
  key_pair kp = generate(1024);
  EVP_PKEY *pkey = oracle_private_pkey(kp.pub, kp.pri);
  ASSERT_NE(pkey, nullptr);
  std::string data, sig;
  random_string(data, 20);
  ASSERT_TRUE(oracle_sign(pkey, data, sig));
  EXPECT_TRUE(rsa_verify(kp.pub, sig, data));
  std::string other = data;
  other[19] ^= 1;
  EXPECT_FALSE(rsa_verify(kp.pub, sig, other));
  EXPECT_FALSE(rsa_verify(kp.pub, sig, data.substr(0, 19)));
  // Our own signature over the same bytes is the same deterministic block.
  std::string ours;
  ASSERT_TRUE(rsa_sign(kp.pri, data, ours));
  EXPECT_EQ(ours, sig);
  EVP_PKEY_free(pkey);
}

TEST(Rsa, KeyWithOnlyModulusAndExponentStillSigns) {
  length_form form(true);
  key_pair kp = generate(1024);
  std::string full;
  write_private_key(full, kp.pri);
  // Cut the serialised key right after d.
  std::string nd;
  put_u8(nd, 0x01);
  put_bignum(nd, kp.pri.n);
  put_bignum(nd, kp.pri.d);
  ASSERT_EQ(full.compare(0, nd.size(), nd), 0);
  rsa_private_key short_key;
  msg_reader r(nd);
  read_private_key(r, short_key);
  EXPECT_EQ(short_key.n, kp.pri.n);
  EXPECT_EQ(short_key.d, kp.pri.d);
  EXPECT_TRUE(short_key.p.is_zero());
  EXPECT_TRUE(short_key.iqmp.is_zero());

  std::string data = "handshake digest....", sig, recovered;
  ASSERT_TRUE(rsa_sign(short_key, data, sig));
  EVP_PKEY *pkey = oracle_public_pkey(kp.pub);
  ASSERT_TRUE(oracle_recover(pkey, sig, recovered));
  EXPECT_EQ(recovered, data);
  EVP_PKEY_free(pkey);
  std::string full_sig;
  ASSERT_TRUE(rsa_sign(kp.pri, data, full_sig));
  EXPECT_EQ(full_sig, sig);
}

// A private-key operation is blinded, so its timing tells nothing about the
// key: the library draws a blinding factor for it (counted here), with the
// key's own public exponent, found for keys without factors too.
int random_draws = 0;
const RAND_METHOD *library_random = RAND_get_rand_method();
int counting_bytes(unsigned char *buf, int num) {
  random_draws++;
  return library_random->bytes(buf, num);
}

TEST(Rsa, EverySignatureIsBlinded) {
  RAND_METHOD counting = *library_random;
  counting.bytes = counting.pseudorand = counting_bytes;
  key_pair kp;
  counting_cb cb;
  ASSERT_TRUE(rsa_generate(1024, 3, cb, kp.pub, kp.pri));
  rsa_private_key nd;  // only n and d
  nd.n = kp.pri.n;
  nd.d = kp.pri.d;
  for (const rsa_private_key *key : {&kp.pri, &nd}) {
    std::string sig;
    RAND_set_rand_method(&counting);
    random_draws = 0;
    const bool signed_ok = rsa_sign(*key, "handshake digest", sig);
    RAND_set_rand_method(library_random);
    EXPECT_TRUE(signed_ok && rsa_verify(kp.pub, sig, "handshake digest"));
    EXPECT_GT(random_draws, 0) << "no blinding factor was drawn";
  }
}

TEST(Rsa, SignRefusesDataThatDoesNotFit) {
  key_pair kp = generate(1024);
  std::string sig = "stale";
  EXPECT_FALSE(rsa_sign(kp.pri, std::string(129, 'x'), sig));
  EXPECT_EQ(sig, "");
  sig = "stale";
  EXPECT_FALSE(rsa_sign(kp.pri, std::string(118, 'x'), sig));  // over k - 11
  EXPECT_EQ(sig, "");
  EXPECT_TRUE(rsa_sign(kp.pri, std::string(117, 'x'), sig));
  EXPECT_FALSE(rsa_sign(rsa_private_key(), "x", sig));
  EXPECT_EQ(sig, "");
}

TEST(Rsa, VerifyRefusesBadSignatures) {
  key_pair kp = generate(1024);
  std::string data = "0123456789abcdefghij", sig;
  ASSERT_TRUE(rsa_sign(kp.pri, data, sig));
  EXPECT_FALSE(rsa_verify(kp.pub, sig.substr(1), data));
  EXPECT_FALSE(rsa_verify(kp.pub, sig + "x", data));
  EXPECT_FALSE(rsa_verify(rsa_public_key(), sig, data));
  std::string bad = sig;
  bad[60] ^= 0x20;
  EXPECT_FALSE(rsa_verify(kp.pub, bad, data));
  // A block that does not decode must not be compared with anything, not
  // even with expected bytes of the modulus' length.
  EXPECT_FALSE(rsa_verify(kp.pub, std::string(128, '\0'), std::string(128, '\0')));
  key_pair other = generate(1024);
  EXPECT_FALSE(rsa_verify(other.pub, sig, data));
}

TEST(RsaKeyFile, FreshPublicKeyIs263Bytes) {
  length_form form(true);
  key_pair kp = generate(2048);
  std::string pub;
  write_public_key(pub, kp.pub);
  ASSERT_EQ(pub.size(), 263u);
  EXPECT_EQ(pub.substr(0, 3), std::string("\x00\x80\x02", 3));
  EXPECT_EQ(pub.substr(259), std::string("\x03\x01\x00\x01", 4));
  rsa_public_key back;
  msg_reader r(pub);
  read_public_key(r, back);
  EXPECT_TRUE(r.at_end());
  EXPECT_EQ(back.n, kp.pub.n);
  EXPECT_EQ(back.e, kp.pub.e);
}

TEST(RsaKeyFile, PrivateKeyRoundTripsInBothLengthForms) {
  key_pair kp = generate(1024);
  for (bool varint : {true, false}) {
    length_form form(varint);
    std::string pri;
    write_private_key(pri, kp.pri);
    EXPECT_EQ(pri[0], '\x01');
    rsa_private_key back;
    msg_reader r(pri);
    read_private_key(r, back);
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(back.n, kp.pri.n);
    EXPECT_EQ(back.d, kp.pri.d);
    EXPECT_EQ(back.p, kp.pri.p);
    EXPECT_EQ(back.q, kp.pri.q);
    EXPECT_EQ(back.dmp1, kp.pri.dmp1);
    EXPECT_EQ(back.dmq1, kp.pri.dmq1);
    EXPECT_EQ(back.iqmp, kp.pri.iqmp);
  }
}

TEST(RsaKeyFile, WrongTagsAreRefused) {
  key_pair kp = generate(1024);
  std::string pub, pri;
  write_public_key(pub, kp.pub);
  write_private_key(pri, kp.pri);
  rsa_public_key pk;
  rsa_private_key sk;
  msg_reader r1(pri);
  EXPECT_THROW(read_public_key(r1, pk), parser::err);
  msg_reader r2(pub);
  EXPECT_THROW(read_private_key(r2, sk), parser::err);
  pub[0] = 0x02;
  msg_reader r3(pub);
  EXPECT_THROW(read_public_key(r3, pk), parser::err);
}

TEST(RsaKeyFile, EveryTruncationIsRefusedAndLeavesTheKeyAlone) {
  key_pair kp = generate(1024);
  for (bool varint : {true, false}) {
    length_form form(varint);
    std::string pub, pri, nd;
    write_public_key(pub, kp.pub);
    write_private_key(pri, kp.pri);
    put_u8(nd, 0x01);
    put_bignum(nd, kp.pri.n);
    put_bignum(nd, kp.pri.d);

    rsa_public_key pk;
    pk.e = bignum(3);
    for (size_t len = 0; len < pub.size(); ++len) {
      msg_reader r(pub.data(), len);
      EXPECT_THROW(read_public_key(r, pk), parser::err) << len;
    }
    EXPECT_EQ(pk.e, bignum(3));
    EXPECT_TRUE(pk.n.is_zero());

    rsa_private_key sk;
    sk.d = bignum(5);
    size_t refused = 0;
    for (size_t len = 0; len < pri.size(); ++len) {
      if (len == nd.size()) continue;  // the valid two-number form, checked below
      msg_reader r(pri.data(), len);
      EXPECT_THROW(read_private_key(r, sk), parser::err) << len;
      ++refused;
    }
    EXPECT_EQ(refused, pri.size() - 1);
    EXPECT_EQ(sk.d, bignum(5));
    msg_reader r(pri.data(), nd.size());
    read_private_key(r, sk);
    EXPECT_EQ(sk.d, kp.pri.d);
    EXPECT_TRUE(sk.q.is_zero());
  }
}

TEST(RsaKeyFile, FingerprintHashesTheSerialisedKey) {
  key_pair kp = generate(1024);
  length_form form(false);
  std::string expected_input;
  expected_input += '\0';
  std::string n = kp.pub.n.to_bytes(), e = kp.pub.e.to_bytes();
  expected_input += static_cast<char>(n.size() >> 8);
  expected_input += static_cast<char>(n.size());
  expected_input += n;
  expected_input += '\0';
  expected_input += static_cast<char>(e.size());
  expected_input += e;
  unsigned char md[20];
  unsigned int len = 0;
  ASSERT_EQ(EVP_Digest(expected_input.data(), expected_input.size(), md, &len, EVP_sha1(),
                       nullptr), 1);
  std::string fp = key_fingerprint(kp.pub);
  EXPECT_EQ(fp, std::string(reinterpret_cast<char *>(md), 20));
  varint_lengths = true;
  EXPECT_NE(key_fingerprint(kp.pub), fp);
}

// ---- Diffie-Hellman ----

TEST(DiffieHellman, BuiltInGroupIsRfc3526Group14) {
  const dh_group &group = dh_group14();
  EXPECT_EQ(group.g, bignum(2));
  BIGNUM *reference = BN_get_rfc3526_prime_2048(nullptr);
  ASSERT_NE(reference, nullptr);
  EXPECT_EQ(group.p, bignum(reference));
  EXPECT_EQ(group.p.bytes(), 256);
  BN_free(reference);
}

TEST(DiffieHellman, PublicValueOfOneIsTheGenerator) {
  EXPECT_EQ(dh_public(dh_group14(), bignum(1)), bignum(2));
  EXPECT_EQ(dh_public(dh_group14(), bignum(10)), bignum(1024));
}

TEST(DiffieHellman, BothEndsAgree) {
  const dh_group &group = dh_group14();
  bignum x = random_bignum(256), y = random_bignum(256);
  bignum gx = dh_public(group, x), gy = dh_public(group, y);
  EXPECT_NE(gx, gy);
  bignum a, b;
  ASSERT_TRUE(dh_shared(group, x, gx, gy, a));
  ASSERT_TRUE(dh_shared(group, y, gy, gx, b));
  EXPECT_EQ(a, b);
  EXPECT_GT(a.bytes(), 0);

  // The reference: gy^x mod p computed directly, placed at the front of a
  // buffer of the modulus' length.
  BN_CTX *ctx = BN_CTX_new();
  BIGNUM *z = BN_new();
  ASSERT_EQ(BN_mod_exp(z, gy.raw(), x.raw(), group.p.raw(), ctx), 1);
  std::string buf(256, '\0');
  BN_bn2bin(z, reinterpret_cast<unsigned char *>(&buf[0]));
  bignum expected;
  expected.from_bytes(buf);
  EXPECT_EQ(a, expected);
  BN_free(z);
  BN_CTX_free(ctx);
}

// Values that pin the shared secret to one everybody knows are refused, and
// a computation that fails gives no secret, never zero.
TEST(DiffieHellman, PeerValuesOutsideTwoToPMinusTwoAreRefused) {
  const dh_group &group = dh_group14();
  bignum x = random_bignum(256), gx = dh_public(group, x), shared(77);
  auto p_minus = [&](unsigned long k) {
    BIGNUM *v = BN_dup(group.p.raw());
    BN_sub_word(v, k);
    bignum b(v);
    BN_free(v);
    return b;
  };
  for (const bignum &bad : {bignum(), bignum(1), p_minus(1), p_minus(0)}) {
    EXPECT_FALSE(dh_value_usable(group, bad));
    EXPECT_FALSE(dh_shared(group, x, gx, bad, shared));
  }
  EXPECT_EQ(shared, bignum(77)) << "left alone";
  for (const bignum &good : {bignum(2), p_minus(2)})
    EXPECT_TRUE(dh_value_usable(group, good) && dh_shared(group, x, gx, good, shared));
}

TEST(DiffieHellman, ShortSharedValueMovesItsZerosToTheEnd) {
  const dh_group &group = dh_group14();
  // With x = 1 the shared value is the peer's value itself.
  bignum one(1);
  std::string peer_bytes = unhex("7f") + std::string(254, '\x5a');  // 255 bytes
  bignum peer;
  peer.from_bytes(peer_bytes);
  bignum shared;
  ASSERT_TRUE(dh_shared(group, one, dh_public(group, one), peer, shared));
  EXPECT_EQ(shared.to_bytes(), peer_bytes + std::string(1, '\0'));  // times 256

  bignum small(0x1234);
  ASSERT_TRUE(dh_shared(group, one, bignum(2), small, shared));
  EXPECT_EQ(shared.bytes(), 256);
  EXPECT_EQ(shared.to_bytes(), std::string("\x12\x34", 2) + std::string(254, '\0'));
}

}  // namespace
