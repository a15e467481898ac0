#include "common/codec.h"

bool varint_lengths = true;

void put_len(std::string &buf, uint32_t value) {
  if (!varint_lengths) {
    put_u16(buf, static_cast<uint16_t>(value));
    return;
  }
  do {
    uint8_t byte = value & 0x7f;
    value >>= 7;
    if (value) byte |= 0x80;
    buf += static_cast<char>(byte);
  } while (value);
}

void put_u8(std::string &buf, uint8_t value) { buf += static_cast<char>(value); }

void put_u16(std::string &buf, uint16_t value) {
  buf += static_cast<char>(value >> 8);
  buf += static_cast<char>(value);
}

void put_u32(std::string &buf, uint32_t value) {
  put_u16(buf, static_cast<uint16_t>(value >> 16));
  put_u16(buf, static_cast<uint16_t>(value));
}

void put_u64(std::string &buf, uint64_t value) {
  put_u32(buf, static_cast<uint32_t>(value >> 32));
  put_u32(buf, static_cast<uint32_t>(value));
}

void put_str(std::string &buf, const std::string &bytes) {
  put_len(buf, static_cast<uint32_t>(bytes.size()));
  buf += bytes;
}

void put_u32_list(std::string &buf, const std::vector<uint32_t> &values) {
  put_len(buf, static_cast<uint32_t>(values.size()));
  for (uint32_t v : values) put_u32(buf, v);
}

const uint8_t *msg_reader::take(size_t count) {
  if (count > data.size - pos) throw parser::err();
  const uint8_t *p = data.bytes + pos;
  pos += count;
  return p;
}

uint32_t msg_reader::get_len() {
  if (!varint_lengths) return get_u16();
  uint32_t value = 0;
  unsigned shift = 0;
  for (;;) {
    uint8_t byte = *take(1);
    // Bytes past the fourth only matter for the refusal below; keep the
    // shift from overflowing the 32-bit value meanwhile.
    if (shift < 32) value |= uint32_t(byte & 0x7f) << shift;
    shift += 7;
    if (!(byte & 0x80)) break;
  }
  if (shift > 28) throw parser::err();
  return value;
}

uint8_t msg_reader::get_u8() { return *take(1); }

uint16_t msg_reader::get_u16() {
  const uint8_t *p = take(2);
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t msg_reader::get_u32() {
  const uint8_t *p = take(4);
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t msg_reader::get_u64() {
  const uint64_t high = get_u32();
  return high << 32 | get_u32();
}

std::string msg_reader::get_bytes(size_t count) {
  const uint8_t *p = take(count);
  return std::string(reinterpret_cast<const char *>(p), count);
}

std::string msg_reader::get_str() { return get_bytes(get_len()); }

std::vector<uint32_t> msg_reader::get_u32_list() {
  uint32_t count = get_len();
  // Refuse before allocating: a forged count must not reserve gigabytes.
  if (count > remaining() / 4) throw parser::err();
  std::vector<uint32_t> values(count);
  for (auto &v : values) v = get_u32();
  return values;
}
