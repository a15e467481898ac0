// Frames from the server connection and datagrams from peer tunnels reach
// msg_crypto_v2::unprotect before anything else looks at them. Keys come
// from a fixed key material; byte 0 of the input picks the UDP form (bit 0)
// and the channel without encryption (bit 1), byte 1 a bit to flip, and the
// rest is a message. Each verdict of unprotect is compared with the
// crypto library's own AES-256-CBC and HMAC-SHA1 over the same bytes, and
// a frame that passes on a stream must not pass there a second time.
#include <cstdint>
#include <string>

#include "clisrv/msg_crypto.h"
#include "fuzz_check.h"
#include "oracle.h"

namespace {

const std::string keymat = "fixed key material for the channel fuzz target, 64 bytes long...";
const std::string enc_key = keymat.substr(0, 32);
const std::string mac_key = keymat.substr(32, 20);

uint32_t be32(const std::string &s, size_t at) {
  const auto *u = reinterpret_cast<const uint8_t *>(s.data() + at);
  return uint32_t(u[0]) << 24 | uint32_t(u[1]) << 16 | uint32_t(u[2]) << 8 | u[3];
}

// What the peer would have to have sent: a good MAC and, with encryption,
// a good padding. Returns whether `frame` is acceptable and its plain form.
bool peer_sent(const std::string &frame, bool encrypted, std::string &plain) {
  const size_t n = frame.size(), h = 12, b = encrypted ? 16 : 0;
  if (n < h + 2 * b + 8 || (b && (n - h - 8) % b)) return false;
  if (oracle_hmac_sha1(mac_key, frame.substr(0, n - h)).substr(0, h) != frame.substr(n - h))
    return false;
  plain = frame.substr(0, n - h - b);
  if (!encrypted) return true;
  const std::string text =
      oracle_cbc(false, enc_key, frame.substr(n - h - b, b), frame.substr(8, n - h - b - 8));
  const size_t pad = uint8_t(text.back());
  if (pad == 0 || pad > b || text.find_first_not_of('\0', text.size() - pad) != text.size() - 1)
    return false;
  plain = frame.substr(0, 8) + text.substr(0, text.size() - pad);
  return true;
}

void check_unprotect(const std::string &frame, bool encrypted) {
  msg_crypto_v2 rx;
  FUZZ_CHECK(rx.set_keys(keymat, !encrypted));
  std::string got = frame, want;
  const bool accepted = rx.unprotect(got);
  FUZZ_CHECK(accepted == peer_sent(frame, encrypted, want));
  if (accepted) FUZZ_CHECK(got == want && rx.rx_seq == be32(frame, 4));
  // On a stream the same frame passes once at most.
  msg_crypto_v2 stream;
  FUZZ_CHECK(stream.set_keys(keymat, !encrypted));
  std::string once = frame, again = frame;
  FUZZ_CHECK(stream.unprotect_in_order(once) == accepted);
  FUZZ_CHECK(!stream.unprotect_in_order(again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const bool udp = data[0] & 1, encrypted = !(data[0] & 2);
  const std::string input(reinterpret_cast<const char *>(data), size);
  const std::string message = input.substr(2);

  // Before keys are set frames pass unchanged.
  msg_crypto_v2 idle;
  std::string same = input;
  FUZZ_CHECK(idle.unprotect(same) && same == input);

  // The input as a received frame, and the message behind a MAC that is
  // right, so that decryption and the padding checks are reached too.
  check_unprotect(input, encrypted);
  std::string forged = input.substr(0, 8);
  if (encrypted) {
    const std::string blocks = message.substr(0, message.size() / 16 * 16);
    const std::string iv = keymat.substr(size % 32, 16);
    forged += oracle_cbc(true, enc_key, iv, blocks) + iv;
  } else {
    forged += message;
  }
  forged += oracle_hmac_sha1(mac_key, forged).substr(0, 12);
  check_unprotect(forged, encrypted);

  // The message protected by the peer: accepted whole, refused with any
  // bit flipped.
  msg_crypto_v2 tx;
  FUZZ_CHECK(tx.set_keys(keymat, !encrypted));
  tx.out_spi = 0x5eed0001;
  tx.tx_seq = be32(input + std::string(4, '\0'), 0) ^ 0xffff0000u;  // near the wrap
  const uint32_t seq = tx.tx_seq;
  std::string frame(8, '\0');
  frame += message;
  tx.protect(frame, udp);
  FUZZ_CHECK(be32(frame, 0) == (udp ? tx.out_spi : frame.size() - 4));
  FUZZ_CHECK(be32(frame, 4) == seq && tx.tx_seq == seq + 1);
  FUZZ_CHECK(frame.size() ==
             (encrypted ? 8 + (message.size() / 16 + 1) * 16 + 16 + 12 : 8 + message.size() + 12));
  std::string plain;
  FUZZ_CHECK(peer_sent(frame, encrypted, plain) && plain == frame.substr(0, 8) + message);
  check_unprotect(frame, encrypted);

  std::string flipped = frame;
  flipped[data[1] * 131u % flipped.size()] ^= char(1 << (data[1] & 7));
  msg_crypto_v2 rx;
  rx.set_keys(keymat, !encrypted);
  FUZZ_CHECK(!rx.unprotect(flipped));
  return 0;
}
