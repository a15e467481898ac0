// Token buckets: how the server bounds what one connection, identity,
// source address or network may make it do (frames, password hashes,
// enrolments, join guesses, online/offline changes, introductions).
//
// A bucket is a plain value kept by whoever it limits: a connection holds
// its own, the hub keeps tables of them keyed by identity, address or
// network name. A table makes a key's bucket full on first use and forgets
// it once it is full again (`prune`), so it only holds keys that spent
// something lately. One thread; times are evl_now readings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>

struct rate_limit {
  double burst;       // tokens of a full bucket
  double per_second;  // how fast spent tokens come back
};

class token_bucket {
 public:
  token_bucket(double tokens, uint32_t now) : tokens(tokens), at(now) {}

  // Takes one token; false (and nothing taken) when there is none.
  bool take(const rate_limit &limit, uint32_t now) {
    refill(limit, now);
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
  }
  bool has(const rate_limit &limit, uint32_t now) {
    refill(limit, now);
    return tokens >= 1;
  }
  bool full(const rate_limit &limit, uint32_t now) {
    refill(limit, now);
    return tokens >= limit.burst;
  }
  // Milliseconds until the next token (0 when there is one).
  uint32_t wait_ms(const rate_limit &limit, uint32_t now) {
    refill(limit, now);
    return tokens >= 1 ? 0 : uint32_t((1 - tokens) * 1000 / limit.per_second) + 1;
  }
  // Tokens beyond the burst, kept until they are spent.
  void grant(double extra) { tokens += extra; }

 private:
  void refill(const rate_limit &limit, uint32_t now) {
    const uint32_t elapsed = now - at;
    at = now;
    if (tokens < limit.burst)
      tokens = std::min(limit.burst, tokens + elapsed * limit.per_second / 1000.0);
  }

  double tokens;
  uint32_t at;
};

template <typename Key>
class bucket_table {
 public:
  explicit bucket_table(const rate_limit &limit) : limit(limit) {}

  bool take(const Key &key, uint32_t now) { return of(key, now).take(limit, now); }
  bool has(const Key &key, uint32_t now) {
    auto it = buckets.find(key);
    return it == buckets.end() || it->second.has(limit, now);
  }
  uint32_t wait_ms(const Key &key, uint32_t now) {
    auto it = buckets.find(key);
    return it == buckets.end() ? 0 : it->second.wait_ms(limit, now);
  }
  // Drops the buckets that have refilled completely.
  void prune(uint32_t now) {
    for (auto it = buckets.begin(); it != buckets.end();)
      it = it->second.full(limit, now) ? buckets.erase(it) : std::next(it);
  }
  size_t size() const { return buckets.size(); }

  const rate_limit limit;

 private:
  token_bucket &of(const Key &key, uint32_t now) {
    return buckets.emplace(key, token_bucket(limit.burst, now)).first->second;
  }
  std::map<Key, token_bucket> buckets;
};
