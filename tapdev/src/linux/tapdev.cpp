#include "tapdev/tapdev.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "tapdev/tapwarden_msg.h"

namespace {

constexpr int FRAME_BUFFER = 1500;
// With the virtio-net header: the largest segment the kernel hands over,
// and the largest packet cut from one (the MTU is at most 1500).
constexpr size_t SEGMENT_BUFFER = 65536 + 14;
constexpr size_t PACKET_BUFFER = 1514;
constexpr unsigned OFFLOADS = TUN_F_CSUM | TUN_F_TSO4;

// What tapwarden's greeting codes mean, by their top byte; the %d and %s
// take the error number in the low bits and its text.
const char *greeting_explanation(int step) {
  switch (step) {
    case TAPW_too_many_clients: return "too many clients";
    case TAPW_open_tun: return "open('/dev/net/tun') failed with %d (%s)";
    case TAPW_set_iff: return "ioctl(TUNSETIFF ...) failed with %d (%s)";
    case TAPW_socket: return "socket(SOCK_DGRAM ...) failed with %d (%s)";
    case TAPW_get_hwaddr: return "ioctl(SIOCGIFHWADDR ...) failed with %d (%s)";
    case TAPW_bad_request:
    case TAPW_config_failed: return "invalid ipc request";
    default: return nullptr;
  }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void log_greeting_failure(int32_t code) {
  log_write("tap: bad response from tapwarden - %08x\n", static_cast<unsigned>(code));
  // A negative code has no step: the shift keeps the sign.
  const char *text = greeting_explanation(code >> 24);
  if (!text) return;
  int error = code & 0xffff;
  log_write("     ");
  log_continuation = true;
  log_write(text, error, strerror(error));
  log_write("\n");
  log_continuation = false;
}
#pragma GCC diagnostic pop

// Descriptors that arrive with a message we refuse must not stay open: the
// interface would live on, unseen, for as long as the daemon does.
void close_passed_descriptors(msghdr &msg) {
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; i++) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      ::close(fd);
    }
  }
}

// One greeting from tapwarden: its status code, the hardware address and,
// with code 0, the device's descriptor passed alongside. Descriptors that
// come with anything but a good greeting are closed here.
struct greeting {
  ssize_t got = -1;    // bytes received
  int error = 0;       // errno of the receive
  int32_t code = -1;   // 0: the device follows
  int fd = -1;         // the device, when it came as it should
  uint8_t mac[6] = {};
};

greeting receive_greeting(int cfg) {
  greeting g;
  // Room for exactly one descriptor, laid out the way this platform's
  // control headers are.
  uint8_t bytes[TAPW_GREETING_SIZE];
  alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))];
  iovec iov = {bytes, sizeof bytes};
  msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  errno = 0;  // a short greeting leaves no error number of its own
  g.got = recvmsg(cfg, &msg, MSG_CMSG_CLOEXEC);
  g.error = errno;
  if (g.got >= 4) memcpy(&g.code, bytes, sizeof g.code);
  cmsghdr *c = msg.msg_controllen >= sizeof(cmsghdr) ? CMSG_FIRSTHDR(&msg) : nullptr;
  const bool one_descriptor = c && c->cmsg_len == CMSG_LEN(sizeof(int)) &&
                              c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS;
  if (g.got == TAPW_GREETING_SIZE && g.code == 0 && one_descriptor) {
    memcpy(&g.fd, CMSG_DATA(c), sizeof g.fd);
    memcpy(g.mac, bytes + 4, sizeof g.mac);
  } else if (g.got > 0) {
    close_passed_descriptors(msg);
  }
  return g;
}

}  // namespace

// A deleted interface or a failing device reports an error condition and
// read() keeps failing; both would come back on every loop iteration.
constexpr int DEVICE_EVENTS = EVL_READ | EVL_ERROR;
// Frames read per wake-up at most.
constexpr int READ_BUDGET = 64;

tuntap::tuntap(tapdev_cb *o, const char *socket_path, bool offloads)
    : owner(o), offloads_wanted(offloads) {
  ev.mask = DEVICE_EVENTS;
  ev.cb = this;
  size_t len = strlen(socket_path);
  path_fits = len < sizeof path;
  memset(path, 0, sizeof path);
  if (path_fits) memcpy(path, socket_path, len);
}

tuntap::~tuntap() { close(); }

bool tuntap::open() {
  QUILMAR_ASSERT(cfg < 0);
  if (cfg >= 0) close();
  cfg = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (cfg < 0) {
    log_write("tap: socket() failed %d\n", errno);
    return false;
  }

  sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path, path, sizeof sa.sun_path);
  int rc = path_fits ? connect(cfg, reinterpret_cast<sockaddr *>(&sa), sizeof sa) : -1;
  if (rc < 0) {
    int error = path_fits ? errno : ENAMETOOLONG;
    log_write("tap: connect() failed %d (%s)\n", error, strerror(error));
    close();
    return false;
  }

  const greeting g = receive_greeting(cfg);
  if (g.got != TAPW_GREETING_SIZE) {
    log_write("tap: recvmsg() failed %d\n", g.error);
    close();
    return false;
  }
  if (g.code != 0) {
    log_greeting_failure(g.code);
    close();
    return false;
  }
  if (g.fd < 0) {
    log_write("tap: bad message\n");
    close();
    return false;
  }
  take_device(g.fd, g.mac);
  if (offloads_wanted) ask_for_offloads();
  ev.mask = DEVICE_EVENTS;
  evl_watch(&ev);
  return true;
}

