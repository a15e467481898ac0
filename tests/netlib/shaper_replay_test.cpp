// The shaper's figures and the replay window's promises: each number once,
// reordering within the window, nothing from behind it, and no trouble at
// the wrap of the 32-bit sequence space.
#include <gtest/gtest.h>

#include <vector>

#include "events/evl.h"
#include "netlib/nethdr.h"

namespace {

TEST(Shaper, ThousandBytesPerSecond) {
  shaper s;
  s.rate = 8000;
  EXPECT_TRUE(admit(s, 1500, 5000)) << "an empty bucket takes any packet";
  EXPECT_EQ(s.level, 12000u);
  EXPECT_FALSE(admit(s, 100, 5000));
  EXPECT_EQ(s.level, 12000u) << "a refusal changes nothing";
  EXPECT_TRUE(admit(s, 0, 5000)) << "nothing always passes";
  // Half a second drains 4000 bits: 8000 are left, and 800 more do not fit.
  EXPECT_FALSE(admit(s, 100, 5500));
  EXPECT_EQ(s.level, 8000u);
  EXPECT_EQ(s.last, 5500u);
  EXPECT_TRUE(admit(s, 100, 7500));
  EXPECT_EQ(s.level, 800u) << "drained to 0 first";
  // 800 + 7200 = 8000 is exactly one second's worth.
  EXPECT_TRUE(admit(s, 900, 7500));
  EXPECT_FALSE(admit(s, 1, 7500));
}

TEST(Shaper, RateZeroAdmitsEverything) {
  shaper s;
  for (uint32_t i = 0; i < 1000; i++) EXPECT_TRUE(admit(s, 65535, 42));
  EXPECT_EQ(s.level, 0u);
}

TEST(Shaper, UsesTheLoopClock) {
  shaper s;
  s.rate = 8000;
  evl_now = 100;
  EXPECT_TRUE(admit(s, 1000));
  EXPECT_FALSE(admit(s, 1));
  evl_now = 1100;
  EXPECT_TRUE(admit(s, 1000));
  EXPECT_EQ(s.last, 1100u);
}

TEST(Shaper, HighRatesAndLongGapsDoNotWrap) {
  // The largest configurable rate: 2^32 - 1 bytes per second.
  shaper s;
  s.rate = uint64_t(0xffffffffu) * 8;
  EXPECT_TRUE(admit(s, 0xffffffffu, 0));
  EXPECT_EQ(s.level, uint64_t(0xffffffffu) * 8) << "bytes times 8 must not wrap at 32 bits";
  EXPECT_FALSE(admit(s, 1, 0));
  // 49 days later (elapsed times rate is about 2^67) the bucket is empty.
  EXPECT_TRUE(admit(s, 1, 0xfffffff0u));
  EXPECT_EQ(s.level, 8u);
  // Across the clock's wrap: 32 ms of a 8000 bit/s rate is 256 bits.
  shaper t;
  t.rate = 8000;
  t.level = 1000;
  t.last = 0xfffffff0u;
  EXPECT_TRUE(admit(t, 0, 0x10u));
  EXPECT_EQ(t.level, 1000u - 256u);
}

TEST(Replay, EachNumberOnce) {
  replay_window w;
  EXPECT_TRUE(replay_accept(w, 0));
  EXPECT_FALSE(replay_accept(w, 0));
  EXPECT_TRUE(replay_accept(w, 1));
  EXPECT_FALSE(replay_accept(w, 1));
  EXPECT_FALSE(replay_accept(w, 0));
}

TEST(Replay, ReorderingWithinTheWindowIsAcceptedOnceEach) {
  replay_window w;
  // 0..999 arrive as the odd ones first, then the even ones, each twice.
  std::vector<uint32_t> order;
  for (uint32_t i = 1; i < 1000; i += 2) order.push_back(i);
  for (uint32_t i = 0; i < 1000; i += 2) order.push_back(i);
  int accepted = 0;
  for (uint32_t seq : order) {
    accepted += replay_accept(w, seq);
    accepted += replay_accept(w, seq);
  }
  EXPECT_EQ(accepted, 1000);
  // The oldest position the window promises to keep.
  EXPECT_TRUE(replay_accept(w, 3000));
  EXPECT_TRUE(replay_accept(w, 3000 - 1024)) << "1024 back is inside the window";
  EXPECT_FALSE(replay_accept(w, 3000 - 1024));
  EXPECT_TRUE(replay_accept(w, 3000 - REPLAY_WINDOW));
  EXPECT_FALSE(replay_accept(w, 999)) << "seen long ago, and now behind";
}

TEST(Replay, BehindTheWindowIsRefused) {
  replay_window w;
  EXPECT_TRUE(replay_accept(w, 10));
  EXPECT_TRUE(replay_accept(w, 10 + REPLAY_WINDOW + 1));
  EXPECT_FALSE(replay_accept(w, 9)) << "never seen, but behind";
  EXPECT_FALSE(replay_accept(w, 10)) << "seen, and now behind";
  EXPECT_TRUE(replay_accept(w, 11));
  // A jump far ahead forgets everything in between.
  EXPECT_TRUE(replay_accept(w, 1000000));
  EXPECT_FALSE(replay_accept(w, 1000000 - REPLAY_WINDOW - 1));
  EXPECT_TRUE(replay_accept(w, 1000000 - 5));
  // Half the number space away counts as behind, not ahead.
  EXPECT_FALSE(replay_accept(w, 1000000 + 0x80000000u));
  EXPECT_TRUE(replay_accept(w, 1000001));
}

TEST(Replay, NumbersAcrossTheWrapKeepFlowing) {
  replay_window w;
  const uint32_t start = 0xfffffe00u;
  int accepted = 0;
  for (uint32_t i = 0; i < 1024; i++) accepted += replay_accept(w, start + i);
  EXPECT_EQ(accepted, 1024) << "through 0xffffffff and on from 0";
  EXPECT_EQ(w.top, 0x1ffu);
  EXPECT_FALSE(replay_accept(w, 0xffffffffu)) << "seen just before the wrap";
  EXPECT_FALSE(replay_accept(w, 0));
  EXPECT_FALSE(replay_accept(w, start));
  // Reordered across the wrap.
  replay_window r;
  EXPECT_TRUE(replay_accept(r, 3));
  EXPECT_TRUE(replay_accept(r, 0xfffffffeu));
  EXPECT_TRUE(replay_accept(r, 0));
  EXPECT_TRUE(replay_accept(r, 0xffffffffu));
  EXPECT_FALSE(replay_accept(r, 0xfffffffeu));
  EXPECT_EQ(r.top, 3u);
}

TEST(Replay, ResetStartsANewWindow) {
  replay_window w;
  EXPECT_TRUE(replay_accept(w, 5000));
  replay_reset(w);
  EXPECT_TRUE(replay_accept(w, 0)) << "a new tunnel counts from 0 again";
  EXPECT_TRUE(replay_accept(w, 5000));
  EXPECT_FALSE(replay_accept(w, 5000));
}

}  // namespace
