#include "log_capture.h"

#include <cstdio>

#include "common/log.h"

std::vector<std::string> logged;

int capture_sink(const char *format, va_list args) {
  char buf[2048];
  int n = vsnprintf(buf, sizeof buf, format, args);
  logged.push_back(buf);
  return n;
}

void start_log_capture() {
  logged.clear();
  log_set_sink(capture_sink);
}

void stop_log_capture() { log_set_sink(nullptr); }

std::string logged_text() {
  std::string text;
  for (const auto &l : logged) text += l;
  return text;
}

bool logged_line(const std::string &line) {
  for (const auto &l : logged)
    if (l == line) return true;
  return false;
}

bool logged_prefix(const std::string &prefix) {
  for (const auto &l : logged)
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}