void tuntap::take_device(int fd, const uint8_t (&hwaddr)[6]) {
  // Frames are read until none is left: a spurious wake-up, or a drained
  // queue, must not stall the whole daemon in read().
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  ev.fd = fd;
  memcpy(mac, hwaddr, sizeof mac);
  // Only shown to the user: a device that does not tell stays nameless.
  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  memset(name, 0, sizeof name);
  if (ioctl(fd, TUNGETIFF, &ifr) == 0) memcpy(name, ifr.ifr_name, sizeof name - 1);
}

void tuntap::ask_for_offloads() {
  uint8_t request[TAPW_REQUEST_SIZE];
  memcpy(request, &TAPW_OFFLOAD_ADDRESS, 4);
  memcpy(request + 4, &TAPW_OFFLOAD_MAGIC, 4);
  if (send(cfg, request, sizeof request, MSG_NOSIGNAL) != TAPW_REQUEST_SIZE) {
    log_write("tap: offloads not asked for - send() failed %d\n", errno);
    return;
  }
  // A tapwarden that does not know the request answers it with a code
  // alone; one that does, with a new greeting and the new device.
  const greeting g = receive_greeting(cfg);
  if (g.fd < 0) {
    log_write("tap: no offloads from tapwarden (%d bytes, code %08x)\n", static_cast<int>(g.got),
              static_cast<unsigned>(g.code));
    return;
  }
  // tapwarden now serves the new interface; the old one goes with its
  // descriptor.
  ::close(ev.fd);
  take_device(g.fd, g.mac);
  vnet = true;
  read_area.reset(new uint8_t[VNET_HDR_SIZE + SEGMENT_BUFFER + TAPDEV_TAILROOM]);
  cut_area.reset(new uint8_t[PACKET_BUFFER + TAPDEV_TAILROOM]);
  join_area.reset(new uint8_t[VNET_HDR_SIZE + SEGMENT_BUFFER]);
  joined = tcp_coalescer();
  joined.buf = join_area.get();
  joined.capacity = SEGMENT_BUFFER;
  // Without the offloads the header still comes, always empty.
  if (ioctl(ev.fd, TUNSETOFFLOAD, OFFLOADS) != 0)
    log_write("tap: offloads refused by the kernel - %d (%s)\n", errno, strerror(errno));
  else
    log_write("tap: offloads on (tso4, checksum)\n");
}

void tuntap::close() {
  if (ev.fd >= 0 && vnet) flush();
  vnet = false;
  joined.len = 0;
  if (ev.fd >= 0) {
    evl_unwatch(&ev);
    ::close(ev.fd);
    ev.fd = -1;
    memset(name, 0, sizeof name);
  }
  if (cfg >= 0) {
    ::close(cfg);
    cfg = -1;
  }
  up = false;
}

bool tuntap::bring_up() {
  QUILMAR_ASSERT(ev.fd >= 0 && ! up);
  // Without a device no frame can ever arrive: that is no success.
  if (ev.fd < 0) return false;
  up = true;
  return true;
}

void tuntap::bring_down() { up = false; }

void tuntap::configure(uint32_t address, uint32_t netmask) {
  QUILMAR_ASSERT(cfg != -1);
  uint8_t request[TAPW_REQUEST_SIZE];
  memcpy(request, &address, 4);
  memcpy(request + 4, &netmask, 4);

  bool ok = false;
  errno = 0;
  ssize_t sent = send(cfg, request, sizeof request, MSG_NOSIGNAL);
  if (sent != TAPW_REQUEST_SIZE) {
    log_write("tap: config.send() failed %d %d\n", static_cast<int>(sent), errno);
  } else {
    // Room for more than the answer, so that an overlong one shows.
    uint8_t answer[8];
    errno = 0;
    ssize_t got = recv(cfg, answer, sizeof answer, 0);
    if (got != TAPW_ANSWER_SIZE) {
      log_write("tap: config.recv() failed %d %d\n", static_cast<int>(got), errno);
    } else {
      int32_t code;
      memcpy(&code, answer, sizeof code);
      if (code != 0)
        log_write("tap: bad response %08x\n", static_cast<unsigned>(code));
      else
        ok = true;
    }
  }
  owner->on_configured(ok);
}

