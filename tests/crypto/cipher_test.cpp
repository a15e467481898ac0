#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "common/util.h"
#include "crypto/cipher.h"
#include "log_capture.h"
#include "oracle.h"

namespace {

class CipherLog : public LoggedTest {};

std::unique_ptr<cipher_key> key_of(const std::string &raw) {
  return std::unique_ptr<cipher_key>(
      aes_alg->make_key(static_cast<unsigned>(raw.size() * 8), 1, raw.data()));
}

std::string encrypt_block(const cipher_key &k, const std::string &block) {
  std::string out(16, '\0');
  k.encrypt_block(block.data(), &out[0]);
  return out;
}

std::string decrypt_block(const cipher_key &k, const std::string &block) {
  std::string out(16, '\0');
  k.decrypt_block(block.data(), &out[0]);
  return out;
}

TEST(Aes, KeyLengthAndRoundSelection) {
  EXPECT_EQ(aes_alg->blen, 16u);
  EXPECT_EQ(aes_alg->init_kl(0), 256u);
  EXPECT_EQ(aes_alg->init_kl(128), 128u);
  EXPECT_EQ(aes_alg->init_kl(192), 192u);
  EXPECT_EQ(aes_alg->init_kl(256), 256u);
  EXPECT_EQ(aes_alg->init_kl(100), 0u);
  EXPECT_EQ(aes_alg->init_kl(512), 0u);
  EXPECT_TRUE(aes_alg->init_kr(0));
  EXPECT_TRUE(aes_alg->init_kr(1));
  EXPECT_FALSE(aes_alg->init_kr(2));
}

struct fips_case {
  const char *key;
  unsigned nr;
  const char *cipher;
};

TEST(Aes, Fips197AppendixCVectorsBothDirections) {
  const std::string plain = unhex("00112233445566778899aabbccddeeff");
  const fips_case cases[] = {
      {"000102030405060708090a0b0c0d0e0f", 10, "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", 12,
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 14,
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const fips_case &c : cases) {
    auto k = key_of(unhex(c.key));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->alg, aes_alg);
    EXPECT_EQ(static_cast<cipher_key_aes *>(k.get())->nr, c.nr);
    EXPECT_EQ(tohex(encrypt_block(*k, plain)), c.cipher) << c.key;
    EXPECT_EQ(decrypt_block(*k, unhex(c.cipher)), plain) << c.key;
  }
}

TEST(Aes, Fips197AppendixAKeyExpansionAndAppendixBBlock) {
  auto k = key_of(unhex("2b7e151628aed2a6abf7158809cf4f3c"));
  const cipher_key_aes &aes = *static_cast<cipher_key_aes *>(k.get());
  EXPECT_EQ(aes.ek[4], 0xa0fafe17u);
  EXPECT_EQ(aes.ek[43], 0xb6630ca6u);
  // The decryption schedule starts with the last round key unchanged.
  EXPECT_EQ(aes.dk[3], 0xb6630ca6u);
  EXPECT_EQ(aes.dk[40], aes.ek[0]);
  EXPECT_EQ(tohex(encrypt_block(*k, unhex("3243f6a8885a308d313198a2e0370734"))),
            "3925841d02dc09fbdc118597196a0b32");
  auto k256 = key_of(unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"));
  const cipher_key_aes &aes256 = *static_cast<cipher_key_aes *>(k256.get());
  EXPECT_EQ(aes256.ek[59], 0x706c631eu);
}

TEST(Aes, InPlaceBlockOperations) {
  auto k = key_of(unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"));
  std::string block = unhex("00112233445566778899aabbccddeeff");
  k->encrypt_block(&block[0], &block[0]);
  EXPECT_EQ(tohex(block), "8ea2b7ca516745bfeafc49904b496089");
  k->decrypt_block(&block[0], &block[0]);
  EXPECT_EQ(tohex(block), "00112233445566778899aabbccddeeff");
}

TEST(Aes, RandomBlocksMatchTheLibrary) {
  for (int round = 0; round < 50; ++round) {
    std::string key, block;
    random_string(key, 32);
    random_string(block, 16);
    auto k = key_of(key);
    std::string zero_iv(16, '\0');
    EXPECT_EQ(encrypt_block(*k, block), oracle_cbc(true, key, zero_iv, block));
    EXPECT_EQ(decrypt_block(*k, encrypt_block(*k, block)), block);
  }
}

TEST(Aes, BatchDecryptionMatchesBlockByBlockForEveryKeySize) {
  for (size_t key_bytes : {16, 24, 32}) {
    std::string key;
    random_string(key, key_bytes);
    std::unique_ptr<cipher_key> k(aes_alg->make_key(unsigned(key_bytes * 8), 1, key.data()));
    ASSERT_TRUE(k);
    for (size_t blocks : {1, 2, 3, 4, 7, 8}) {
      std::string in;
      random_string(in, blocks * 16);
      std::string expected;
      for (size_t i = 0; i < blocks; i++) expected += decrypt_block(*k, in.substr(i * 16, 16));
      std::string out(in.size(), '\0');
      k->decrypt_blocks(in.data(), &out[0], blocks);
      EXPECT_EQ(out, expected) << key_bytes << " " << blocks;
      k->decrypt_blocks(in.data(), &in[0], blocks);  // in place
      EXPECT_EQ(in, expected);
    }
  }
}

TEST_F(CipherLog, BadKeyParametersAreRefused) {
  std::string raw(32, 'k');
  EXPECT_EQ(aes_alg->make_key(100, 1, raw.data()), nullptr);
  EXPECT_EQ(aes_alg->make_key(256, 2, raw.data()), nullptr);
  EXPECT_EQ(aes_alg->make_key(256, 1, nullptr), nullptr);
  ASSERT_EQ(lines().size(), 3u);
  for (const std::string &line : lines())
    EXPECT_EQ(line.rfind("assert init_kl(kl) && init_kr(kr) && key in ../crypto/src/cipher_aes.cpp:", 0),
              0u) << line;
  // Key length 0 selects the default 256 bits.
  std::unique_ptr<cipher_key> k(aes_alg->make_key(0, 0, raw.data()));
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(static_cast<cipher_key_aes *>(k.get())->nr, 14u);
  EXPECT_EQ(lines().size(), 3u);
}

TEST_F(CipherLog, NullBlockBuffersAreLoggedAndRefused) {
  auto k = key_of(std::string(16, 'k'));
  std::string block(16, 'b');
  k->encrypt_block(nullptr, &block[0]);
  k->decrypt_block(block.data(), nullptr);
  EXPECT_EQ(block, std::string(16, 'b'));
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0].rfind("assert in && out in ../crypto/src/cipher_aes.cpp:", 0), 0u);
}

// ---- CBC ----

struct cbc_fixture {
  cbc_fixture() {
    random_string(key, 32);
    random_string(iv, 16);
    ctx.reset(make_cbc(aes_alg->make_key(256, 1, key.data())));
  }
  std::string key, iv;
  std::unique_ptr<cipher_ctx> ctx;
};

TEST(Cbc, MatchesTheLibraryOverRandomKeysIvsAndLengths) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    cbc_fixture f;
    size_t blocks = 1 + rng() % 100;
    std::string plain;
    random_string(plain, blocks * 16);
    const std::string expected = oracle_cbc(true, f.key, f.iv, plain);

