// tapwarden: the privileged helper that creates a tap interface for each
// client of its socket, hands over the descriptor, and assigns the virtual
// addresses the clients ask for.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clisrv/frame_size.h"
#include "common/util.h"
#include "common/version.h"
#include "warden.h"

namespace {

// The largest MTU whose full-size packets still travel in one tunnel
// datagram over a 1500-byte network; the daemon's 1500-byte reads from the
// tap take such a frame with its Ethernet header too.
constexpr int MIN_MTU = 68;
constexpr int MAX_MTU = int(TUNNEL_MAX_MTU);
static_assert(MAX_MTU + 14 <= 1500, "a frame must fit one read of the daemon");
static_assert(DEFAULT_MTU <= MAX_MTU, "the default MTU must be one -m accepts");
constexpr int MAX_CLIENTS = 4096;

void usage(FILE *out) {
  fprintf(out,
          "usage: tapwarden [-s socket] [-g group] [-m mtu] [-n clients] [-h] [-V]\n"
          "  -s socket   listen here (default /var/run/tapwarden.sock)\n"
          "  -g group    members of this group may connect (default: root only)\n"
          "  -m mtu      MTU of the interfaces, %d to %d (default %d)\n"
          "  -n clients  serve at most this many clients at once, 1 to %d (default 32)\n"
          "  -h          print this help (also --help)\n"
          "  -V          print the version (also --version)\n",
          MIN_MTU, MAX_MTU, DEFAULT_MTU, MAX_CLIENTS);
}

bool parse_number(const char *text, int low, int high, int &out) {
  uint64_t value;
  if (!text_to_number(text, uint64_t(high), value) || value < uint64_t(low)) return false;
  out = static_cast<int>(value);
  return true;
}

bool parse_group(const char *text, gid_t &out) {
  if (group *g = getgrnam(text)) {
    out = g->gr_gid;
    return true;
  }
  int number;
  if (!parse_number(text, 0, 0x7fffffff, number)) return false;
  out = static_cast<gid_t>(number);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  switch (help_or_version(argc, argv)) {
    case ASKED_help:
      usage(stdout);
      return 0;
    case ASKED_version:
      printf("tapwarden %s\n", QUILMAR_VERSION);
      return 0;
    case ASKED_nothing:
      break;
  }
  warden_options options;
  int opt;
  while ((opt = getopt(argc, argv, "s:g:m:n:")) != -1) {
    switch (opt) {
      case 's':
        options.socket_path = optarg;
        break;
      case 'g':
        if (!parse_group(optarg, options.group)) {
          fprintf(stderr, "tapwarden: no such group '%s'\n", optarg);
          return 1;
        }
        options.group_set = true;
        break;
      case 'm':
        if (!parse_number(optarg, MIN_MTU, MAX_MTU, options.mtu)) {
          fprintf(stderr, "tapwarden: MTU must be %d to %d\n", MIN_MTU, MAX_MTU);
          return 1;
        }
        break;
      case 'n':
        if (!parse_number(optarg, 1, MAX_CLIENTS, options.max_clients)) {
          fprintf(stderr, "tapwarden: the client limit must be 1 to %d\n", MAX_CLIENTS);
          return 1;
        }
        break;
      default:
        usage(stderr);
        return 1;
    }
  }
  if (optind < argc) {
    usage(stderr);
    return 1;
  }
  return warden_run(options);
}
