// Process-wide log facility. Every subsystem writes its diagnostic lines with
// log_write; where they go is decided by the one installed sink. Until a sink
// is installed everything is discarded, so only the daemon (which installs
// its own sink) ever produces log output.
#pragma once

#include <cstdarg>
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

// Assertions are log lines, never a stop: "assert <expr> in <file>:<line>".
#define QUILMAR_ASSERT(expr)                                                  \
  do {                                                                        \
    if (!(expr)) log_write("assert %s in %s:%d\n", #expr, __FILE__, __LINE__); \
  } while (0)
