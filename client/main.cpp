#include "client/front.h"

int main(int argc, char **argv) { return quilmar_entry(argc, argv); }
