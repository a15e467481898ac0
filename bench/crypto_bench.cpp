// MB/s of our AES, CBC, HMAC and frame protection, and of libcrypto's EVP
// equivalents over the same data in the same run.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <chrono>
#include <memory>
#include <string>

#include "clisrv/msg_crypto.h"
#include "common/util.h"
#include "crypto/cipher.h"
#include "crypto/digest.h"

namespace {

const size_t FRAME = 1400;
// CBC works on whole blocks: a 1400-byte message fills 1408 bytes of them.
const size_t CBC_BYTES = 1408;

std::string random_of(size_t len) {
  std::string s;
  random_string(s, len);
  return s;
}

void count_bytes(benchmark::State &state, size_t per_iteration) {
  const double bytes = double(state.iterations()) * double(per_iteration);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}

// Arg 0 runs our table-driven AES, arg 1 the processor's AES instructions
// (skipped where there are none).
bool choose_aes_path(benchmark::State &state) {
  const bool want_hw = state.range(0) != 0;
  if (aes_use_hw(want_hw) != want_hw) {
    aes_use_hw(true);
    state.SkipWithError("no AES instructions on this processor");
    return false;
  }
  state.SetLabel(want_hw ? "AES instructions" : "tables");
  return true;
}

uint8_t *bytes_of(std::string &s) { return reinterpret_cast<uint8_t *>(&s[0]); }
const uint8_t *bytes_of(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

void BM_aes256_block_encrypt(benchmark::State &state) {
  if (!choose_aes_path(state)) return;
  const std::string key = random_of(32);
  std::unique_ptr<cipher_key> k(aes_alg->make_key(256, 1, key.data()));
  std::string block = random_of(16);
  for (auto _ : state) {
    k->encrypt_block(block.data(), &block[0]);
    benchmark::DoNotOptimize(block.data());
  }
  count_bytes(state, 16);
}
BENCHMARK(BM_aes256_block_encrypt)->Arg(0)->Arg(1);

void BM_aes256_cbc_encrypt_1400(benchmark::State &state) {
  if (!choose_aes_path(state)) return;
  const std::string key = random_of(32), iv = random_of(16);
  std::unique_ptr<cipher_ctx> ctx(make_cbc(aes_alg->make_key(256, 1, key.data())));
  std::string buf = random_of(CBC_BYTES);
  ctx->iv = bytes_of(iv);
  ctx->encrypt(buf.data(), &buf[0], CBC_BYTES);
  if (ctx->iv != bytes_of(buf) + CBC_BYTES - 16) state.SkipWithError("encrypt refused");
  for (auto _ : state) {
    ctx->iv = bytes_of(iv);
    ctx->encrypt(buf.data(), &buf[0], CBC_BYTES);
    benchmark::DoNotOptimize(buf.data());
  }
  count_bytes(state, CBC_BYTES);
}
BENCHMARK(BM_aes256_cbc_encrypt_1400)->Arg(0)->Arg(1);

void BM_aes256_cbc_decrypt_1400(benchmark::State &state) {
  if (!choose_aes_path(state)) return;
  const std::string key = random_of(32), iv = random_of(16);
  std::unique_ptr<cipher_ctx> ctx(make_cbc(aes_alg->make_key(256, 1, key.data())));
  std::string buf = random_of(CBC_BYTES);
  const std::string before = buf;
  ctx->iv = bytes_of(iv);
  ctx->decrypt(buf.data(), &buf[0], CBC_BYTES);
  if (buf == before) state.SkipWithError("decrypt refused");
  for (auto _ : state) {
    ctx->iv = bytes_of(iv);
    ctx->decrypt(buf.data(), &buf[0], CBC_BYTES);
    benchmark::DoNotOptimize(buf.data());
  }
  count_bytes(state, CBC_BYTES);
}
BENCHMARK(BM_aes256_cbc_decrypt_1400)->Arg(0)->Arg(1);

void BM_hmac_sha1_96_1400(benchmark::State &state) {
  const std::string key = random_of(20), data = random_of(FRAME);
  std::unique_ptr<digest_alg_hmac> mac(make_hmac(sha1_alg, key, 12));
  uint8_t out[12];
  for (auto _ : state) {
    digest_ctx *ctx = mac->new_ctx();
    ctx->update(data.data(), data.size());
    ctx->finish(out);
    benchmark::DoNotOptimize(out);
  }
  count_bytes(state, FRAME);
}
BENCHMARK(BM_hmac_sha1_96_1400);

// The one-shot MAC the tunnel uses per datagram, from the pad states kept
// per key.
void BM_hmac_sha1_96_1400_oneshot(benchmark::State &state) {
  const std::string key = random_of(20), data = random_of(FRAME);
  std::unique_ptr<digest_alg_hmac> mac(make_hmac(sha1_alg, key, 12));
  uint8_t out[12];
  for (auto _ : state) {
    mac->mac(data.data(), data.size(), out);
    benchmark::DoNotOptimize(out);
  }
  count_bytes(state, FRAME);
}
BENCHMARK(BM_hmac_sha1_96_1400_oneshot);

void BM_protect_unprotect_udp_1400(benchmark::State &state) {
  const std::string keymat = random_of(120);
  msg_crypto_v2 sender, receiver;
  sender.set_keys(keymat, false);
  receiver.set_keys(keymat, false);
  const std::string message = random_of(FRAME);
  std::string frame;
  frame.reserve(8 + FRAME + 64);
  for (auto _ : state) {
    frame.assign(8, '\0');
    frame += message;
    sender.protect(frame, true);
    if (!receiver.unprotect(frame)) {
      state.SkipWithError("unprotect refused a frame");
      break;
    }
    benchmark::DoNotOptimize(frame.data());
  }
  count_bytes(state, FRAME);
}
BENCHMARK(BM_protect_unprotect_udp_1400);

// ---- libcrypto references ----

void evp_cbc(benchmark::State &state, int encrypt) {
  const std::string key = random_of(32), iv = random_of(16);
  std::string buf = random_of(CBC_BYTES);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, bytes_of(key), nullptr, encrypt);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int len = 0;
  for (auto _ : state) {
    // Only the IV changes per frame; the key schedule stays, as in ours.
    EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, bytes_of(iv), encrypt);
    EVP_CipherUpdate(ctx, bytes_of(buf), &len, bytes_of(buf), static_cast<int>(CBC_BYTES));
    benchmark::DoNotOptimize(buf.data());
  }
  if (len != static_cast<int>(CBC_BYTES)) state.SkipWithError("EVP refused");
  EVP_CIPHER_CTX_free(ctx);
  count_bytes(state, CBC_BYTES);
}

