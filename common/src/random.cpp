#include <openssl/rand.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/util.h"

void random_bytes(void *buf, size_t len) {
  // Every key, nonce, IV and SPI comes from here. A generator that fails
  // leaves the buffer as it was (often zero): going on would hand out
  // values anyone can guess, so the process stops instead.
  if (len > INT32_MAX || RAND_bytes(static_cast<unsigned char *>(buf), static_cast<int>(len)) != 1) {
    static const char text[] = "fatal: the random number generator failed; stopping\n";
    log_write("%s", text);
    fputs(text, stderr);
    abort();
  }
}

void random_string(std::string &s, size_t len) {
  s.resize(len);
  if (len) random_bytes(&s[0], len);
}

namespace {

const size_t POOL_BYTES = 4096;

struct public_pool {
  uint8_t bytes[POOL_BYTES];
  size_t used = POOL_BYTES;  // all used up: the first call fills it
};

thread_local public_pool pool;

// A child must never hand out the bytes its parent hands out too. Only the
// forking thread lives on in the child, and this runs on it.
void forget_pool() { pool.used = POOL_BYTES; }

const bool fork_handler_set = pthread_atfork(nullptr, nullptr, forget_pool) == 0;

}  // namespace

void random_public_bytes(void *buf, size_t len) {
  if (len > 64 || !fork_handler_set) {
    random_bytes(buf, len);
    return;
  }
  if (POOL_BYTES - pool.used < len) {
    random_bytes(pool.bytes, POOL_BYTES);
    pool.used = 0;
  }
  memcpy(buf, pool.bytes + pool.used, len);
  // Bytes handed out are not kept.
  memset(pool.bytes + pool.used, 0, len);
  pool.used += len;
}
