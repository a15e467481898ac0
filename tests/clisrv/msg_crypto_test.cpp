#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <memory>

#include "log_capture.h"
#include "../crypto/oracle.h"
#include "clisrv/msg_crypto.h"
#include "common/util.h"

namespace {

class ChannelLog : public LoggedTest {};

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

uint32_t word_at(const std::string &s, size_t off) {
  return uint32_t(uint8_t(s[off])) << 24 | uint32_t(uint8_t(s[off + 1])) << 16 |
         uint32_t(uint8_t(s[off + 2])) << 8 | uint8_t(s[off + 3]);
}

// A plain frame as the session builds it: room for the two header words.
std::string plain_frame(const std::string &message) { return std::string(8, '\0') + message; }

std::string test_keymat(size_t len = 120) {
  std::string k;
  for (size_t i = 0; i < len; ++i) k += static_cast<char>(i * 7 + 3);
  return k;
}

// A protected frame built with the library alone, from a chosen plaintext
// (message and padding as the caller wants them), so that the receiver's
// checks behind the MAC can be exercised.
std::string forged_frame(const std::string &keymat, uint32_t first, uint32_t seq,
                         const std::string &padded_plain, const std::string &iv) {
  std::string enc_key = keymat.substr(0, 32), mac_key = keymat.substr(32, 20);
  std::string frame = be32(first) + be32(seq) + oracle_cbc(true, enc_key, iv, padded_plain) + iv;
  return frame + oracle_hmac_sha1(mac_key, frame).substr(0, 12);
}

std::unique_ptr<msg_crypto> keyed(const std::string &keymat, bool no_encryption = false) {
  std::unique_ptr<msg_crypto> c(new msg_crypto_v2());
  EXPECT_TRUE(c->set_keys(keymat, no_encryption));
  return c;
}

// Two ends that completed the exchange, each fed the other's values.
struct channel_pair {
  channel_pair() : initiator(new msg_crypto_v2()), responder(new msg_crypto_v2()) {
    initiator->make_local();
    responder->make_local();
    initiator->ny = responder->nx;
    initiator->gy = responder->gx;
    responder->ny = initiator->nx;
    responder->gy = initiator->gx;
  }
  std::unique_ptr<msg_crypto> initiator, responder;
};

void expect_passes(msg_crypto &from, msg_crypto &to, const std::string &message, bool udp) {
  std::string frame = plain_frame(message);
  from.protect(frame, udp);
  // A short message can encrypt to itself by chance (one byte: 1 in 256);
  // eight bytes or more cannot, in practice.
  if (message.size() >= 8) {
    EXPECT_NE(frame.substr(8, message.size()), message);
  }
  ASSERT_TRUE(to.unprotect(frame)) << message.size() << (udp ? " udp" : " tcp");
  EXPECT_EQ(frame.substr(8), message);
}

// ---- exchange and keys ----

TEST(ChannelKeys, MakeLocalFillsNonceValueAndSpi) {
  msg_crypto_v2 a, b;
  a.make_local();
  b.make_local();
  EXPECT_EQ(a.nx.size(), 128u);
  EXPECT_NE(a.nx, b.nx);
  EXPECT_FALSE(a.gx.is_zero());
  EXPECT_LE(a.gx.bytes(), 256);
  // One Diffie-Hellman value per process; the nonces make each exchange new.
  EXPECT_EQ(a.gx, b.gx);
  EXPECT_FALSE(a.active());
}

TEST(ChannelKeys, CheckAcceptsOnlySaneNoncesAndValues) {
  msg_crypto_v2 c;
  c.gy = bignum(12345);
  for (size_t len : {63u, 257u, 0u}) {
    c.ny.assign(len, 'n');
    EXPECT_FALSE(c.check()) << len;
  }
  for (size_t len : {64u, 128u, 256u}) {
    c.ny.assign(len, 'n');
    EXPECT_TRUE(c.check()) << len;
  }
  c.gy = bignum();
  EXPECT_FALSE(c.check());
  c.gy.from_bytes(std::string(256, '\xff'));
  EXPECT_TRUE(c.check());
  c.gy.from_bytes(std::string(257, '\x01'));
  EXPECT_FALSE(c.check());
}

TEST(ChannelKeys, BothEndsDeriveTheSameKeysAndDigests) {
  channel_pair pair;
  const std::string nx = pair.initiator->nx, ny = pair.responder->nx;
  const std::string gx = pair.initiator->gx.to_bytes(), gy = pair.responder->gx.to_bytes();
  ASSERT_TRUE(pair.initiator->check());
  ASSERT_TRUE(pair.responder->check());
  pair.initiator->derive_keys(true, false);
  pair.responder->derive_keys(false, false);
  ASSERT_TRUE(pair.initiator->active());
  ASSERT_TRUE(pair.responder->active());

  unsigned char md[20];
  unsigned int len = 0;
  std::string input = nx + ny + gx + gy;
  EVP_Digest(input.data(), input.size(), md, &len, EVP_sha1(), nullptr);
  EXPECT_EQ(pair.initiator->local_digest, std::string(reinterpret_cast<char *>(md), 20));
  EXPECT_EQ(pair.initiator->local_digest, pair.responder->peer_digest);
  EXPECT_EQ(pair.initiator->peer_digest, pair.responder->local_digest);
  EXPECT_NE(pair.initiator->local_digest, pair.initiator->peer_digest);
  // The exchange values are spent.
  EXPECT_TRUE(pair.initiator->nx.empty());
  EXPECT_TRUE(pair.initiator->ny.empty());
  EXPECT_TRUE(pair.initiator->gx.is_zero());
  EXPECT_TRUE(pair.initiator->gy.is_zero());

  for (bool udp : {false, true})
    for (size_t len : {0u, 1u, 15u, 16u, 17u, 100u, 1400u}) {
      std::string message;
      random_string(message, len);
      expect_passes(*pair.initiator, *pair.responder, message, udp);
      expect_passes(*pair.responder, *pair.initiator, message, udp);
    }
}

TEST(ChannelKeys, NonceOrderMatters) {
  channel_pair pair;
  pair.initiator->derive_keys(true, false);
  pair.responder->derive_keys(true, false);  // both claim to have spoken first
  std::string frame = plain_frame("hello");
  pair.initiator->protect(frame, false);
  EXPECT_FALSE(pair.responder->unprotect(frame));
}

TEST(ChannelKeys, DerivationMatchesAnIndependentPeer) {
  // The test plays the peer with the library's own arithmetic and HMAC.
  msg_crypto_v2 local;
  local.make_local();
  BN_CTX *ctx = BN_CTX_new();
  BIGNUM *p = BN_get_rfc3526_prime_2048(nullptr);
  BIGNUM *y = BN_new(), *gy = BN_new(), *two = BN_new(), *z = BN_new();
  BN_rand(y, 2000, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
  BN_set_word(two, 2);
  BN_mod_exp(gy, two, y, p, ctx);
  BN_mod_exp(z, local.gx.raw(), y, p, ctx);
  // The shared value sits at the front of a modulus-sized buffer.
  std::string zbuf(256, '\0');
  BN_bn2bin(z, reinterpret_cast<unsigned char *>(&zbuf[0]));
  size_t last = zbuf.find_last_not_of('\0');
  std::string K = zbuf.substr(0, last + 1);

  std::string peer_nonce;
  random_string(peer_nonce, 64);
  local.ny = peer_nonce;
  local.gy = bignum(gy);
  const std::string local_nonce = local.nx;

  std::string keymat;
  for (char counter = 1; counter <= 6; ++counter)
    keymat += oracle_hmac_sha1(K, keymat + local_nonce + peer_nonce + std::string(1, counter));
  ASSERT_EQ(keymat.size(), 120u);

  local.derive_keys(true, false);
  auto peer = keyed(keymat);
  expect_passes(local, *peer, "from the initiator", false);
  expect_passes(*peer, local, "from the responder", true);

  BN_free(p);
  BN_free(y);
  BN_free(gy);
  BN_free(two);
  BN_free(z);
  BN_CTX_free(ctx);
}

TEST_F(ChannelLog, DerivationWithBadPeerValuesIsLoggedAndGoesOn) {
  msg_crypto_v2 c;
  c.make_local();
  c.ny.assign(10, 'n');  // too short
  c.derive_keys(true, false);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("assert check() && gx.bytes() && nx.size() in ../clisrv/src/msg_crypto_v2.cpp:", 0), 0u);
  EXPECT_TRUE(c.active());
  std::string frame = plain_frame("x");
  c.protect(frame, false);
  EXPECT_EQ(frame.size(), 52u);
}

TEST(ChannelKeys, SetKeysNeedsFiftyTwoBytes) {
  msg_crypto_v2 c;
  EXPECT_FALSE(c.set_keys(test_keymat(51), false));
  EXPECT_FALSE(c.active());
  EXPECT_EQ(c.tx_mac, nullptr);
  EXPECT_TRUE(c.set_keys(test_keymat(52), false));
  EXPECT_TRUE(c.active());
  ASSERT_NE(c.tx_mac, nullptr);
  EXPECT_EQ(c.tx_mac->hlen, 12u);
  EXPECT_NE(c.tx_cbc, nullptr);
  EXPECT_NE(c.rx_cbc, nullptr);
  // Bytes past 52 are not used.
  auto longer = keyed(test_keymat(120));
  expect_passes(c, *longer, "same keys", false);
}

// ---- frame layout ----

TEST(ChannelFrames, EmptyMessageBecomes52Bytes) {
  const std::string keymat = test_keymat();
  auto c = keyed(keymat);
  std::string frame = plain_frame("");
  c->protect(frame, false);
  ASSERT_EQ(frame.size(), 52u);
  EXPECT_EQ(word_at(frame, 0), 48u);
  EXPECT_EQ(word_at(frame, 4), 0u);
  const std::string iv = frame.substr(24, 16);
  EXPECT_EQ(oracle_cbc(false, keymat.substr(0, 32), iv, frame.substr(8, 16)),
            std::string(15, '\0') + "\x10");
  EXPECT_EQ(frame.substr(40), oracle_hmac_sha1(keymat.substr(32, 20), frame.substr(0, 40)).substr(0, 12));
}

TEST(ChannelFrames, PaddingFillsTheLastBlockOrAddsAWholeOne) {
  const std::string keymat = test_keymat();
  struct {
    size_t message;
    size_t pad;
  } cases[] = {{7, 9}, {16, 16}, {1, 15}, {15, 1}, {1400, 8}};
  for (auto c : cases) {
    auto ch = keyed(keymat);
    std::string message(c.message, 'm');
    std::string frame = plain_frame(message);
    ch->protect(frame, false);
    const size_t n = c.message + c.pad;
    ASSERT_EQ(frame.size(), 8 + n + 16 + 12) << c.message;
    EXPECT_EQ(word_at(frame, 0), frame.size() - 4);
    std::string plain = oracle_cbc(false, keymat.substr(0, 32), frame.substr(8 + n, 16),
                                   frame.substr(8, n));
    EXPECT_EQ(plain, message + std::string(c.pad - 1, '\0') + std::string(1, char(c.pad)));
  }
  auto ch = keyed(keymat);
  std::string frame = plain_frame(std::string(7, 'm'));
  EXPECT_EQ(frame.size(), 15u);
  ch->protect(frame, false);
  EXPECT_EQ(frame.size(), 52u);
  frame = plain_frame(std::string(16, 'm'));
  ch->protect(frame, false);
  EXPECT_EQ(frame.size(), 68u);
}

TEST(ChannelFrames, UdpFramesCarryTheSendersSpi) {
  auto a = keyed(test_keymat()), b = keyed(test_keymat());
  a->out_spi = 0xdeadbeef;
  std::string frame = plain_frame("datagram");
  a->protect(frame, true);
  EXPECT_EQ(word_at(frame, 0), 0xdeadbeefu);
  ASSERT_TRUE(b->unprotect(frame));
  EXPECT_EQ(frame, plain_frame("datagram").replace(0, 4, be32(0xdeadbeef)));
}

TEST(ChannelFrames, SequenceNumbersCountPerDirection) {
  auto a = keyed(test_keymat()), b = keyed(test_keymat());
  for (uint32_t i = 0; i < 3; ++i) {
    std::string frame = plain_frame("n");
    a->protect(frame, false);
    EXPECT_EQ(word_at(frame, 4), i);
    ASSERT_TRUE(b->unprotect(frame));
    EXPECT_EQ(b->rx_seq, i);
  }
  std::string back = plain_frame("reply");
  b->protect(back, false);
  EXPECT_EQ(word_at(back, 4), 0u);
  ASSERT_TRUE(a->unprotect(back));
  EXPECT_EQ(a->rx_seq, 0u);
  EXPECT_EQ(a->tx_seq, 3u);
  // The counter wraps.
  a->tx_seq = 0xffffffff;
  std::string last = plain_frame("wrap");
  a->protect(last, false);
  EXPECT_EQ(word_at(last, 4), 0xffffffffu);
  EXPECT_EQ(a->tx_seq, 0u);
}

// The packet path protects frames where they lie, in a buffer it owns.
TEST(ChannelBuffers, InPlaceFramesMatchTheStringForm) {
  const std::string keymat = test_keymat();
  auto a = keyed(keymat), b = keyed(keymat);
  a->out_spi = 0x01020304;
  for (size_t message : {0u, 7u, 16u, 1400u}) {
    uint8_t buf[8 + 1400 + MSG_CRYPTO_GROWTH + 3];
    memset(buf, 0xee, sizeof buf);
    memset(buf, 0, 8);
    memset(buf + 8, 'm', message);
    const size_t len = 8 + message;
    const size_t done = a->protect(buf, len, len + MSG_CRYPTO_GROWTH, true);
    const size_t pad = 16 - message % 16;
    ASSERT_EQ(done, len + pad + 16 + 12) << message;
    EXPECT_EQ(buf[done], 0xee) << "written past the frame";
    std::string frame(reinterpret_cast<char *>(buf), done);
    EXPECT_EQ(word_at(frame, 0), 0x01020304u);
    // The string form of the other end takes it, and the in-place form too.
    std::string copy = frame;
    ASSERT_TRUE(b->unprotect(copy));
    EXPECT_EQ(copy.substr(8), std::string(message, 'm'));
    size_t n = done;
    ASSERT_TRUE(b->unprotect(buf, n));
    EXPECT_EQ(n, len);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf) + 8, message), std::string(message, 'm'));
  }
}

