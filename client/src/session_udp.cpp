// The UDP socket's plumbing: buffers large enough to ride out the moments
// when another process has our core, and the batches in which datagrams
// leave and arrive. The receive area is allocated with the first socket;
// nothing here allocates per datagram.
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// ---- Segmentation and receive offload ----
//
// Where the kernel has them, the datagrams of one drain that go to one peer
// with the same size leave in one message with UDP_SEGMENT (the kernel
// cuts it into those same datagrams: the wire sees no difference), and
// same-sized datagrams that arrive together come up in one buffer with
// their size in a UDP_GRO control message. Either way each datagram is
// still handled on its own.

namespace {

// Larger than any datagram a peer sends for a full-sized packet (1500
// bytes of IPv4 plus the protocol number, padding, IV and MAC); anything
// longer is cut and then fails its check.
const size_t RX_BUFFER = 2048;
// What one coalesced read may hold: an IPv4 packet's worth.
const size_t RX_GRO_BUFFER = 65536;
// Reads per recvmmsg call, and datagrams at most per wake-up (a coalesced
// read counts as the datagrams in it; the budget is checked between calls).
const unsigned UDP_BATCH = 16;
const unsigned UDP_BUDGET = 64;
// Segments per UDP_SEGMENT message: within every kernel's limit, and the
// bytes within one IPv4 packet.
const unsigned GSO_SEGMENTS = 64;
const size_t GSO_BYTES = 65000;

// Errors with which a kernel refuses a segmented send as such (no checksum
// offload on the route, a path MTU below the segment, no support): the
// same datagrams one by one would go.
bool gso_refused(int error) {
  return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP;
}

}  // namespace

void session::enable_udp_offloads() {
  // Both options are tried on every new socket; a refusal only means
  // datagrams go and come one by one.
  int zero = 0, one = 1;
  udp_gso = setsockopt(udp_sock.fd, IPPROTO_UDP, UDP_SEGMENT, &zero, sizeof zero) == 0;
  udp_gro = setsockopt(udp_sock.fd, IPPROTO_UDP, UDP_GRO, &one, sizeof one) == 0;
  if (!udp_rx_area) udp_rx_area.reset(new uint8_t[UDP_BATCH * (DATAGRAM_HEADROOM + RX_GRO_BUFFER)]);
  log_write("udp: segmentation offload %s, receive offload %s\n", udp_gso ? "on" : "off",
            udp_gro ? "on" : "off");
}

// Datagrams come a batch per system call, and the socket is drained up to a
// budget per wake-up: under load one poll and one recvmmsg serve many
// datagrams, while a steady stream cannot keep the rest of the loop (the tap,
// timers, the server connection) waiting. Each datagram is then handled
// exactly as if it had come on its own, in the order received: a coalesced
// read is split by the size the kernel tells, and each datagram's headroom
// is the tail of the one before, which is done with by then.
void session::on_udp_readable() {
  const size_t slot = DATAGRAM_HEADROOM + RX_GRO_BUFFER;
  if (!udp_rx_area) return;  // no socket was ever opened
  sockaddr_in from[UDP_BATCH];
  iovec iov[UDP_BATCH];
  mmsghdr msgs[UDP_BATCH];
  alignas(cmsghdr) uint8_t control[UDP_BATCH][CMSG_SPACE(sizeof(int))];
  uint8_t *area = udp_rx_area.get();
  for (unsigned done = 0; done < UDP_BUDGET && udp_sock.fd >= 0;) {
    for (unsigned i = 0; i < UDP_BATCH; ++i) {
      iov[i].iov_base = area + i * slot + DATAGRAM_HEADROOM;
      iov[i].iov_len = udp_gro ? RX_GRO_BUFFER : RX_BUFFER;
      memset(&msgs[i].msg_hdr, 0, sizeof msgs[i].msg_hdr);
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof from[i];
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_control = control[i];
      msgs[i].msg_hdr.msg_controllen = sizeof control[i];
      msgs[i].msg_len = 0;
    }
    const int got = recvmmsg(udp_sock.fd, msgs, UDP_BATCH, MSG_DONTWAIT, nullptr);
    if (got <= 0) return;
    for (int i = 0; i < got && udp_sock.fd >= 0; ++i) {
      // Anything but IPv4 in the address would be a stale udp_from.
      memset(&udp_from, 0, sizeof udp_from);
      memcpy(&udp_from, &from[i], std::min<size_t>(msgs[i].msg_hdr.msg_namelen, sizeof udp_from));
      uint8_t *at = static_cast<uint8_t *>(iov[i].iov_base);
      size_t len = msgs[i].msg_len;
      ++done;
      if (len == 0) continue;  // an empty datagram, as recvfrom saw it
      size_t size = coalesced_size(msgs[i].msg_hdr);
      if (size == 0 || size >= len) {
        on_datagram(at, std::min(len, RX_BUFFER));
        continue;
      }
      udp_gro_reads++;
      done += unsigned((len - 1) / size);
      for (size_t off = 0; off < len && udp_sock.fd >= 0; off += size)
        on_datagram(at + off, std::min({size, len - off, RX_BUFFER}));
    }
    if (got < static_cast<int>(UDP_BATCH)) return;  // drained
  }
}

