// The daemon's log sink: a time and pid prefix on every line, standard
// output while the daemon is in the foreground, the LogFile once detached.
//
// The log file stays open from one line to the next. It is opened again
// when it has been moved away or replaced (log rotation): on SIGHUP, and
// when the path no longer names the open file, which is looked at once a
// second at most. Everything runs on the daemon's one thread; the signal
// handler only raises a flag that the next line reads.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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

volatile sig_atomic_t reopen_requested = 0;

struct open_log {
  FILE *stream = nullptr;
  dev_t dev = 0;
  ino_t ino = 0;
  time_t checked = 0;  // second of the last look at the path (or attempt to open)
};
open_log file;

void on_reopen_signal(int) { reopen_requested = 1; }

// The daemon clears its file creation mask when it detaches, so the mode
// is given here: the log stays private to its owner.
void open_log_file(const std::string &path) {
  if (file.stream) fclose(file.stream);
  file.stream = nullptr;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  struct stat st;
  file.stream = fstat(fd, &st) == 0 ? fdopen(fd, "a") : nullptr;
  if (!file.stream) {
    close(fd);
    return;
  }
  file.dev = st.st_dev;
  file.ino = st.st_ino;
}

// The open log file, opened again when asked to or when the path now names
// another file (or none); null when it cannot be opened (the line is then
// dropped, and opening is tried again a second later).
FILE *log_file_for(const std::string &path, time_t now) {
  bool reopen = reopen_requested != 0;
  if (!reopen && now != file.checked) {
    struct stat st;
    reopen = !file.stream || stat(path.c_str(), &st) != 0 || st.st_dev != file.dev ||
             st.st_ino != file.ino;
  }
  if (reopen) {
    reopen_requested = 0;
    open_log_file(path);
  }
  if (reopen || now != file.checked) file.checked = now;
  return file.stream;
}

}  // namespace

void reopen_log_on_signal(int sig) {
  struct sigaction sa = {};
  sa.sa_handler = on_reopen_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

int daemon_log_sink(const char *format, va_list args) {
  timeval now;
  gettimeofday(&now, nullptr);
  if (log_continuation) {
    log_prefix = nullptr;
  } else {
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
    if (FILE *stream = log_file_for(current_config.log_file, now.tv_sec)) {
      log_stream = stream;
      log_stdio_write(format, args);
      fflush(stream);  // a line is in the file once it is logged
      log_stream = stdout;
    }
  }
  return 0;
}