// The largest tunnel MTU: a packet of that size, after its protocol byte,
// makes a datagram that a 1500-byte path carries with its IPv4 and UDP
// headers; one byte more does not fit.
TEST(ChannelBuffers, TunnelMtuIsTheLargestPacketThatFitsOnePath) {
  auto a = keyed(test_keymat());
  for (size_t packet : {TUNNEL_MAX_MTU, TUNNEL_MAX_MTU + 1}) {
    std::string frame = plain_frame(std::string(TUNNEL_PROTOCOL_BYTES + packet, 'p'));
    a->protect(frame, true);
    EXPECT_EQ(20 + 8 + frame.size() <= 1500, packet == TUNNEL_MAX_MTU) << packet;
  }
  EXPECT_EQ(TUNNEL_MAX_MTU, 1422u);
}

TEST(ChannelBuffers, TooLittleRoomChangesNothing) {
  auto a = keyed(test_keymat());
  uint8_t buf[64] = {0};
  memcpy(buf + 8, "message", 7);
  const std::string before(reinterpret_cast<char *>(buf), sizeof buf);
  EXPECT_EQ(a->protect(buf, 15, 51, true), 0u);  // 52 are needed
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), sizeof buf), before);
  EXPECT_EQ(a->tx_seq, 0u) << "no sequence number is used up";
  EXPECT_EQ(a->protect(buf, 15, 52, true), 52u);
  size_t n = 51;
  EXPECT_FALSE(a->unprotect(buf, n));
  EXPECT_EQ(n, 51u);
}

