// Independent references from the crypto library's high-level interfaces,
// used only to check our own code, plus small helpers shared by the tests.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "crypto/bignum.h"

std::string unhex(const std::string &hex);
std::string tohex(const std::string &bytes);
std::string repeat(char c, size_t count);

// RSA keys as library EVP_PKEY objects (caller frees with EVP_PKEY_free).
EVP_PKEY *oracle_public_pkey(const rsa_public_key &key);
EVP_PKEY *oracle_private_pkey(const rsa_public_key &pub, const rsa_private_key &key);
// Raw PKCS #1 type 1 without DigestInfo, through the EVP layer.
bool oracle_sign(EVP_PKEY *key, const std::string &data, std::string &sig);
bool oracle_recover(EVP_PKEY *key, const std::string &sig, std::string &data);

// EVP AES-256-CBC without padding; false if the library refuses.
std::string oracle_cbc(bool encrypt, const std::string &key, const std::string &iv,
                       const std::string &data);
std::string oracle_hmac_sha1(const std::string &key, const std::string &data);
