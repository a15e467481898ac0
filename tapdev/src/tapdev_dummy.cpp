#include <openssl/rand.h>

#include "tapdev/tapdev.h"

tapdev_dummy::tapdev_dummy(tapdev_cb *o) : owner(o) {
  // 00:ff like the addresses of peers on the virtual LAN, the rest random.
  mac[0] = 0x00;
  mac[1] = 0xff;
  RAND_bytes(mac + 2, 4);
}

bool tapdev_dummy::open() { return true; }
void tapdev_dummy::close() {}
bool tapdev_dummy::bring_up() { return true; }
void tapdev_dummy::bring_down() {}
void tapdev_dummy::configure(uint32_t, uint32_t) { owner->on_configured(true); }
int tapdev_dummy::write(const void *, int length) { return length; }

tapdev *tapdev_dummy_create(tapdev_cb *owner) { return new tapdev_dummy(owner); }
