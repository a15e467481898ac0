// Datagrams on the session's UDP socket: whatever anybody sends there. The
// input is a series of datagrams, each one mode byte, one length byte and
// that many bytes:
//   mode bit 0 clear: the bytes as they came, before any check; with bit 1
//     set the first word is made the tunnel's SPI, so that they reach the
//     MAC check;
//   mode bit 0 set: the first four bytes are a sequence number and the rest
//     a tunnel message that the peer protects with the tunnel's keys, so
//     that everything behind the MAC check is reached too (protocol
//     numbers, packet sizes, the replay window).
// Each datagram lies in a buffer of exactly its size plus the headroom the
// session may write into, so that any stray access shows.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/session.h"
#include "fuzz_check.h"

namespace {

const uint32_t PEER = 0x05000002;
const uint32_t SPI_IN = 0x0000aa01, SPI_OUT = 0x0000aa02;

struct checking_tap : tapdev {
  bool open() override { return true; }
  void close() override {}
  bool bring_up() override { return true; }
  void bring_down() override {}
  void configure(uint32_t, uint32_t) override {}
  int write(const void *frame, int length) override {
    // Only IPv4 packets of sane size, behind an Ethernet header from the
    // peer's hardware address space.
    const auto *f = static_cast<const uint8_t *>(frame);
    FUZZ_CHECK(length >= 14 + 20 && length <= 14 + 1500);
    FUZZ_CHECK(f[6] == 0x00 && f[7] == 0xff && f[12] == 0x08 && f[13] == 0x00);
    last.assign(static_cast<const char *>(frame), static_cast<size_t>(length));
    writes++;
    return length;
  }
  std::string last;
  int writes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string keymat(64, 'k');
  session s(nullptr);
  auto *tap = new checking_tap;
  s.tap = tap;
  s.find_peer(PEER, true);
  tunnel *t = new tunnel;
  t->peer_addr = PEER;
  t->mc = new msg_crypto_v2();
  FUZZ_CHECK(t->mc->set_keys(keymat, false));
  t->mc->in_spi = SPI_IN;
  t->mc->out_spi = SPI_OUT;
  s.add_tunnel(t);
  msg_crypto_v2 sender;
  sender.set_keys(keymat, false);
  sender.out_spi = SPI_IN;

  replay_window expected;
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t mode = data[at];
    size_t len = data[at + 1];
    at += 2;
    if (len > size - at) len = size - at;
    std::string datagram(reinterpret_cast<const char *>(data) + at, len);
    at += len;

    bool sealed = mode & 1;
    uint32_t seq = 0;
    std::string message;
    if (sealed) {
      if (datagram.size() < 4) continue;
      memcpy(&seq, datagram.data(), 4);
      message = datagram.substr(4);
      // Long packets too: the length byte alone stops at 255.
      if (mode & 2) message.resize(message.size() * 7, 'x');
      sender.tx_seq = seq;
      datagram = std::string(8, '\0') + message;
      sender.protect(datagram, true);
    } else if ((mode & 2) && datagram.size() >= 4) {
      const uint8_t spi[4] = {0x00, 0x00, 0xaa, 0x01};
      memcpy(&datagram[0], spi, 4);
    }

    std::vector<uint8_t> buf(DATAGRAM_HEADROOM + datagram.size());
    memcpy(buf.data() + DATAGRAM_HEADROOM, datagram.data(), datagram.size());
    const uint64_t rx_before = t->rx_count;
    const int writes_before = tap->writes;
    // What the receiver must make of the number, kept apart from it.
    const bool fresh = !sealed || replay_accept(expected, seq);
    s.on_datagram(buf.data() + DATAGRAM_HEADROOM, datagram.size());

    if (sealed && datagram.size() >= 29) {
      // Authentic: taken exactly when its number is new.
      FUZZ_CHECK(t->rx_count == rx_before + (fresh ? 1 : 0));
      const size_t packet = message.size() ? message.size() - 1 : 0;
      const bool delivered = fresh && !message.empty() && uint8_t(message[0]) == 0x80 &&
                             packet >= 20 && packet <= 1500;
      FUZZ_CHECK(tap->writes == writes_before + (delivered ? 1 : 0));
      if (delivered) FUZZ_CHECK(tap->last.compare(14, std::string::npos, message, 1) == 0);
    } else if (!sealed) {
      FUZZ_CHECK(t->rx_count <= rx_before + 1);
    }
  }
  return 0;
}
