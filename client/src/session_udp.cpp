// The UDP socket's plumbing: buffers large enough to ride out the moments
// when another process has our core.
#include <sys/socket.h>

#include "client/session.h"
#include "common/log.h"

namespace {

// A few milliseconds of a gigabit stream. The system default (about 200
// KiB) overflows whenever the scheduler lets the peer's burst pile up while
// we wait for the core; what overflows is lost and resent by TCP above us.
const int UDP_BUFFER_WANTED = 4 << 20;

// Asks for `want` bytes: the forced option passes the system's cap when we
// are privileged, the plain one is capped at net.core.rmem_max or wmem_max.
// The system reports twice what it grants (it counts its own overhead);
// the result is what was granted.
int request_buffer(int fd, int forced, int plain, int want) {
  if (setsockopt(fd, SOL_SOCKET, forced, &want, sizeof want) != 0)
    setsockopt(fd, SOL_SOCKET, plain, &want, sizeof want);
  int got = 0;
  socklen_t len = sizeof got;
  if (getsockopt(fd, SOL_SOCKET, plain, &got, &len) != 0) return 0;
  return got / 2;
}

}  // namespace

void session::size_udp_buffers() {
  const int rcv = request_buffer(udp_sock.fd, SO_RCVBUFFORCE, SO_RCVBUF, UDP_BUFFER_WANTED);
  const int snd = request_buffer(udp_sock.fd, SO_SNDBUFFORCE, SO_SNDBUF, UDP_BUFFER_WANTED);
  // Once, unless a later socket gets something else.
  if (rcv == udp_buffers_logged[0] && snd == udp_buffers_logged[1]) return;
  udp_buffers_logged[0] = rcv;
  udp_buffers_logged[1] = snd;
  const bool short_of = rcv < UDP_BUFFER_WANTED || snd < UDP_BUFFER_WANTED;
  log_write("udp: socket buffers %d KiB receive, %d KiB send, of %d KiB asked for%s\n",
            rcv >> 10, snd >> 10, UDP_BUFFER_WANTED >> 10,
            short_of ? " (raise net.core.rmem_max and wmem_max for more)" : "");
}

