// What every fuzz target shares: a check that stops the process with a
// readable message, so that both libFuzzer and the replay test see a crash
// and keep the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(expr)                                                        \
  do {                                                                          \
    if (!(expr)) {                                                              \
      fprintf(stderr, "fuzz check failed: %s at %s:%d\n", #expr, __FILE__,      \
              __LINE__);                                                        \
      abort();                                                                  \
    }                                                                           \
  } while (0)