    // Out of place.
    std::string out(plain.size(), '\0');
    f.ctx->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
    f.ctx->encrypt(plain.data(), &out[0], plain.size());
    ASSERT_EQ(out, expected) << blocks;
    std::string back(plain.size(), '\0');
    f.ctx->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
    f.ctx->decrypt(out.data(), &back[0], out.size());
    ASSERT_EQ(back, plain);
    EXPECT_EQ(oracle_cbc(false, f.key, f.iv, out), plain);

    // In place.
    std::string buf = plain;
    f.ctx->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
    f.ctx->encrypt(buf.data(), &buf[0], buf.size());
    ASSERT_EQ(buf, expected);
    f.ctx->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
    f.ctx->decrypt(buf.data(), &buf[0], buf.size());
    ASSERT_EQ(buf, plain);
  }
}

// Hands out only the single-block operations of an AES key, so that the
// generic CBC chaining of cipher_key runs instead of AES's own.
class block_only_key : public cipher_key {
 public:
  explicit block_only_key(cipher_key *aes) : cipher_key(aes->alg), inner(aes) {}
  void encrypt_block(const void *in, void *out) const override { inner->encrypt_block(in, out); }
  void decrypt_block(const void *in, void *out) const override { inner->decrypt_block(in, out); }
  std::unique_ptr<cipher_key> inner;
};

