#include "common/log.h"

FILE *log_stream = stdout;
const char *log_prefix = nullptr;
bool log_continuation = false;

static log_sink current_sink = log_discard;

int log_discard(const char *, va_list) { return 0; }

int log_write(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = current_sink(format, args);
  va_end(args);
  return result;
}

log_sink log_set_sink(log_sink sink) {
  log_sink previous = current_sink;
  current_sink = sink ? sink : log_discard;
  return previous;
}

int log_stdio_write(const char *format, va_list args) {
  if (log_prefix && !log_continuation) fprintf(log_stream, "%s", log_prefix);
  return vfprintf(log_stream, format, args);
}

bool log_limit_pass(log_limit &limit, uint32_t now, uint32_t &held_back) {
  // Unsigned difference: right across the wrap of the clock.
  if (limit.started && now - limit.last < LOG_LIMIT_PERIOD) {
    if (limit.suppressed != UINT32_MAX) limit.suppressed++;
    return false;
  }
  held_back = limit.suppressed;
  limit.suppressed = 0;
  limit.last = now;
  limit.started = true;
  return true;
}

void log_suppressed(const char *kind, uint32_t count) {
  if (count) log_write("%s - %u more suppressed\n", kind, count);
}
