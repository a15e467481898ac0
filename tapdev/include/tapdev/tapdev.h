// The virtual network device: the tap interface through which the host's
// stack reaches the virtual LAN. `tuntap` obtains the interface from the
// privileged helper tapwarden; `tapdev_dummy` stands in where there is none.
//
// The owner (the session) owns the device and implements `tapdev_cb`.
// `on_frame` runs inside evl_run; `on_configured` runs inside `configure`
// itself, before it returns. Both exchanges with tapwarden block.
#pragma once

#include <cstdint>
#include <memory>

#include "events/evl.h"
#include "netlib/tcp_offload.h"

// Bytes behind every frame handed to on_frame that the owner may use.
constexpr int TAPDEV_TAILROOM = 64;

class tapdev_cb {
 public:
  // The outcome of the last `configure`.
  virtual void on_configured(bool ok) = 0;
  // One Ethernet frame read from the interface, in the device's own read
  // buffer: the owner may rewrite it in place and use TAPDEV_TAILROOM more
  // bytes behind it. The bytes live only during the call.
  virtual void on_frame(uint8_t *frame, int length) = 0;
  // Around the on_frame calls of one wake-up (the device is drained a few
  // frames at a time): the owner may hold back what it sends for those
  // frames until the end, to send it all at once. The end always follows.
  virtual void on_frames_begin() {}
  virtual void on_frames_end() {}
};

class tapdev {
 public:
  virtual ~tapdev() {}
  // Obtains the device; false (with the reason logged) when it cannot.
  virtual bool open() = 0;
  // Releases the device and the connection to tapwarden; safe to repeat.
  virtual void close() = 0;
  // Starts delivering received frames to `on_frame`.
  virtual bool bring_up() = 0;
  // Stops delivering: frames are still read, and dropped.
  virtual void bring_down() = 0;
  // Assigns address and netmask (a.b.c.d = a<<24 | b<<16 | c<<8 | d); the
  // outcome arrives through `on_configured` before this returns.
  virtual void configure(uint32_t address, uint32_t netmask) = 0;
  // Sends one whole Ethernet frame; the system's write result, or 0 when
  // there is no device. A device with offloads may hold a TCP segment back
  // to join it with the ones that follow (it counts as written).
  virtual int write(const void *frame, int length) = 0;
  // Writes whatever `write` held back; the owner calls it when a batch of
  // writes ends, before it waits for anything.
  virtual void flush() {}

  uint8_t mac[6] = {0, 0, 0, 0, 0, 0};  // the interface's hardware address
  char name[16] = {};  // the interface's name; empty while unknown (and for the dummy)
};

// Where tapwarden listens; the daemon always uses this path.
constexpr const char *TAPWARDEN_SOCKET = "/var/run/tapwarden.sock";

// The real tap device, handed over by tapwarden.
//
// With offloads (asked for at `open` when created so, and only where
// tapwarden can give them) the device carries a virtio-net header and TCP
// segmentation offload: the kernel hands over TCP segments of up to 64 KiB,
// which are cut into packets of the interface's MTU before the owner sees
// them, and frames written are joined into such segments where they
// continue one TCP flow. The owner sees plain Ethernet frames either way.
class tuntap : public tapdev, public evl_cb {
 public:
  tuntap(tapdev_cb *owner, const char *socket_path, bool offloads);
  ~tuntap() override;

  bool open() override;
  void close() override;
  bool bring_up() override;
  void bring_down() override;
  void configure(uint32_t address, uint32_t netmask) override;
  int write(const void *frame, int length) override;
  void flush() override;

  void on_event(evl_event *ev, int events) override;
  void on_timer(evl_timer *timer) override;

  tapdev_cb *owner;
  int cfg = -1;     // connected socket to tapwarden, or -1
  evl_event ev;     // fd: the tap device, or -1
  bool up = false;  // frames reach the owner only while set
  bool vnet = false;  // the device has the virtio-net header (and offloads)

 private:
  // Asks tapwarden for a device with the header; keeps the one it has when
  // tapwarden cannot give one.
  // Adopts the device tapwarden passed, with its hardware address.
  void take_device(int fd, const uint8_t (&hwaddr)[6]);
  void ask_for_offloads();
  // Hands one frame read with its header to the owner, cut into packets
  // where it is a large segment; the number of frames handed over.
  int deliver(uint8_t *buf, size_t len);
  int write_with_header(const uint8_t *frame, size_t length);

  char path[108];  // tapwarden's socket; empty when the given one did not fit
  bool path_fits;
  bool offloads_wanted;
  // With the header: where frames are read, where packets are cut, and the
  // frame being joined. Allocated with the header, freed on close.
  std::unique_ptr<uint8_t[]> read_area, cut_area, join_area;
  tcp_coalescer joined;
};

// Accepts everything and produces nothing: for hosts without a tap device.
class tapdev_dummy : public tapdev {
 public:
  explicit tapdev_dummy(tapdev_cb *owner);

  bool open() override;
  void close() override;
  bool bring_up() override;
  void bring_down() override;
  void configure(uint32_t address, uint32_t netmask) override;
  int write(const void *frame, int length) override;

  tapdev_cb *owner;
};

// A new tuntap: not connected, no device, not up. Tests may point it at
// another tapwarden socket.
tapdev *tuntap_create(tapdev_cb *owner, const char *socket_path = TAPWARDEN_SOCKET,
                      bool offloads = false);
// A new dummy device with a random hardware address 00:ff:xx:xx:xx:xx.
tapdev *tapdev_dummy_create(tapdev_cb *owner);