TEST(Cbc, AesChainingAndGenericChainingAgreeWithTheLibraryForEveryKeySize) {
  for (size_t key_bytes : {16, 24, 32}) {
    std::string key, iv;
    random_string(key, key_bytes);
    random_string(iv, 16);
    std::unique_ptr<cipher_key> aes(aes_alg->make_key(unsigned(key_bytes * 8), 1, key.data()));
    ASSERT_TRUE(aes);
    block_only_key generic(aes_alg->make_key(unsigned(key_bytes * 8), 1, key.data()));
    const uint8_t *ivp = reinterpret_cast<const uint8_t *>(iv.data());
    // Odd and even counts, and more than one batch of the generic path.
    for (size_t blocks : {1, 2, 3, 4, 5, 16, 17, 33, 88}) {
      std::string plain;
      random_string(plain, blocks * 16);
      std::string ours(plain.size(), '\0'), theirs(plain.size(), '\0');
      aes->encrypt_cbc(plain.data(), &ours[0], blocks, ivp);
      generic.encrypt_cbc(plain.data(), &theirs[0], blocks, ivp);
      ASSERT_EQ(ours, theirs) << key_bytes << " " << blocks;
      if (key_bytes == 32) {
        ASSERT_EQ(ours, oracle_cbc(true, key, iv, plain)) << blocks;
      }

      std::string back(plain.size(), '\0'), generic_back(plain.size(), '\0');
      aes->decrypt_cbc(ours.data(), &back[0], blocks, ivp);
      generic.decrypt_cbc(ours.data(), &generic_back[0], blocks, ivp);
      ASSERT_EQ(back, plain) << key_bytes << " " << blocks;
      ASSERT_EQ(generic_back, plain) << key_bytes << " " << blocks;

      // In place, both directions.
      std::string buf = plain;
      aes->encrypt_cbc(buf.data(), &buf[0], blocks, ivp);
      ASSERT_EQ(buf, ours);
      aes->decrypt_cbc(buf.data(), &buf[0], blocks, ivp);
      ASSERT_EQ(buf, plain);
      buf = ours;
      generic.decrypt_cbc(buf.data(), &buf[0], blocks, ivp);
      ASSERT_EQ(buf, plain);
    }
  }
}

TEST(Cbc, ChainingValueInsideTheOutputIsReadBeforeItIsOverwritten) {
  std::string key, plain;
  random_string(key, 32);
  random_string(plain, 5 * 16);
  std::unique_ptr<cipher_key> aes(aes_alg->make_key(256, 1, key.data()));
  block_only_key generic(aes_alg->make_key(256, 1, key.data()));
  for (const cipher_key *k : {static_cast<const cipher_key *>(aes.get()),
                              static_cast<const cipher_key *>(&generic)}) {
    // The iv is the first block of the very buffer that is worked on in place.
    std::string buf = plain;
    const std::string iv = buf.substr(0, 16);
    const std::string expected = oracle_cbc(true, key, iv, plain);
    k->encrypt_cbc(buf.data(), &buf[0], 5, reinterpret_cast<const uint8_t *>(buf.data()));
    ASSERT_EQ(buf, expected);
    k->decrypt_cbc(buf.data(), &buf[0], 5, reinterpret_cast<const uint8_t *>(iv.data()));
    ASSERT_EQ(buf, plain);
    // Decrypting in place with the iv as the buffer's own last block, which
    // is the first to be overwritten: block 0 must still chain to what was
    // there before.
    buf = expected;
    const std::string last = expected.substr(64, 16);
    k->decrypt_cbc(buf.data(), &buf[0], 5, reinterpret_cast<const uint8_t *>(buf.data()) + 64);
    EXPECT_EQ(buf.substr(16), plain.substr(16));
    std::string first(16, '\0');
    k->decrypt_block(expected.data(), &first[0]);
    for (size_t i = 0; i < 16; i++) first[i] = char(first[i] ^ last[i]);
    EXPECT_EQ(buf.substr(0, 16), first);
  }
}