TEST(ChannelFrames, WithoutEncryptionOnlyTheMacIsAdded) {
  const std::string keymat = test_keymat();
  auto a = keyed(keymat, true), b = keyed(keymat, true);
  EXPECT_EQ(a->tx_cbc, nullptr);
  std::string frame = plain_frame("clear text");
  a->protect(frame, false);
  ASSERT_EQ(frame.size(), 8 + 10 + 12u);
  EXPECT_EQ(word_at(frame, 0), frame.size() - 4);
  EXPECT_EQ(frame.substr(8, 10), "clear text");
  EXPECT_EQ(frame.substr(18), oracle_hmac_sha1(keymat.substr(32, 20), frame.substr(0, 18)).substr(0, 12));
  std::string tampered = frame;
  tampered[9] ^= 1;
  EXPECT_FALSE(b->unprotect(tampered));
  ASSERT_TRUE(b->unprotect(frame));
  EXPECT_EQ(frame, plain_frame("clear text").replace(0, 4, be32(26)));
  std::string tiny(19, '\0');
  EXPECT_FALSE(b->unprotect(tiny));
}

// ---- what unprotect refuses ----

TEST(ChannelRefusals, ShortAndMisalignedFrames) {
  auto c = keyed(test_keymat());
  std::string frame(51, '\0');
  EXPECT_FALSE(c->unprotect(frame));
  frame.assign(0, '\0');
  EXPECT_FALSE(c->unprotect(frame));
  auto sender = keyed(test_keymat());
  std::string good = plain_frame("abc");
  sender->protect(good, false);
  std::string longer = good + "x";
  EXPECT_FALSE(c->unprotect(longer));
  std::string shorter = good.substr(0, good.size() - 1);
  EXPECT_FALSE(c->unprotect(shorter));
  EXPECT_TRUE(c->unprotect(good));
}

