// Process-wide log facility. Every subsystem writes its diagnostic lines with
// log_write; where they go is decided by the one installed sink. Until a sink
// is installed everything is discarded, so only the daemon (which installs
// its own sink) ever produces log output.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

typedef int (*log_sink)(const char *format, va_list args);

// Formats and hands the line to the current sink; returns the sink's result.
int log_write(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Installs `sink` (null installs log_discard) and returns the previous sink.
log_sink log_set_sink(log_sink sink);

// The initial sink: writes nothing, returns 0.
int log_discard(const char *format, va_list args);

// Writes log_prefix (unless null or log_continuation is set) and then the
// formatted text to log_stream; returns the number of characters written.
int log_stdio_write(const char *format, va_list args);

extern FILE *log_stream;        // standard output unless a sink says otherwise
extern const char *log_prefix;  // prefix of the line being written, or null
extern bool log_continuation;   // while set, lines are written without prefix

// Lines that anyone on the network can cause once per datagram (an unknown
// SPI, a datagram that fails its check) are written at most once per
// period for each kind; the others are counted and the count is told with
// the next line of the kind that is written. One record per kind; clock
// readings are the caller's milliseconds (the event loop's evl_now).
struct log_limit {
  uint32_t suppressed = 0;  // lines held back since the last one written
  uint32_t last = 0;        // clock reading of the last line written
  bool started = false;     // a line of this kind has been written
};
constexpr uint32_t LOG_LIMIT_PERIOD = 1000;

// Whether a line of this kind may be written at `now`. When it may,
// `held_back` receives the number of lines suppressed since the last one
// (and the count starts again); when it may not, the line is counted.
bool log_limit_pass(log_limit &limit, uint32_t now, uint32_t &held_back);
// "<kind> - <count> more suppressed", when `count` is not 0.
void log_suppressed(const char *kind, uint32_t count);
// Calls `write` (which writes the line or lines of the kind) when
// log_limit_pass allows it, then log_suppressed. Nothing is formatted for
// a line that is held back.
template <typename Write>
void log_limited(log_limit &limit, uint32_t now, const char *kind, Write write) {
  uint32_t held_back = 0;
  if (!log_limit_pass(limit, now, held_back)) return;
  write();
  log_suppressed(kind, held_back);
}

// Assertions are log lines, never a stop: "assert <expr> in <file>:<line>".
#define QUILMAR_ASSERT(expr)                                                  \
  do {                                                                        \
    if (!(expr)) log_write("assert %s in %s:%d\n", #expr, __FILE__, __LINE__); \
  } while (0)
