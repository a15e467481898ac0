// The hostile member of hostile_member.sh: a client that speaks the server
// protocol itself (no daemon, no tap), so that nothing on its side slows it
// down. It enrols, joins a network, and then for a number of seconds goes
// online and offline in it as fast as the server lets it (each request
// waits for its reply, 40 frames a second stay under the server's flood
// limit) and, every fourth request, tries a wrong password on another
// network.
//
//   hostile_member_client SERVER_ADDR SERVER_PUB LOCAL_ADDR NETWORK PASSWORD
//                         OTHER_NETWORK SECONDS
//
// Prints "changes N refused N guesses N denied N" and exits with 0 when
// the server answered it throughout, 1 when it did not, 2 on bad arguments.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common/util.h"
#include "proto_client.h"
#include "tempdir.h"

namespace {

using steady = std::chrono::steady_clock;

bool load_server_key(const char *path, rsa_public_key &key) {
  const std::string bytes = read_file(path);
  varint_lengths = false;  // server.pub has two-byte lengths
  bool ok = true;
  try {
    msg_reader r(bytes);
    read_public_key(r, key);
  } catch (const parser::err &) {
    ok = false;
  }
  varint_lengths = true;
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  proto_client mallory;
  uint32_t local = 0;
  if (argc != 8 || !text_to_ip(argv[1], mallory.server_addr) || !text_to_ip(argv[3], local) ||
      !load_server_key(argv[2], mallory.server_key)) {
    fprintf(stderr, "usage: hostile_member_client SERVER_ADDR SERVER_PUB LOCAL_ADDR NETWORK "
                    "PASSWORD OTHER_NETWORK SECONDS\n");
    return 2;
  }
  const std::string net = argv[4], other = argv[6];
  if (!mallory.login_new(srv::DEFAULT_PORT, "mallory", local) ||
      mallory.join(net, argv[5]) != srv::STATUS_ok) {
    fprintf(stderr, "hostile_member_client: cannot log in and join %s\n", net.c_str());
    return 1;
  }
  const auto end = steady::now() + std::chrono::seconds(atoi(argv[7]));
  auto next = steady::now();
  int changes = 0, refused = 0, guesses = 0, denied = 0;
  bool online = false;
  for (int i = 0; steady::now() < end; i++) {
    uint8_t status;
    if (i % 4 == 3) {
      status = mallory.join(other, "guess-" + std::to_string(i));
      (status == srv::RESULT_access_denied ? denied : guesses)++;
    } else {
      status = mallory.netop(net, online ? srv::NETOP_offline : srv::NETOP_online);
      if (status == srv::STATUS_ok) online = !online;
      (status == srv::STATUS_ok ? changes : refused)++;
    }
    if (status == 0) break;  // no answer: the server has let us go
    mallory.queued.clear();  // network messages, punches, introductions
    next += std::chrono::milliseconds(25);
    std::this_thread::sleep_until(next);
  }
  printf("changes %d refused %d guesses %d denied %d\n", changes, refused, guesses, denied);
  return steady::now() >= end ? 0 : 1;
}