size_t session::coalesced_size(msghdr &msg) {
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_UDP || c->cmsg_type != UDP_GRO) continue;
    if (c->cmsg_len < CMSG_LEN(sizeof(int))) return 0;
    int size;
    memcpy(&size, CMSG_DATA(c), sizeof size);
    return size > 0 ? static_cast<size_t>(size) : 0;
  }
  return 0;
}

void session::flush_datagrams() {
  send_datagrams(0, tx_queued);
  tx_queued = 0;
}

// Every datagram is offered to the system exactly once, in order: where
// sendmmsg stops at a failing message, that one is given up (as its
// datagrams' sendto would have failed) and the rest follow. A run of
// same-sized datagrams to one peer (the last may be shorter) is one message
// with UDP_SEGMENT; should the kernel refuse that, segmentation is off from
// then on and the run goes again datagram by datagram.
void session::send_datagrams(unsigned from, unsigned to) {
  iovec iov[TX_BATCH];
  mmsghdr msgs[TX_BATCH];
  unsigned first[TX_BATCH];  // slot of each message's first datagram
  unsigned count[TX_BATCH];  // datagrams in it
  alignas(cmsghdr) uint8_t control[TX_BATCH][CMSG_SPACE(sizeof(uint16_t))];
  unsigned n = 0;
  for (unsigned i = from; i < to; ++n) {
    const tx_slot &lead = tx_batch[i];
    unsigned k = 1;
    size_t bytes = lead.len;
    while (udp_gso && i + k < to && k < GSO_SEGMENTS) {
      const tx_slot &next = tx_batch[i + k];
      if (next.t != lead.t || next.to.sin_addr.s_addr != lead.to.sin_addr.s_addr ||
          next.to.sin_port != lead.to.sin_port || next.len > lead.len ||
          tx_batch[i + k - 1].len != lead.len || bytes + next.len > GSO_BYTES)
        break;
      bytes += next.len;
      ++k;
    }
    for (unsigned j = 0; j < k; ++j) {
      iov[i + j - from].iov_base = tx_batch[i + j].bytes;
      iov[i + j - from].iov_len = tx_batch[i + j].len;
    }
    memset(&msgs[n], 0, sizeof msgs[n]);
    msghdr &h = msgs[n].msg_hdr;
    h.msg_name = const_cast<sockaddr_in *>(&lead.to);
    h.msg_namelen = sizeof lead.to;
    h.msg_iov = &iov[i - from];
    h.msg_iovlen = k;
    if (k > 1) {
      h.msg_control = control[n];
      h.msg_controllen = sizeof control[n];
      cmsghdr *c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = IPPROTO_UDP;
      c->cmsg_type = UDP_SEGMENT;
      c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
      const uint16_t segment = static_cast<uint16_t>(lead.len);
      memcpy(CMSG_DATA(c), &segment, sizeof segment);
    }
    first[n] = i;
    count[n] = k;
    i += k;
  }
  unsigned done = 0;
  while (done < n && udp_sock.fd >= 0) {
    const int sent = sendmmsg(udp_sock.fd, msgs + done, n - done, 0);
    if (sent <= 0) {
      if (count[done] > 1 && gso_refused(errno)) {
        log_write("udp: segmentation offload refused (%s), sending datagram by datagram\n",
                  strerror(errno));
        udp_gso = false;
        send_datagrams(first[done], to);
        return;
      }
      ++done;
      continue;
    }
    for (unsigned m = done; m < done + unsigned(sent); ++m) {
      for (unsigned i = first[m]; i < first[m] + count[m]; ++i) {
        tx_batch[i].t->tx_count++;
        tx_batch[i].t->tx_bytes += tx_batch[i].len;
        tx_batch[i].t->last_tx = evl_now;
      }
      if (count[m] > 1) udp_gso_sends++;
    }
    done += unsigned(sent);
  }
}
