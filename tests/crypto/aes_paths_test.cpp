// The two AES paths (processor instructions and tables) give the same bytes:
// each against the FIPS-197 vectors, and each against the other over random
// keys, data, lengths and buffer layouts.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "common/util.h"
#include "crypto/cipher.h"
#include "oracle.h"

namespace {

// Makes keys on the chosen path while it lives, then puts the default back.
class path_choice {
 public:
  explicit path_choice(bool hw) : active(aes_use_hw(hw)) {}
  ~path_choice() { aes_use_hw(true); }
  const bool active;  // whether keys made now use the instructions
};

std::unique_ptr<cipher_key_aes> make_key_on(bool hw, const std::string &raw) {
  path_choice choice(hw);
  cipher_key *k = aes_alg->make_key(unsigned(raw.size() * 8), 1, raw.data());
  EXPECT_TRUE(k);
  std::unique_ptr<cipher_key_aes> key(static_cast<cipher_key_aes *>(k));
  if (key) {
    EXPECT_EQ(key->hw, choice.active);
  }
  return key;
}

std::string cbc_run(const cipher_key &k, bool encrypt, const std::string &iv, std::string data) {
  std::unique_ptr<cipher_ctx> ctx(make_cbc(nullptr));
  ctx->key = const_cast<cipher_key *>(&k);
  ctx->iv = reinterpret_cast<const uint8_t *>(iv.data());
  if (encrypt)
    ctx->encrypt(data.data(), &data[0], data.size());
  else
    ctx->decrypt(data.data(), &data[0], data.size());
  ctx->key = nullptr;  // borrowed here
  return data;
}

class AesPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !aes_hw_available()) GTEST_SKIP() << "no AES instructions here";
  }
};

TEST(AesPathChoice, DefaultFollowsTheProcessorAndTablesCanBeForced) {
  std::string raw(32, '\x01');
  std::unique_ptr<cipher_key> def(aes_alg->make_key(256, 1, raw.data()));
  EXPECT_EQ(static_cast<cipher_key_aes *>(def.get())->hw, aes_hw_available());
  EXPECT_FALSE(make_key_on(false, raw)->hw);
  EXPECT_FALSE(aes_use_hw(false));
  EXPECT_EQ(aes_use_hw(true), aes_hw_available());
}

TEST_P(AesPaths, Fips197VectorsEveryKeySizeBothDirections) {
  const std::string plain = unhex("00112233445566778899aabbccddeeff");
  const struct {
    const char *key, *cipher;
  } cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
      // Appendix B
      {"2b7e151628aed2a6abf7158809cf4f3c", nullptr},
  };
  for (const auto &c : cases) {
    auto k = make_key_on(GetParam(), unhex(c.key));
    ASSERT_TRUE(k);
    const std::string in = c.cipher ? plain : unhex("3243f6a8885a308d313198a2e0370734");
    const std::string want = c.cipher ? c.cipher : "3925841d02dc09fbdc118597196a0b32";
    std::string out(16, '\0');
    k->encrypt_block(in.data(), &out[0]);
    EXPECT_EQ(tohex(out), want) << c.key;
    std::string back(16, '\0');
    k->decrypt_block(out.data(), &back[0]);
    EXPECT_EQ(back, in) << c.key;
    // Eight and more blocks go through the interleaved decryption.
    std::string many, expected;
    for (int i = 0; i < 11; ++i) many += out, expected += in;
    k->decrypt_blocks(many.data(), &many[0], 11);
    EXPECT_EQ(many, expected) << c.key;
  }
}

TEST_P(AesPaths, CbcMatchesTheLibraryInPlaceAndWithTheIvInTheOutput) {
  std::mt19937 rng(77);
  for (int round = 0; round < 40; ++round) {
    std::string key, iv, data;
    random_string(key, 32);
    random_string(iv, 16);
    random_string(data, 16 * (1 + rng() % 40));
    auto k = make_key_on(GetParam(), key);
    const std::string cipher = cbc_run(*k, true, iv, data);
    ASSERT_EQ(cipher, oracle_cbc(true, key, iv, data)) << data.size();
    ASSERT_EQ(cbc_run(*k, false, iv, cipher), data) << data.size();
    // The chaining value is the buffer's own last block, which the
    // decryption in place overwrites.
    std::string buf = cipher;
    const std::string last = cipher.substr(cipher.size() - 16);
    std::unique_ptr<cipher_ctx> ctx(make_cbc(nullptr));
    ctx->key = k.get();
    ctx->iv = reinterpret_cast<const uint8_t *>(buf.data()) + buf.size() - 16;
    ctx->decrypt(buf.data(), &buf[0], buf.size());
    ctx->key = nullptr;
    ASSERT_EQ(buf, oracle_cbc(false, key, last, cipher));
  }
}

INSTANTIATE_TEST_SUITE_P(Both, AesPaths, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) {
                           return p.param ? "Instructions" : "Tables";
                         });

TEST(AesPathsAgree, RandomKeysDataAndLengthsGiveTheSameBytes) {
  if (!aes_hw_available()) GTEST_SKIP() << "no AES instructions here";
  std::mt19937 rng(2024);
  for (int round = 0; round < 300; ++round) {
    std::string key, iv, data;
    random_string(key, 16 + 8 * (rng() % 3));
    random_string(iv, 16);
    const size_t blocks = 1 + rng() % 100;
    random_string(data, 16 * blocks);
    auto hw = make_key_on(true, key);
    auto tables = make_key_on(false, key);
    ASSERT_TRUE(hw && tables);
    std::string a(16, '\0'), b(16, '\0');
    hw->encrypt_block(data.data(), &a[0]);
    tables->encrypt_block(data.data(), &b[0]);
    ASSERT_EQ(a, b);
    hw->decrypt_block(data.data(), &a[0]);
    tables->decrypt_block(data.data(), &b[0]);
    ASSERT_EQ(a, b);
    std::string da(data.size(), '\0'), db(data.size(), '\0');
    hw->decrypt_blocks(data.data(), &da[0], blocks);
    tables->decrypt_blocks(data.data(), &db[0], blocks);
    ASSERT_EQ(da, db) << blocks;
    ASSERT_EQ(cbc_run(*hw, true, iv, data), cbc_run(*tables, true, iv, data)) << blocks;
    ASSERT_EQ(cbc_run(*hw, false, iv, data), cbc_run(*tables, false, iv, data)) << blocks;
    // A key made on one path decrypts what the other encrypted.
    ASSERT_EQ(cbc_run(*tables, false, iv, cbc_run(*hw, true, iv, data)), data);
  }
}

}  // namespace
