#include "oracle.h"

#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <stdexcept>

std::string unhex(const std::string &hex) {
  std::string out;
  int nibble = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;  // spaces and separators
    if (nibble < 0) {
      nibble = v;
    } else {
      out += static_cast<char>(nibble << 4 | v);
      nibble = -1;
    }
  }
  if (nibble >= 0) throw std::invalid_argument("odd hex");
  return out;
}

std::string tohex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string repeat(char c, size_t count) { return std::string(count, c); }

namespace {

EVP_PKEY *from_params(OSSL_PARAM_BLD *bld, int selection) {
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *pkey = nullptr;
  if (ctx && params && EVP_PKEY_fromdata_init(ctx) == 1)
    EVP_PKEY_fromdata(ctx, &pkey, selection, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  return pkey;
}

}  // namespace

EVP_PKEY *oracle_public_pkey(const rsa_public_key &key) {
  OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, key.n.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, key.e.raw());
  return from_params(bld, EVP_PKEY_PUBLIC_KEY);
}

EVP_PKEY *oracle_private_pkey(const rsa_public_key &pub, const rsa_private_key &key) {
  OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, key.n.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, pub.e.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, key.d.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, key.p.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, key.q.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, key.dmp1.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, key.dmq1.raw());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, key.iqmp.raw());
  return from_params(bld, EVP_PKEY_KEYPAIR);
}

bool oracle_sign(EVP_PKEY *key, const std::string &data, std::string &sig) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  size_t len = 0;
  bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_sign(ctx, nullptr, &len,
                          reinterpret_cast<const unsigned char *>(data.data()),
                          data.size()) == 1;
  if (ok) {
    sig.assign(len, '\0');
    ok = EVP_PKEY_sign(ctx, reinterpret_cast<unsigned char *>(&sig[0]), &len,
                       reinterpret_cast<const unsigned char *>(data.data()), data.size()) == 1;
    sig.resize(len);
  }
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

bool oracle_recover(EVP_PKEY *key, const std::string &sig, std::string &data) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  size_t len = 0;
  bool ok = ctx && EVP_PKEY_verify_recover_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_verify_recover(ctx, nullptr, &len,
                                    reinterpret_cast<const unsigned char *>(sig.data()),
                                    sig.size()) == 1;
  if (ok) {
    data.assign(len, '\0');
    ok = EVP_PKEY_verify_recover(ctx, reinterpret_cast<unsigned char *>(&data[0]), &len,
                                 reinterpret_cast<const unsigned char *>(sig.data()),
                                 sig.size()) == 1;
    data.resize(len);
  }
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

std::string oracle_cbc(bool encrypt, const std::string &key, const std::string &iv,
                       const std::string &data) {
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  std::string out(data.size() + 16, '\0');
  int len = 0, tail = 0;
  bool ok = EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                              reinterpret_cast<const unsigned char *>(key.data()),
                              reinterpret_cast<const unsigned char *>(iv.data()),
                              encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char *>(&out[0]), &len,
                             reinterpret_cast<const unsigned char *>(data.data()),
                             static_cast<int>(data.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char *>(&out[len]), &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) throw std::runtime_error("EVP AES-256-CBC refused");
  out.resize(len + tail);
  return out;
}

std::string oracle_hmac_sha1(const std::string &key, const std::string &data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char *>(data.data()), data.size(), out, &len);
  return std::string(reinterpret_cast<char *>(out), len);
}
