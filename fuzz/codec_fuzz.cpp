// The field codec reads every byte-oriented input: server messages, control
// frames, key files. The input carries its own program: byte 0 gives the
// number of operation bytes that follow, the rest is the message. Each read
// is compared with a plain second reading of the same bytes, in both length
// forms: msg_reader must fail exactly where that reading runs out.
#include <cstdint>
#include <string>
#include <vector>

#include "common/codec.h"
#include "fuzz_check.h"

namespace {

// The second reading, written straight from the format.
struct plain_reader {
  const std::string &m;
  size_t pos = 0;

  bool fixed(size_t width, uint32_t &v) {
    if (m.size() - pos < width) return false;
    v = 0;
    for (size_t i = 0; i < width; i++) v = v << 8 | uint8_t(m[pos++]);
    return true;
  }
  bool len(uint32_t &v) {
    if (!varint_lengths) return fixed(2, v);
    v = 0;
    for (unsigned i = 0;; i++) {
      if (pos == m.size()) return false;
      uint8_t byte = uint8_t(m[pos++]);
      if (i < 4) v |= uint32_t(byte & 0x7f) << (7 * i);
      if (!(byte & 0x80)) return i < 4;
    }
  }
  bool bytes(size_t count, std::string &out) {
    if (m.size() - pos < count) return false;
    out = m.substr(pos, count);
    pos += count;
    return true;
  }
};

// One operation on both readers; false once the input is abandoned.
bool step(uint8_t op, msg_reader &reader, plain_reader &plain) {
  uint32_t want = 0, got = 0, count = 0;
  std::string want_bytes, got_bytes;
  bool ok = false, threw = false;
  try {
    switch (op & 7) {
      case 0: ok = plain.len(want); got = reader.get_len(); break;
      case 1: ok = plain.fixed(1, want); got = reader.get_u8(); break;
      case 2: ok = plain.fixed(2, want); got = reader.get_u16(); break;
      case 3: ok = plain.fixed(4, want); got = reader.get_u32(); break;
      case 4:
        ok = plain.len(count) && plain.bytes(count, want_bytes);
        got_bytes = reader.get_str();
        break;
      case 5: {
        ok = plain.len(count) && plain.bytes(size_t(count) * 4, want_bytes);
        std::string rewritten;
        for (uint32_t v : reader.get_u32_list()) put_u32(rewritten, v);
        got_bytes = rewritten;
        break;
      }
      case 6:
        ok = plain.bytes(op >> 3, want_bytes);
        got_bytes = reader.get_bytes(op >> 3);
        break;
      default: ok = true; want = plain.pos == plain.m.size(); got = reader.at_end(); break;
    }
  } catch (const parser::err &) {
    threw = true;
  }
  FUZZ_CHECK(threw == !ok);
  if (threw) return false;
  FUZZ_CHECK(got == want && got_bytes == want_bytes);
  FUZZ_CHECK(reader.position() == plain.pos);
  FUZZ_CHECK(reader.position() + reader.remaining() == plain.m.size());
  if ((op & 7) == 0) {  // what the writer makes of the value reads back
    std::string again;
    put_len(again, got);
    msg_reader back(again);
    FUZZ_CHECK(back.get_len() == got && back.at_end());
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t ops = data[0] % 33;
  if (ops > size - 1) ops = size - 1;
  const std::string message(reinterpret_cast<const char *>(data) + 1 + ops, size - 1 - ops);
  for (bool form : {true, false}) {
    varint_lengths = form;
    msg_reader reader(message);
    plain_reader plain{message};
    for (size_t i = 0; i < ops && step(data[1 + i], reader, plain); i++) {
    }
  }
  varint_lengths = true;
  return 0;
}