void BM_evp_aes256_cbc_encrypt_1400(benchmark::State &state) { evp_cbc(state, 1); }
BENCHMARK(BM_evp_aes256_cbc_encrypt_1400);
void BM_evp_aes256_cbc_decrypt_1400(benchmark::State &state) { evp_cbc(state, 0); }
BENCHMARK(BM_evp_aes256_cbc_decrypt_1400);

void BM_evp_hmac_sha1_1400(benchmark::State &state) {
  std::string key = random_of(20);
  const std::string data = random_of(FRAME);
  EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
  char digest[] = "SHA1";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  if (!ctx || EVP_MAC_init(ctx, bytes_of(key), key.size(), params) != 1)
    state.SkipWithError("EVP HMAC unavailable");
  unsigned char out[20];
  size_t out_len = 0;
  for (auto _ : state) {
    EVP_MAC_init(ctx, nullptr, 0, nullptr);  // same key, fresh message
    EVP_MAC_update(ctx, bytes_of(data), data.size());
    EVP_MAC_final(ctx, out, &out_len, sizeof out);
    benchmark::DoNotOptimize(out);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  count_bytes(state, FRAME);
}
BENCHMARK(BM_evp_hmac_sha1_1400);

// ---- ours against libcrypto, side by side ----

// Each iteration runs our CBC and EVP's once each over the same 1400-byte
// frame and times them separately, so that whatever else the machine is
// doing weighs on both alike; "ours/EVP" is our throughput as a fraction of
// libcrypto's.
void cbc_side_by_side(benchmark::State &state, int encrypt) {
  if (!choose_aes_path(state)) return;
  using clock = std::chrono::steady_clock;
  const std::string key = random_of(32), iv = random_of(16);
  std::unique_ptr<cipher_ctx> ctx(make_cbc(aes_alg->make_key(256, 1, key.data())));
  EVP_CIPHER_CTX *evp = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(evp, EVP_aes_256_cbc(), nullptr, bytes_of(key), nullptr, encrypt);
  EVP_CIPHER_CTX_set_padding(evp, 0);
  const std::string frame = random_of(CBC_BYTES);
  std::string ours = frame, theirs = frame;
  clock::duration our_time{}, their_time{};
  int len = 0;
  for (auto _ : state) {
    const clock::time_point start = clock::now();
    ctx->iv = bytes_of(iv);
    if (encrypt)
      ctx->encrypt(ours.data(), &ours[0], CBC_BYTES);
    else
      ctx->decrypt(ours.data(), &ours[0], CBC_BYTES);
    benchmark::DoNotOptimize(ours.data());
    const clock::time_point middle = clock::now();
    EVP_CipherInit_ex(evp, nullptr, nullptr, nullptr, bytes_of(iv), encrypt);
    EVP_CipherUpdate(evp, bytes_of(theirs), &len, bytes_of(theirs), static_cast<int>(CBC_BYTES));
    benchmark::DoNotOptimize(theirs.data());
    const clock::time_point end = clock::now();
    our_time += middle - start;
    their_time += end - middle;
  }
  EVP_CIPHER_CTX_free(evp);
  // Both sides ran the same number of times from the same frame.
  if (len != static_cast<int>(CBC_BYTES) || ours != theirs) state.SkipWithError("results differ");
  const double bytes = double(state.iterations()) * double(CBC_BYTES);
  const double our_s = std::chrono::duration<double>(our_time).count();
  const double their_s = std::chrono::duration<double>(their_time).count();
  if (our_s <= 0 || their_s <= 0) return;
  state.counters["ours MB/s"] = bytes / 1e6 / our_s;
  state.counters["EVP MB/s"] = bytes / 1e6 / their_s;
  state.counters["ours/EVP"] = their_s / our_s;
}

void BM_aes256_cbc_encrypt_1400_vs_evp(benchmark::State &state) { cbc_side_by_side(state, 1); }
BENCHMARK(BM_aes256_cbc_encrypt_1400_vs_evp)->Arg(0)->Arg(1);
void BM_aes256_cbc_decrypt_1400_vs_evp(benchmark::State &state) { cbc_side_by_side(state, 0); }
BENCHMARK(BM_aes256_cbc_decrypt_1400_vs_evp)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