TEST(ChannelRefusals, EveryFlippedBitOfASmallFrame) {
  auto sender = keyed(test_keymat()), receiver = keyed(test_keymat());
  std::string frame = plain_frame("");
  sender->protect(frame, false);
  ASSERT_EQ(frame.size(), 52u);
  for (size_t bit = 0; bit < frame.size() * 8; ++bit) {
    std::string copy = frame;
    copy[bit / 8] ^= static_cast<char>(1 << (bit % 8));
    EXPECT_FALSE(receiver->unprotect(copy)) << "bit " << bit;
  }
  EXPECT_TRUE(receiver->unprotect(frame));
  EXPECT_EQ(frame, plain_frame("").replace(0, 4, be32(48)));
}

TEST(ChannelRefusals, BadPaddingBehindAValidMac) {
  const std::string keymat = test_keymat();
  auto receiver = keyed(keymat);
  std::string iv;
  random_string(iv, 16);
  std::string message = "0123456789";  // 10 bytes, the pad should be 6
  std::string good = forged_frame(keymat, 0, 0, message + std::string(5, '\0') + "\x06", iv);
  std::string zero = forged_frame(keymat, 0, 1, message + std::string(6, '\0'), iv);
  std::string seventeen = forged_frame(keymat, 0, 2, message + std::string(5, '\0') + "\x11", iv);
  std::string dirty = forged_frame(keymat, 0, 3, message + std::string(4, '\0') + "\x01\x06", iv);
  std::string dirty_first = forged_frame(keymat, 0, 4, message + "\x01" + std::string(4, '\0') + "\x06", iv);
  EXPECT_FALSE(receiver->unprotect(zero));
  EXPECT_FALSE(receiver->unprotect(seventeen));
  EXPECT_FALSE(receiver->unprotect(dirty));
  EXPECT_FALSE(receiver->unprotect(dirty_first));
  ASSERT_TRUE(receiver->unprotect(good));
  EXPECT_EQ(good.substr(8), message);
  // A whole block of padding, and a 16 as the last byte of a full block.
  std::string full = forged_frame(keymat, 0, 5, std::string(15, '\0') + "\x10", iv);
  ASSERT_TRUE(receiver->unprotect(full));
  EXPECT_EQ(full.size(), 8u);
  EXPECT_EQ(receiver->rx_seq, 5u);
}

