// The byte-level field codec shared by server messages, control messages and
// key files. Writers append big-endian fields to a byte string; msg_reader
// takes them out again and throws parser::err on any malformed input.
//
// Lengths use 7-bit groups (least significant first, 0x80 on every byte but
// the last, at most four bytes) while `varint_lengths` is set, which is the
// normal state; with it cleared they are exactly two big-endian bytes, the
// form of the server key file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace parser {
// Malformed input. Carries no data: the catcher knows the context.
struct err : std::exception {
  const char *what() const noexcept override { return "malformed input"; }
};
}  // namespace parser

extern bool varint_lengths;

void put_len(std::string &buf, uint32_t value);
void put_u8(std::string &buf, uint8_t value);
void put_u16(std::string &buf, uint16_t value);
void put_u32(std::string &buf, uint32_t value);
void put_u64(std::string &buf, uint64_t value);
void put_str(std::string &buf, const std::string &bytes);
void put_u32_list(std::string &buf, const std::vector<uint32_t> &values);

// Reads fields from bytes it does not own; the bytes must outlive it.
class msg_reader {
 public:
  explicit msg_reader(const std::string &bytes) : data(bytes), pos(0) {}
  // A temporary would be gone before the first read.
  explicit msg_reader(std::string &&) = delete;
  msg_reader(const void *bytes, size_t size)
      : data(static_cast<const uint8_t *>(bytes), size), pos(0) {}

  uint32_t get_len();
  uint8_t get_u8();
  uint16_t get_u16();
  uint32_t get_u32();
  uint64_t get_u64();
  std::string get_str();
  std::vector<uint32_t> get_u32_list();
  // Takes `count` raw bytes.
  std::string get_bytes(size_t count);

  bool at_end() const { return pos == data.size; }
  size_t position() const { return pos; }
  size_t remaining() const { return data.size - pos; }

 private:
  struct view {
    view(const std::string &s)
        : bytes(reinterpret_cast<const uint8_t *>(s.data())), size(s.size()) {}
    view(const uint8_t *b, size_t n) : bytes(b), size(n) {}
    const uint8_t *bytes;
    size_t size;
  };
  const uint8_t *take(size_t count);

  view data;
  size_t pos;
};