TEST_F(CipherLog, ChainingRefusesNullBuffers) {
  std::string key(32, 'k'), iv(16, 'i'), buf(32, 'x');
  std::unique_ptr<cipher_key> aes(aes_alg->make_key(256, 1, key.data()));
  block_only_key generic(aes_alg->make_key(256, 1, key.data()));
  for (const cipher_key *k : {static_cast<const cipher_key *>(aes.get()),
                              static_cast<const cipher_key *>(&generic)}) {
    k->encrypt_cbc(buf.data(), &buf[0], 2, nullptr);
    k->decrypt_cbc(nullptr, &buf[0], 2, reinterpret_cast<const uint8_t *>(iv.data()));
    k->decrypt_cbc(buf.data(), nullptr, 2, reinterpret_cast<const uint8_t *>(iv.data()));
  }
  EXPECT_EQ(buf, std::string(32, 'x'));
  ASSERT_EQ(lines().size(), 6u);
  EXPECT_EQ(lines()[0].rfind("assert in && out && iv in ../crypto/src/cipher_aes.cpp:", 0), 0u);
  EXPECT_EQ(lines()[3].rfind("assert in && out && iv && b && b <= 64 in ../crypto/src/cipher_mod_cbc.cpp:", 0), 0u);
}

TEST(Cbc, EncryptLeavesIvOnTheLastCiphertextBlockAndContinuesTheChain) {
  cbc_fixture f;
  std::string plain;
  random_string(plain, 64);
  std::string whole(64, '\0');
  f.ctx->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
  f.ctx->encrypt(plain.data(), &whole[0], 64);

  std::string parts(64, '\0');
  f.ctx->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
  f.ctx->encrypt(plain.data(), &parts[0], 48);
  EXPECT_EQ(f.ctx->iv, reinterpret_cast<const uint8_t *>(parts.data()) + 32);
  f.ctx->encrypt(plain.data() + 48, &parts[48], 16);
  EXPECT_EQ(parts, whole);
  EXPECT_EQ(f.ctx->iv, reinterpret_cast<const uint8_t *>(parts.data()) + 48);
}

TEST(Cbc, DecryptLeavesIvAlone) {
  cbc_fixture f;
  std::string data;
  random_string(data, 48);
  const uint8_t *iv = reinterpret_cast<const uint8_t *>(f.iv.data());
  f.ctx->iv = iv;
  f.ctx->decrypt(data.data(), &data[0], data.size());
  EXPECT_EQ(f.ctx->iv, iv);
}

TEST_F(CipherLog, CbcRefusesBadCallsWithoutTouchingTheOutput) {
  cbc_fixture f;
  std::string buf(40, 'x');
  const std::string before = buf;
  // No iv yet.
  f.ctx->encrypt(buf.data(), &buf[0], 32);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("assert in && out && bytes && key && iv in ../crypto/src/cipher_mod_cbc.cpp:", 0), 0u);
  f.ctx->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
  f.ctx->encrypt(buf.data(), &buf[0], 0);
  f.ctx->decrypt(nullptr, &buf[0], 16);
  EXPECT_EQ(lines().size(), 3u);
  f.ctx->encrypt(buf.data(), &buf[0], 40);
  f.ctx->decrypt(buf.data(), &buf[0], 17);
  ASSERT_EQ(lines().size(), 5u);
  EXPECT_EQ(lines()[3].rfind("assert bytes % blen == 0 in ../crypto/src/cipher_mod_cbc.cpp:", 0), 0u);
  EXPECT_EQ(buf, before);
  // A context over a refused key refuses too.
  std::unique_ptr<cipher_ctx> keyless(make_cbc(nullptr));
  keyless->iv = reinterpret_cast<const uint8_t *>(f.iv.data());
  keyless->encrypt(buf.data(), &buf[0], 16);
  EXPECT_EQ(buf, before);
}

}  // namespace
