#include "common/codec.h"

#include <gtest/gtest.h>

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

std::string len_bytes(uint32_t value) {
  std::string buf;
  put_len(buf, value);
  return buf;
}

uint32_t read_len(const std::string &buf) {
  msg_reader r(buf);
  uint32_t v = r.get_len();
  EXPECT_TRUE(r.at_end());
  return v;
}

TEST(VarintLength, SmallValuesUseTheFewestBytes) {
  EXPECT_EQ(len_bytes(0), bytes({0x00}));
  EXPECT_EQ(len_bytes(127), bytes({0x7f}));
  EXPECT_EQ(len_bytes(128), bytes({0x80, 0x01}));
  EXPECT_EQ(len_bytes(300), bytes({0xac, 0x02}));
}

TEST(VarintLength, FourByteLimit) {
  const uint32_t largest = (1u << 28) - 1;
  EXPECT_EQ(len_bytes(largest), bytes({0xff, 0xff, 0xff, 0x7f}));
  EXPECT_EQ(read_len(len_bytes(largest)), largest);

  EXPECT_EQ(len_bytes(1u << 28), bytes({0x80, 0x80, 0x80, 0x80, 0x01}));
  const std::string r_bytes = len_bytes(1u << 28);
  msg_reader r(r_bytes);
  EXPECT_THROW(r.get_len(), parser::err);
}

TEST(VarintLength, RoundTripsEveryGroupBoundary) {
  for (uint32_t v : {1u, 127u, 128u, 16383u, 16384u, 2097151u, 2097152u, 268435455u})
    EXPECT_EQ(read_len(len_bytes(v)), v) << v;
}

TEST(VarintLength, RefusesAnUnterminatedRun) {
  for (size_t n = 1; n <= 6; n++) {
    const std::string r_bytes = std::string(n, '\x80');
    msg_reader r(r_bytes);
    EXPECT_THROW(r.get_len(), parser::err) << n;
  }
  const std::string nothing;
  msg_reader empty(nothing);
  EXPECT_THROW(empty.get_len(), parser::err);
}

TEST(VarintLength, RefusesFiveByteRunsEvenWithSmallValues) {
  const std::string r_bytes = bytes({0x80, 0x80, 0x80, 0x80, 0x00});
  msg_reader r(r_bytes);
  EXPECT_THROW(r.get_len(), parser::err);
  const std::string longer_bytes = bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01});
  msg_reader longer(longer_bytes);
  EXPECT_THROW(longer.get_len(), parser::err);
}

class TwoByteLengths : public ::testing::Test {
 protected:
  void SetUp() override { varint_lengths = false; }
  void TearDown() override { varint_lengths = true; }
};

TEST_F(TwoByteLengths, WriteBigEndianAndDropHighBits) {
  EXPECT_EQ(len_bytes(300), bytes({0x01, 0x2c}));
  EXPECT_EQ(len_bytes(70000), bytes({0x11, 0x70}));
  EXPECT_EQ(read_len(bytes({0x01, 0x2c})), 300u);
  const std::string r_bytes = bytes({0x01});
  msg_reader r(r_bytes);
  EXPECT_THROW(r.get_len(), parser::err);
}

TEST_F(TwoByteLengths, StringsUseThem) {
  std::string buf;
  put_str(buf, "abc");
  EXPECT_EQ(buf, bytes({0x00, 0x03, 'a', 'b', 'c'}));
}

TEST(Fields, IntegersAreBigEndian) {
  std::string buf;
  put_u8(buf, 0xab);
  put_u16(buf, 0x1234);
  put_u32(buf, 0x05010203);
  EXPECT_EQ(buf, bytes({0xab, 0x12, 0x34, 0x05, 0x01, 0x02, 0x03}));
  msg_reader r(buf);
  EXPECT_EQ(r.get_u8(), 0xab);
  EXPECT_EQ(r.get_u16(), 0x1234);
  EXPECT_EQ(r.get_u32(), 0x05010203u);
  EXPECT_TRUE(r.at_end());
  EXPECT_THROW(r.get_u8(), parser::err);
}

TEST(Fields, EveryTruncationOfAMessageThrows) {
  std::string buf;
  put_u8(buf, 1);
  put_u16(buf, 2);
  put_u32(buf, 3);
  put_str(buf, std::string(200, 'x'));
  put_u32_list(buf, {1, 2, 3});
  for (size_t n = 0; n < buf.size(); n++) {
    std::string cut = buf.substr(0, n);
    msg_reader r(cut);
    EXPECT_THROW({
      r.get_u8();
      r.get_u16();
      r.get_u32();
      r.get_str();
      r.get_u32_list();
    }, parser::err) << "prefix of " << n;
  }
  msg_reader whole(buf);
  whole.get_u8();
  whole.get_u16();
  whole.get_u32();
  EXPECT_EQ(whole.get_str(), std::string(200, 'x'));
  EXPECT_EQ(whole.get_u32_list(), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_TRUE(whole.at_end());
}

TEST(Fields, StringLongerThanInputThrows) {
  const std::string r_bytes = bytes({0x03, 'a', 'b'});
  msg_reader r(r_bytes);
  EXPECT_THROW(r.get_str(), parser::err);
}

TEST(Fields, EmptyAddressListIsOneZeroByte) {
  std::string buf;
  put_u32_list(buf, {});
  EXPECT_EQ(buf, bytes({0x00}));
  msg_reader r(buf);
  EXPECT_TRUE(r.get_u32_list().empty());
}

TEST(Fields, ForgedListCountIsRefusedWithoutAllocating) {
  // A count of 2^28 - 1 elements with four bytes behind it.
  const std::string r_bytes = bytes({0xff, 0xff, 0xff, 0x7f, 1, 2, 3, 4});
  msg_reader r(r_bytes);
  EXPECT_THROW(r.get_u32_list(), parser::err);
}

TEST(Fields, ReaderOverRawBytes) {
  const uint8_t raw[] = {0x02, 'h', 'i', 0xff};
  msg_reader r(raw, sizeof raw);
  EXPECT_EQ(r.get_str(), "hi");
  EXPECT_EQ(r.remaining(), 1u);
  EXPECT_EQ(r.get_u8(), 0xff);
  EXPECT_TRUE(r.at_end());
}

}  // namespace
