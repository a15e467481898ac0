// tapwarden runs privileged and takes configuration requests from any
// client allowed on its socket: every 8 bytes of the input are one request
// (address and netmask in host order, as they arrive). Only an address in
// 5.0.0.0/8 with the netmask 255.0.0.0 may be accepted.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "iface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (size_t at = 0; at + 8 <= size; at += 8) {
    uint32_t address, netmask;
    memcpy(&address, data + at, 4);
    memcpy(&netmask, data + at + 4, 4);
    const bool wanted = (address & 0xff000000u) == 0x05000000u && netmask == 0xff000000u;
    FUZZ_CHECK(request_allowed(address, netmask) == wanted);
  }
  return 0;
}
