#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/util.h"
#include "log_capture.h"

namespace {

using Logged = LoggedTest;

TEST(Text, AddressesPrintMostSignificantOctetFirst) {
  EXPECT_EQ(ip_to_text(0x05010203), "5.1.2.3");
  EXPECT_EQ(ip_to_text(0xffffffff), "255.255.255.255");
  EXPECT_EQ(ip_to_text(0), "0.0.0.0");
}

TEST(Text, ParsesOnlyWholeDottedQuads) {
  uint32_t ip = 42;
  EXPECT_TRUE(text_to_ip("5.1.2.3", ip));
  EXPECT_EQ(ip, 0x05010203u);
  for (const char *bad : {"5.1.2.3 ", "5.1.2", "256.1.1.1", "5.1.2.3.4", "", "a.b.c.d",
                          "5.1.2.3x", "1.2.3.4294967296", "1.2.3.-18446744073709551615", "-0.1.2.3"}) {
    uint32_t out = 42;
    EXPECT_FALSE(text_to_ip(bad, out)) << bad;
    EXPECT_EQ(out, 42u) << bad;
  }
  EXPECT_TRUE(text_to_ip(" 5. 1.2.3", ip));  // leading blanks before a field
}

TEST(Text, NumbersMustBeWholeAndInRange) {
  uint64_t n = 42;
  for (const char *bad : {"", "10M", " 1", "+1", "-1", "18446744073709551616", "65536"})
    EXPECT_FALSE(text_to_number(bad, bad[0] == '6' ? 65535 : UINT64_MAX, n)) << bad;
  EXPECT_FALSE(text_to_number("7", 5, n));
  EXPECT_EQ(n, 42u) << "untouched on failure";
  EXPECT_TRUE(text_to_number("18446744073709551615", UINT64_MAX, n));
  EXPECT_EQ(n, UINT64_MAX);
}

TEST(Text, EndpointCarriesThePort) {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(0x7f000001);
  sa.sin_port = htons(80);
  EXPECT_EQ(endpoint_text(sa), "127.0.0.1:80");
  sa.sin_port = htons(12975);
  sa.sin_addr.s_addr = htonl(0x0a010203);
  EXPECT_EQ(endpoint_text(sa), "10.1.2.3:12975");
}

TEST(Text, HexTextStopsAtTheSmallerCount) {
  std::string b("\x0a\xff\x10", 3);
  EXPECT_EQ(hex_text(b, 2), "0a:ff");
  EXPECT_EQ(hex_text(b, 10), "0a:ff:10");
  EXPECT_EQ(hex_text(b, 0), "");
  EXPECT_EQ(hex_text("", 5), "");
}

TEST(Memops, XorMayWriteOverEitherInput) {
  uint8_t a[5] = {1, 2, 3, 4, 5}, b[5] = {0xff, 0, 0xf0, 4, 1}, out[5];
  xor_bytes(out, a, b, 5);
  const uint8_t expect[5] = {0xfe, 2, 0xf3, 0, 4};
  EXPECT_EQ(0, memcmp(out, expect, 5));
  xor_bytes(a, a, b, 5);
  EXPECT_EQ(0, memcmp(a, expect, 5));
  xor_bytes(b, a, b, 5);  // back to the original a
  const uint8_t original[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(0, memcmp(b, original, 5));
}

TEST(Random, FillsTheWholeLength) {
  std::string s;
  random_string(s, 64);
  ASSERT_EQ(s.size(), 64u);
  std::string t;
  random_string(t, 64);
  EXPECT_NE(s, t);
  random_string(s, 0);
  EXPECT_TRUE(s.empty());
}

// IV bytes from the pool: never the same twice, across refills of the
// pool, and a forked child does not hand out what its parent will.
TEST(Random, PublicBytesNeverRepeatAcrossRefillsOrForks) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {  // about four pools of 16-byte values
    std::string iv(16, '\0');
    random_public_bytes(&iv[0], iv.size());
    EXPECT_TRUE(seen.insert(iv).second) << i;
  }
  std::string big(200, '\0');
  random_public_bytes(&big[0], big.size());
  EXPECT_NE(big.find_first_not_of('\0'), std::string::npos);

  // The parent's and the child's next values, compared through a pipe.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    uint8_t mine[16];
    random_public_bytes(mine, sizeof mine);
    _exit(write(fds[1], mine, sizeof mine) == ssize_t(sizeof mine) ? 0 : 1);
  }
  uint8_t ours[16], theirs[16];
  random_public_bytes(ours, sizeof ours);
  close(fds[1]);
  ASSERT_EQ(read(fds[0], theirs, sizeof theirs), ssize_t(sizeof theirs));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_NE(memcmp(ours, theirs, sizeof ours), 0);
}

TEST_F(Logged, GaugeCountsCurrentPeakAndTotal) {
  gauge g = {0, 0, 0, "things"};
  gauge_add(g, 1);
  gauge_add(g, 1);
  gauge_sub(g, 1);
  EXPECT_EQ(g.current, 1);
  EXPECT_EQ(g.peak, 2);
  EXPECT_EQ(g.total, 2);
  EXPECT_TRUE(logged.empty());
}

TEST_F(Logged, GaugeUnderflowIsReportedAndApplied) {
  gauge g = {0, 0, 0, "tcp_pipe"};
  gauge_sub(g, 1);
  EXPECT_EQ(g.current, -1);
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].rfind("assert 0 in ../common/src/gauge.cpp:", 0), 0u) << logged[0];
  EXPECT_EQ(logged[1], "wtf: gauge underflow, [tcp_pipe]\n");
}

TEST_F(Logged, WriteReturnsTheSinksResult) {
  EXPECT_EQ(log_write("x %d\n", 5), 4);
  EXPECT_EQ(logged.back(), "x 5\n");
  EXPECT_EQ(log_set_sink(nullptr), capture_sink);
  EXPECT_EQ(log_write("dropped\n"), 0);
  EXPECT_EQ(logged.size(), 1u);
}

TEST(LogStdio, PrefixIsLeftOutOnContinuations) {
  char *text = nullptr;
  size_t size = 0;
  FILE *mem = open_memstream(&text, &size);
  FILE *saved = log_stream;
  log_stream = mem;
  log_prefix = "P ";
  log_set_sink(log_stdio_write);
  log_write("one ");
  log_continuation = true;
  log_write("two\n");
  log_continuation = false;
  log_prefix = nullptr;
  log_write("three\n");
  log_set_sink(nullptr);
  log_stream = saved;
  fclose(mem);
  EXPECT_STREQ(text, "P one two\nthree\n");
  free(text);
}

}  // namespace
