#include <cstdio>

#include "client/front.h"

// The daemon has no control server yet, so no daemon can be reached.
int client_main(const std::vector<std::string> &) {
  puts("Quilmar does not seem to be running. Have you run 'quilmar start' ?");
  return -2;
}
