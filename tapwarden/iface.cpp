#include "iface.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tapdev/tapwarden_msg.h"

namespace {

// Closes the descriptor when the scope ends, keeping errno intact.
struct fd_guard {
  int fd;
  ~fd_guard() {
    if (fd >= 0) {
      int saved = errno;
      close(fd);
      errno = saved;
    }
  }
};

int32_t failed(int step, const char *what, const char *name) {
  int error = errno;
  fprintf(stderr, "tapwarden: %s%s%s failed: %s\n", what, name ? " " : "", name ? name : "",
          strerror(error));
  return tapw_code(step, error);
}

void set_address(sockaddr &sa, uint32_t address) {
  sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(address);
  memcpy(&sa, &sin, sizeof sin);
}

}  // namespace

int32_t tap_create(int mtu, tap_iface &out, bool vnet_hdr) {
  fd_guard tun{open("/dev/net/tun", O_RDWR | O_CLOEXEC)};
  if (tun.fd < 0) return failed(TAPW_open_tun, "open /dev/net/tun", nullptr);

  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  ifr.ifr_flags = static_cast<short>(IFF_TAP | IFF_NO_PI | (vnet_hdr ? IFF_VNET_HDR : 0));
  snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "quilmar%%d");
  if (ioctl(tun.fd, TUNSETIFF, &ifr) < 0) return failed(TAPW_set_iff, "TUNSETIFF", nullptr);
  char name[IFNAMSIZ];
  memcpy(name, ifr.ifr_name, sizeof name);
  name[IFNAMSIZ - 1] = 0;

  fd_guard s{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (s.fd < 0) return failed(TAPW_socket, "socket(SOCK_DGRAM)", nullptr);

  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, name, sizeof name);
  ifr.ifr_mtu = mtu;
  if (ioctl(s.fd, SIOCSIFMTU, &ifr) < 0) return failed(TAPW_set_iff, "SIOCSIFMTU", name);

  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, name, sizeof name);
  if (ioctl(s.fd, SIOCGIFINDEX, &ifr) < 0) return failed(TAPW_set_iff, "SIOCGIFINDEX", name);
  int index = ifr.ifr_ifindex;

  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, name, sizeof name);
  if (ioctl(s.fd, SIOCGIFHWADDR, &ifr) < 0)
    return failed(TAPW_get_hwaddr, "SIOCGIFHWADDR", name);

  memcpy(out.mac, ifr.ifr_hwaddr.sa_data, sizeof out.mac);
  memcpy(out.name, name, sizeof name);
  out.index = index;
  out.fd = tun.fd;
  tun.fd = -1;
  return 0;
}

bool request_allowed(uint32_t address, uint32_t netmask) {
  return (address >> 24) == 5 && netmask == 0xff000000u;
}

std::string address_holder(uint32_t address, int index) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return "";  // nobody known to hold it
  std::string holder;
  for (ifaddrs *a = list; a && holder.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
    sockaddr_in sin;
    memcpy(&sin, a->ifa_addr, sizeof sin);
    // An alias label ("eth0:1") has no index of its own: someone else's.
    if (ntohl(sin.sin_addr.s_addr) == address &&
        static_cast<int>(if_nametoindex(a->ifa_name)) != index)
      holder = a->ifa_name;
  }
  freeifaddrs(list);
  return holder;
}

int32_t tap_configure(int index, uint32_t address, uint32_t netmask, std::string &name) {
  char buf[IFNAMSIZ];
  // The client may have dropped its descriptor; another client's interface
  // may since carry the same name, never the same index.
  if (!if_indextoname(static_cast<unsigned>(index), buf))
    return failed(TAPW_config_failed, "finding interface", nullptr);
  name = buf;

  fd_guard s{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (s.fd < 0) return failed(TAPW_socket, "socket(SOCK_DGRAM)", nullptr);

  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, buf, sizeof buf);
  set_address(ifr.ifr_addr, address);
  if (ioctl(s.fd, SIOCSIFADDR, &ifr) < 0) return failed(TAPW_config_failed, "SIOCSIFADDR", buf);

  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, buf, sizeof buf);
  set_address(ifr.ifr_netmask, netmask);
  if (ioctl(s.fd, SIOCSIFNETMASK, &ifr) < 0)
    return failed(TAPW_config_failed, "SIOCSIFNETMASK", buf);

  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, buf, sizeof buf);
  if (ioctl(s.fd, SIOCGIFFLAGS, &ifr) < 0) return failed(TAPW_config_failed, "SIOCGIFFLAGS", buf);
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  if (ioctl(s.fd, SIOCSIFFLAGS, &ifr) < 0) return failed(TAPW_config_failed, "SIOCSIFFLAGS", buf);
  return 0;
}
