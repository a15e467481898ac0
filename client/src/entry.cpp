#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "client/config.h"
#include "client/control.h"
#include "client/front.h"
#include "common/version.h"

config current_config;
const config default_config;

const char banner[] =
    "Quilmar, a zero-config virtual private networking utility, ver " QUILMAR_VERSION "\n\n";

static const char usage_text[] =
    "  usage: quilmar [-c <cfg_path>] [command]\n"
    "\n"
    "  -c         overrides default configuration directory (~/.quilmar)\n"
    "  command    specifies an action. Can be one of the following -\n"
    "\n"
    "             #  start [debug]\n"
    "                stop\n"
    "             #  set-nick <nickname>\n"
    "                login\n"
    "                logout\n"
    "             #  list\n"
    "                get-nicks\n"
    "             #  create <network> [<password>]\n"
    "                delete <network>\n"
    "                evict  <network> <5.x.x.x>\n"
    "             #  join   <network> [<password>]\n"
    "                leave  <network>\n"
    "             #  go-online <network>\n"
    "                go-offline <network>\n"
    "\n"
    "  If no command is specified, quilmar displays its status including version,\n"
    "  pid, online status and the nickname\n"
    "\n";

void usage() {
  printf("%s", banner);
  printf("%s", usage_text);
  fflush(stdout);
  exit(1);
}

// Under any other name the program has no role: that is an error, and a
// script that runs it so must see one in the exit status.
static int wrong_name() {
  puts("error: must be run as 'quilmar' or 'quilmar-init'");
  return 1;
}

int quilmar_entry(int argc, char **argv) {
  // Anyone can exec us with an empty argument vector: no name, no role.
  if (argc < 1 || !argv[0]) return wrong_name();
  const char *slash = strrchr(argv[0], '/');
  if (slash) argv[0] = const_cast<char *>(slash + 1);
  if (strcmp(argv[0], "quilmar-init") == 0) return quilmar_init_main(argc, argv);
  if (strcmp(argv[0], "quilmar") == 0) return quilmar_main(argc, argv);
  return wrong_name();
}

int quilmar_main(int argc, char **argv) {
  config &cfg = current_config;
  opterr = 0;
  int opt;
  while ((opt = getopt(argc, argv, "c:dhLV")) != -1) {
    switch (opt) {
      case 'c':
        cfg.cfg_path = optarg;
        break;
      case 'V':
        printf("%s", banner);
        return 0;
      case 'L':
        printf("%s", banner);
        printf("This is free software, provided as is, without any warranty.\n");
        return 0;
      default:
        usage();
    }
  }
  std::vector<std::string> words(argv + optind, argv + argc);

  if (!expand_home(cfg.cfg_path)) {
    printf("Configuration path %s is invalid\n", cfg.cfg_path.c_str());
    return -1;
  }
  if (!path_exists(cfg.cfg_path)) {
    printf("Cannot find configuration directory %s. Have you run 'quilmar-init' ?\n",
           cfg.cfg_path.c_str());
    return -1;
  }
  if (!words.empty() && words[0] == "start") return daemon_main(words);
  return cli_main(words);
}
