// The replay window: a ring of 64-bit blocks indexed by sequence number, as
// IPsec and WireGuard receivers keep one. Moving the top forward clears
// the blocks it passes, so a number's bit is only ever looked at while it
// lies inside the window.
#include <cstring>

#include "netlib/nethdr.h"

namespace {

const uint32_t BLOCK_MASK = REPLAY_BLOCKS - 1;
// Block numbers live modulo 2^32 / 64.
const uint32_t BLOCK_NUMBER_MASK = 0x03ffffff;

uint32_t block_of(uint32_t seq) { return seq >> 6; }

}  // namespace

bool replay_accept(replay_window &w, uint32_t seq) {
  if (!w.started) {
    replay_reset(w);
    w.started = true;
    w.top = seq;
  } else if (static_cast<int32_t>(seq - w.top) > 0) {
    uint32_t gap = (block_of(seq) - block_of(w.top)) & BLOCK_NUMBER_MASK;
    if (gap > REPLAY_BLOCKS) gap = REPLAY_BLOCKS;
    for (uint32_t i = 1; i <= gap; i++) w.ring[(block_of(w.top) + i) & BLOCK_MASK] = 0;
    w.top = seq;
  } else if (w.top - seq > REPLAY_WINDOW) {
    return false;  // behind the window, or half the number space away
  }
  uint64_t &block = w.ring[block_of(seq) & BLOCK_MASK];
  const uint64_t bit = uint64_t(1) << (seq & 63);
  if (block & bit) return false;
  block |= bit;
  return true;
}

void replay_reset(replay_window &w) {
  w.started = false;
  w.top = 0;
  memset(w.ring, 0, sizeof w.ring);
}
