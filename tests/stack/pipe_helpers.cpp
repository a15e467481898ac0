#include "pipe_helpers.h"

#include <cstdio>

std::vector<std::string> logged;

int capture_sink(const char *format, va_list args) {
  char buf[1024];
  vsnprintf(buf, sizeof buf, format, args);
  logged.push_back(buf);
  return 0;
}
