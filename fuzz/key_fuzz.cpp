// Key files and keys inside server messages: read_public_key and
// read_private_key over the input, in both length forms. A key that parses
// must survive writing and reading again; a key that does not parse must
// leave the destination as it was.
#include <cstdint>
#include <string>
#include <type_traits>

#include "crypto/bignum.h"
#include "fuzz_check.h"

namespace {

bool same(const rsa_public_key &a, const rsa_public_key &b) { return a.n == b.n && a.e == b.e; }

bool same(const rsa_private_key &a, const rsa_private_key &b) {
  return a.n == b.n && a.d == b.d && a.p == b.p && a.q == b.q && a.dmp1 == b.dmp1 &&
         a.dmq1 == b.dmq1 && a.iqmp == b.iqmp;
}

// Something recognisable to find again after a refused read.
void mark(rsa_public_key &k) { k.n = bignum(7), k.e = bignum(3); }
void mark(rsa_private_key &k) {
  k.n = bignum(7), k.d = bignum(3), k.p = bignum(5), k.iqmp = bignum(11);
}

void read_key(msg_reader &r, rsa_public_key &k) { read_public_key(r, k); }
void read_key(msg_reader &r, rsa_private_key &k) { read_private_key(r, k); }
void write_key(std::string &b, const rsa_public_key &k) { write_public_key(b, k); }
void write_key(std::string &b, const rsa_private_key &k) { write_private_key(b, k); }

template <typename Key>
void check_key(const uint8_t *data, size_t size) {
  Key key, before;
  mark(key);
  mark(before);
  msg_reader reader(data, size);
  try {
    read_key(reader, key);
  } catch (const parser::err &) {
    FUZZ_CHECK(same(key, before));
    return;
  }
  FUZZ_CHECK(reader.position() <= size);
  std::string written;
  write_key(written, key);
  // Minimal numbers and shortest lengths: never longer than what was read,
  // apart from the five empty numbers a short private key gains.
  const size_t gained = std::is_same<Key, rsa_private_key>::value ? 10 : 0;
  FUZZ_CHECK(written.size() <= reader.position() + gained);
  msg_reader again(written);
  Key back;
  read_key(again, back);
  FUZZ_CHECK(again.at_end());
  FUZZ_CHECK(same(back, key));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (bool form : {true, false}) {
    varint_lengths = form;
    check_key<rsa_public_key>(data, size);
    check_key<rsa_private_key>(data, size);
  }
  varint_lengths = true;
  return 0;
}
