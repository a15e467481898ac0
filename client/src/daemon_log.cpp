#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "client/config.h"
#include "client/front.h"
#include "common/log.h"

bool log_to_stdout = true;
bool log_to_file = false;

namespace {

char prefix_buffer[64];

// The daemon clears its file creation mask when it detaches, so the mode
// is given here: the log stays private to its owner.
FILE *open_log_file(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  FILE *stream = fdopen(fd, "a+");
  if (!stream) close(fd);
  return stream;
}

}  // namespace

int daemon_log_sink(const char *format, va_list args) {
  if (log_continuation) {
    log_prefix = nullptr;
  } else {
    timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    snprintf(prefix_buffer, sizeof prefix_buffer, "%02d %02d:%02d:%02d.%03d [%5d] ",
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             int(now.tv_usec / 1000), int(getpid()));
    log_prefix = prefix_buffer;
  }
  if (log_to_stdout) {
    va_list copy;
    va_copy(copy, args);
    log_stream = stdout;
    log_stdio_write(format, copy);
    va_end(copy);
    fflush(stdout);
  }
  if (log_to_file && !current_config.log_file.empty()) {
    if (FILE *file = open_log_file(current_config.log_file)) {
      log_stream = file;
      log_stdio_write(format, args);
      fclose(file);
      log_stream = stdout;
    }
  }
  return 0;
}