// ---- before keys ----

TEST(ChannelInactive, FramesPassThrough) {
  msg_crypto_v2 c;
  std::string frame = "whatever bytes";
  EXPECT_TRUE(c.unprotect(frame));
  EXPECT_EQ(frame, "whatever bytes");
  std::string tiny = "ab";
  EXPECT_TRUE(c.unprotect(tiny));
  EXPECT_EQ(tiny, "ab");
}

TEST(ChannelInactive, ProtectWritesOnlyTheLength) {
  msg_crypto_v2 c;
  std::string frame = plain_frame("helo");
  frame[5] = 7;
  c.protect(frame, false);
  EXPECT_EQ(frame.size(), 12u);
  EXPECT_EQ(word_at(frame, 0), 8u);
  EXPECT_EQ(frame.substr(4), std::string("\0\x07\0\0helo", 8));
  EXPECT_EQ(c.tx_seq, 0u);
}

TEST_F(ChannelLog, MisuseOfProtectIsLoggedAndStaysInsideTheFrame) {
  msg_crypto_v2 c;
  std::string frame = plain_frame("x");
  c.protect(frame, true);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("assert ! udp in ../clisrv/src/msg_crypto_v2.cpp:", 0), 0u);

  std::string tiny = "abc";
  c.protect(tiny, false);
  EXPECT_EQ(tiny, "abc");
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[1].rfind("assert rlen >= 8 in ../clisrv/src/msg_crypto_v2.cpp:", 0), 0u);

  auto keyed_c = keyed(test_keymat());
  std::string short_frame = "1234567";
  keyed_c->protect(short_frame, false);
  EXPECT_EQ(short_frame, "1234567");
  EXPECT_EQ(keyed_c->tx_seq, 0u);
  EXPECT_EQ(lines().size(), 3u);
}

}  // namespace
