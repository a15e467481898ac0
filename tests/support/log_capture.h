// Collects the log lines that the code under test writes, one entry per
// log_write call, for assertions on exact log texts.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

extern std::vector<std::string> logged;

// A log sink that appends each formatted line to `logged`.
int capture_sink(const char *format, va_list args);
// Clears `logged` and installs capture_sink; returns the previous sink.
void start_log_capture();
// Puts the discarding sink back.
void stop_log_capture();
// Everything captured, as one text (lines written in pieces come out whole).
std::string logged_text();
// True when some captured entry equals `line` exactly.
bool logged_line(const std::string &line);
// True when some captured entry begins with `prefix`.
bool logged_prefix(const std::string &prefix);

#include <gtest/gtest.h>

// A fixture whose tests run with their log lines captured.
class LoggedTest : public ::testing::Test {
 protected:
  void SetUp() override { start_log_capture(); }
  void TearDown() override { stop_log_capture(); }
  const std::vector<std::string> &lines() const { return logged; }
};
