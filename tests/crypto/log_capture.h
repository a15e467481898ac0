// Collects log lines for the duration of a test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/log.h"

inline std::vector<std::string> &captured_lines() {
  static std::vector<std::string> lines;
  return lines;
}

inline int capture_sink(const char *format, va_list args) {
  char buf[512];
  int n = vsnprintf(buf, sizeof buf, format, args);
  captured_lines().push_back(buf);
  return n;
}

class Logged : public ::testing::Test {
 protected:
  void SetUp() override {
    captured_lines().clear();
    previous = log_set_sink(capture_sink);
  }
  void TearDown() override { log_set_sink(previous); }
  const std::vector<std::string> &lines() const { return captured_lines(); }
  log_sink previous = nullptr;
};
