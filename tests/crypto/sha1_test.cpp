#include <gtest/gtest.h>

#include "crypto/digest.h"
#include "oracle.h"

namespace {

std::string sha1_hex(const std::string &data) { return tohex(digest_of(sha1_alg, data)); }

TEST(Sha1, ReportsItsSizes) {
  EXPECT_EQ(sha1_alg->blen, 64u);
  EXPECT_EQ(sha1_alg->hlen, 20u);
}

TEST(Sha1, Fips180Vectors) {
  EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(sha1_hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, EmptyInputGivesDigestOfEmptyString) {
  std::string out(20, '\0');
  digest_ctx *ctx = sha1_alg->new_ctx();
  EXPECT_EQ(ctx->alg, sha1_alg);
  ctx->finish(&out[0]);
  EXPECT_EQ(tohex(out), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, ZeroLengthUpdatesChangeNothing) {
  std::string out(20, '\0');
  digest_ctx *ctx = sha1_alg->new_ctx();
  ctx->update("a", 0);
  ctx->update("ab", 2);
  ctx->update(nullptr, 0);
  ctx->update("c", 1);
  ctx->update("xyz", 0);
  ctx->finish(&out[0]);
  EXPECT_EQ(tohex(out), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, AbandonedContextIsDeletedThroughItsBase) {
  digest_ctx *ctx = sha1_alg->new_ctx();
  ctx->update("abc", 3);
  delete ctx;  // the sanitizer build catches a leak or a bad destructor
}

}  // namespace
