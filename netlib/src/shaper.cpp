// A leaky bucket of one second's capacity, drained continuously at `rate`.
#include "events/evl.h"
#include "netlib/nethdr.h"

bool admit(shaper &s, uint32_t bytes, uint32_t now) {
  if (s.rate == 0) return true;
  if (now != s.last) {
    if (s.level != 0) {
      // elapsed * rate / 1000 without forming the product, which a 49-day
      // gap and a 34 Gbit/s rate would take past 64 bits.
      const uint64_t elapsed = static_cast<uint32_t>(now - s.last);
      const uint64_t drained = elapsed / 1000 * s.rate + elapsed % 1000 * s.rate / 1000;
      s.level = drained > s.level ? 0 : s.level - drained;
    }
    s.last = now;
  }
  if (bytes == 0) return true;
  const uint64_t bits = static_cast<uint64_t>(bytes) * 8;
  if (s.level != 0 && s.level + bits > s.rate) return false;
  s.level += bits;
  return true;
}

bool admit(shaper &s, uint32_t bytes) { return admit(s, bytes, evl_now); }