int tuntap::write(const void *frame, int length) {
  if (ev.fd < 0) return 0;
  // A negative length would reach write() as an enormous size, and the
  // device would be handed whatever memory follows the frame.
  if (length < 0) {
    errno = EINVAL;
    return -1;
  }
  if (!vnet) return static_cast<int>(::write(ev.fd, frame, static_cast<size_t>(length)));
  const uint8_t *bytes = static_cast<const uint8_t *>(frame);
  const size_t len = static_cast<size_t>(length);
  if (joined.len && coalesce_append(joined, bytes, len)) return length;
  flush();
  if (len <= joined.capacity && coalesce_candidate(bytes, len)) {
    coalesce_start(joined, bytes, len);
    return length;
  }
  return write_with_header(bytes, len);
}

int tuntap::write_with_header(const uint8_t *frame, size_t length) {
  uint8_t header[VNET_HDR_SIZE] = {};
  iovec iov[2] = {{header, sizeof header}, {const_cast<uint8_t *>(frame), length}};
  const ssize_t n = writev(ev.fd, iov, 2);
  return n < 0 ? -1 : static_cast<int>(n > ssize_t(VNET_HDR_SIZE) ? n - ssize_t(VNET_HDR_SIZE) : 0);
}

void tuntap::flush() {
  if (!vnet || joined.len == 0 || ev.fd < 0) return;
  const size_t total = coalesce_finish(joined);
  // As for any frame written: a failure loses the packets, and TCP sends
  // them again.
  (void)!::write(ev.fd, joined.buf, total);
}

int tuntap::deliver(uint8_t *buf, size_t len) {
  if (len <= VNET_HDR_SIZE) return 1;
  vnet_hdr h;
  vnet_hdr_read(buf, h);
  uint8_t *frame = buf + VNET_HDR_SIZE;
  len -= VNET_HDR_SIZE;
  const uint8_t gso = h.gso_type & uint8_t(~VNET_GSO_ECN);
  if (gso == VNET_GSO_NONE) {
    // A checksum left to the device is ours to complete.
    if ((h.flags & VNET_F_NEEDS_CSUM) && !csum_complete(frame, len, h.csum_start, h.csum_offset))
      return 1;
    owner->on_frame(frame, static_cast<int>(len));
    return 1;
  }
  tso_plan plan;
  // Only TCP over IPv4 was offered; anything else would be a kernel's
  // mistake, and is dropped.
  if (gso != VNET_GSO_TCPV4 || !tso_prepare(frame, len, h.gso_size, plan) ||
      plan.payload_off + plan.mss > PACKET_BUFFER)
    return 1;
  uint8_t *packet = cut_area.get();
  unsigned i = 0;
  for (; i < plan.count && ev.fd >= 0 && up; ++i) {
    const size_t n = tso_build(frame, plan, i, packet);
    owner->on_frame(packet, static_cast<int>(n));
  }
  return static_cast<int>(i);
}

// The device is drained up to a budget per wake-up: under load one poll
// serves many frames, and a steady stream still leaves the loop its turn.
void tuntap::on_event(evl_event *, int events) {
  if (!(events & (EVL_READ | EVL_ERROR))) return;
  // Room behind the frame lets the owner grow it in place (Ethernet frames
  // become tunnel datagrams without a copy).
  alignas(16) uint8_t frame[FRAME_BUFFER + TAPDEV_TAILROOM];
  int frames = 0;
  ssize_t got;
  owner->on_frames_begin();
  do {
    if (vnet) {
      got = read(ev.fd, read_area.get(), VNET_HDR_SIZE + SEGMENT_BUFFER);
      if (got <= 0) break;
      // A large segment counts as the packets it is cut into.
      frames += up ? deliver(read_area.get(), static_cast<size_t>(got)) : 1;
      continue;
    }
    got = read(ev.fd, frame, FRAME_BUFFER);
    if (got <= 0) break;
    // Frames that arrive while down are consumed all the same, so that the
    // interface's queue does not fill up behind them.
    if (up) owner->on_frame(frame, static_cast<int>(got));
    ++frames;
    // The owner may have closed the device meanwhile.
  } while (frames < READ_BUDGET && ev.fd >= 0);
  const int read_error = errno;
  owner->on_frames_end();
  flush();  // nothing written during the drain waits for the next one
  errno = read_error;
  if (got > 0 || ev.fd < 0) return;
  // Nothing (more) to read yet is no failure, unless an error condition came
  // with it on the first read: that one would be reported again at once.
  bool transient = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  if (transient && (frames > 0 || !(events & EVL_ERROR))) return;
  // The interface was deleted under us, or the device failed: it will not
  // recover, and watching it further would only spin. Writes keep failing
  // quietly until the device is closed.
  int error = got < 0 ? errno : 0;
  log_write("tap: device lost - read() returned %d (%d %s), no longer reading it\n",
            static_cast<int>(got), error, error ? strerror(error) : "end of file");
  evl_unwatch(&ev);
}

void tuntap::on_timer(evl_timer *) {}

tapdev *tuntap_create(tapdev_cb *owner, const char *socket_path, bool offloads) {
  return new tuntap(owner, socket_path, offloads);
}
