// Network passwords are kept only as PBKDF2-HMAC-SHA256 with a random salt
// per network; the iteration count is stored with each hash so that it can
// be raised later without breaking existing networks.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "common/util.h"
#include "hub.h"

namespace {
constexpr int HASH_BYTES = 32;
constexpr size_t SALT_BYTES = 16;
}

std::string password_hash(const std::string &password, const std::string &salt,
                          uint32_t iterations) {
  std::string out(HASH_BYTES, '\0');
  if (!PKCS5_PBKDF2_HMAC(password.data(), int(password.size()),
                         reinterpret_cast<const unsigned char *>(salt.data()), int(salt.size()),
                         int(iterations), EVP_sha256(), HASH_BYTES,
                         reinterpret_cast<unsigned char *>(&out[0])))
    return std::string();  // matches nothing
  return out;
}

bool password_matches(const std::string &password, const network_rec &n) {
  const std::string h = password_hash(password, n.salt, n.iterations);
  return !h.empty() && h.size() == n.hash.size() &&
         CRYPTO_memcmp(h.data(), n.hash.data(), h.size()) == 0;
}

void set_network_password(network_rec &n, const std::string &password, uint32_t iterations) {
  random_string(n.salt, SALT_BYTES);
  n.iterations = iterations;
  n.hash = password_hash(password, n.salt, n.iterations);
}

network_rec decoy_network(uint32_t iterations) {
  network_rec n;
  n.salt.assign(SALT_BYTES, '\0');
  n.iterations = iterations;
  return n;  // no hash: nothing matches it
}
