// Control requests reach the daemon from any local process that can open
// the socket. The input is one request message. What the daemon accepts
// must be a known code followed by exactly its fields: the record written
// back out reads the same, a request cut short or carrying one byte more
// is refused, and a request without fields is its code alone.
#include <cstdint>
#include <string>

#include "client/control_msg.h"
#include "fuzz_check.h"

namespace {

bool same(const ipc_request &a, const ipc_request &b) {
  return a.code == b.code && a.retry == b.retry && a.name == b.name &&
         a.password == b.password && a.op == b.op && a.modification == b.modification &&
         a.nickname == b.nickname;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string message(reinterpret_cast<const char *>(data), size);
  ipc_request r;
  if (!decode_request(message, r)) return 0;

  FUZZ_CHECK(size > 0 && r.code == data[0] && is_request_code(r.code));
  const std::string again = encode_request(r);
  // Lengths written the shortest way can only make the message shorter.
  FUZZ_CHECK(again.size() <= size);
  ipc_request back;
  FUZZ_CHECK(decode_request(again, back) && same(back, r));
  FUZZ_CHECK(encode_request(back) == again);

  ipc_request ignored;
  FUZZ_CHECK(!decode_request(message + '\0', ignored));
  if (size > 1) FUZZ_CHECK(!decode_request(message.substr(0, size - 1), ignored));
  return 0;
}
