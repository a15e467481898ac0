#include <openssl/rand.h>

#include "common/util.h"

void random_bytes(void *buf, size_t len) {
  RAND_bytes(static_cast<unsigned char *>(buf), static_cast<int>(len));
}

void random_string(std::string &s, size_t len) {
  s.resize(len);
  if (len) random_bytes(&s[0], len);
}
