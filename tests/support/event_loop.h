// Driving the process-wide event loop from tests: run it until a condition
// holds (with a deadline), or for a few idle turns to show that nothing more
// happens. Tests that include this link the events library.
#pragma once

#include <chrono>
#include <functional>

#include "events/evl.h"

// Runs the event loop until `done` holds or the deadline passes.
inline bool run_until(const std::function<bool()> &done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    evl_run(20);
  }
  return true;
}

// Runs a fixed number of short iterations, for checking that nothing more
// happens once the awaited event has been seen.
inline void run_idle(int iterations = 5) {
  for (int i = 0; i < iterations; i++) evl_run(10);
}
