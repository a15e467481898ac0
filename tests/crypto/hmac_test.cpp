#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "common/util.h"
#include "crypto/digest.h"
#include "log_capture.h"
#include "oracle.h"

namespace {

class HmacLog : public LoggedTest {};

std::string hmac(const std::string &key, const std::string &data, uint32_t hlen = 20) {
  std::unique_ptr<digest_alg_hmac> alg(make_hmac(sha1_alg, key, hlen));
  EXPECT_NE(alg, nullptr);
  if (!alg) return "";
  std::string out(hlen, '\0');
  digest_ctx *ctx = alg->new_ctx();
  EXPECT_EQ(ctx->alg, alg.get());
  ctx->update(data.data(), data.size());
  ctx->finish(&out[0]);
  return tohex(out);
}

TEST(HmacSha1, Rfc2202Vectors) {
  EXPECT_EQ(hmac(repeat('\x0b', 20), "Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(hmac("Jefe", "what do ya want for nothing?"),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(hmac(repeat('\xaa', 20), repeat('\xdd', 50)),
            "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
  EXPECT_EQ(hmac(unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), repeat('\xcd', 50)),
            "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
  EXPECT_EQ(hmac(repeat('\x0c', 20), "Test With Truncation"),
            "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
  EXPECT_EQ(hmac(repeat('\x0c', 20), "Test With Truncation", 12), "4c1a03424b55e07fe7f27be1");
  // Keys longer than a block are hashed first.
  EXPECT_EQ(hmac(repeat('\xaa', 80), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
  EXPECT_EQ(hmac(repeat('\xaa', 80),
                 "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
            "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(HmacSha1, BlockSizedKeyIsUsedUnhashedLongerKeyIsHashed) {
  std::string key64, key65;
  random_string(key64, 64);
  key65 = key64 + "z";
  std::string h64 = hmac(key64, "data");
  std::string h65 = hmac(key65, "data");
  EXPECT_EQ(h64, tohex(oracle_hmac_sha1(key64, "data")));
  EXPECT_EQ(h65, tohex(oracle_hmac_sha1(key65, "data")));
  // The 65-byte key behaves exactly like its SHA-1 digest used as the key.
  EXPECT_EQ(h65, hmac(digest_of(sha1_alg, key65), "data"));
  EXPECT_NE(h64, hmac(digest_of(sha1_alg, key64), "data"));
}

TEST(HmacSha1, TruncationKeepsThePrefix) {
  std::string key, data;
  random_string(key, 20);
  random_string(data, 100);
  std::string full = hmac(key, data, 20);
  for (uint32_t hlen : {0u, 1u, 12u, 19u}) EXPECT_EQ(hmac(key, data, hlen), full.substr(0, 2 * hlen));
}

TEST(HmacSha1, MatchesTheLibraryOverRandomKeysAndLengths) {
  std::mt19937 rng(777);
  for (int round = 0; round < 300; ++round) {
    std::string key, data;
    random_string(key, rng() % 150);
    random_string(data, rng() % 2000);
    ASSERT_EQ(hmac(key, data), tohex(oracle_hmac_sha1(key, data))) << key.size();
    ASSERT_EQ(hmac(key, data, 12), tohex(oracle_hmac_sha1(key, data).substr(0, 12)));
  }
}

TEST(HmacSha1, OneShotMacMatchesTheContexts) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 100; ++round) {
    std::string key, data;
    random_string(key, rng() % 150);
    random_string(data, rng() % 2000);
    std::unique_ptr<digest_alg_hmac> alg(make_hmac(sha1_alg, key, 12));
    std::string out(12, '\0');
    alg->mac(data.data(), data.size(), &out[0]);
    ASSERT_EQ(tohex(out), hmac(key, data, 12)) << key.size() << " " << data.size();
  }
  std::unique_ptr<digest_alg_hmac> alg(make_hmac(sha1_alg, "Jefe", 20));
  std::string out(20, '\0');
  const std::string data = "what do ya want for nothing?";
  alg->mac(data.data(), data.size(), &out[0]);
  EXPECT_EQ(tohex(out), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  // The key is back as it was: a second MAC gives the same answer.
  alg->mac(data.data(), data.size(), &out[0]);
  EXPECT_EQ(tohex(out), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

TEST(HmacSha1, OneKeyServesManyContextsAndPiecewiseUpdates) {
  std::string key = "shared key";
  std::unique_ptr<digest_alg_hmac> alg(make_hmac(sha1_alg, key, 12));
  EXPECT_EQ(alg->blen, 64u);
  EXPECT_EQ(alg->hlen, 12u);
  std::string data;
  random_string(data, 1400);
  const std::string expected = oracle_hmac_sha1(key, data).substr(0, 12);
  for (int i = 0; i < 3; ++i) {
    std::string out(12, '\0');
    digest_ctx *ctx = alg->new_ctx();
    ctx->update(data.data(), 7);
    ctx->update(data.data() + 7, 0);
    ctx->update(data.data() + 7, data.size() - 7);
    ctx->finish(&out[0]);
    EXPECT_EQ(out, expected);
  }
  // Two contexts open at once, finished one after the other.
  digest_ctx *a = alg->new_ctx();
  digest_ctx *b = alg->new_ctx();
  a->update(data.data(), data.size());
  b->update("x", 1);
  std::string out_a(12, '\0'), out_b(12, '\0');
  b->finish(&out_b[0]);
  a->finish(&out_a[0]);
  EXPECT_EQ(out_a, expected);
  EXPECT_EQ(out_b, oracle_hmac_sha1(key, "x").substr(0, 12));
  // An abandoned context is simply deleted.
  delete alg->new_ctx();
}

TEST_F(HmacLog, OversizedOutputLengthIsRefused) {
  EXPECT_EQ(make_hmac(sha1_alg, "k", 21), nullptr);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("assert hlen <= alg->hlen in ../crypto/src/digest_hmac.cpp:", 0), 0u);
}

// An inner digest with blocks too large for the key buffer.
struct huge_block_alg : digest_alg {
  huge_block_alg() : digest_alg(512, 20) {}
  digest_ctx *new_ctx() override { return sha1_alg->new_ctx(); }
};

TEST_F(HmacLog, OversizedInnerBlockIsRefused) {
  huge_block_alg huge;
  EXPECT_EQ(make_hmac(&huge, std::string(600, 'k'), 20), nullptr);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("assert blen <= sizeof ktmp in ../crypto/src/digest_hmac.cpp:", 0), 0u);
}

}  // namespace
