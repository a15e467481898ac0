#include "server/server.h"

int main(int argc, char **argv) { return quilmar_server_main(argc, argv); }
