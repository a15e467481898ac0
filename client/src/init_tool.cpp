#include <cstdio>

#include "client/front.h"

int quilmar_init_main(int, char **argv) {
  printf("%s: key generation is not built yet\n", argv[0]);
  return -1;
}
