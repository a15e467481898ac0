#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

namespace {

// Our own long options, which getopt would refuse as unknown short ones:
// they are taken out of the arguments before it runs (though not as the
// value of -c, nor after "--") and follow the command word, wherever they
// were given. Every other argument is parsed as it always was.
bool is_own_option(const char *arg) {
  return strcmp(arg, "--json") == 0 || strcmp(arg, "--names") == 0;
}

std::vector<char *> without_own_options(int argc, char **argv, std::vector<std::string> &own) {
  std::vector<char *> args;
  bool options_end = false;
  for (int i = 0; i < argc; i++) {
    const bool value_of_c = i > 0 && strcmp(argv[i - 1], "-c") == 0;
    if (i > 0 && !options_end && !value_of_c && is_own_option(argv[i]))
      own.push_back(argv[i]);
    else
      args.push_back(argv[i]);
    if (i > 0 && !value_of_c && strcmp(argv[i], "--") == 0) options_end = true;
  }
  args.push_back(nullptr);
  return args;
}

}  // namespace

int quilmar_main(int argc, char **argv) {
  config &cfg = current_config;
  std::vector<std::string> own_options;
  std::vector<char *> args = without_own_options(argc, argv, own_options);
  argc = static_cast<int>(args.size()) - 1;
  argv = args.data();
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
  // Only list and peers know them; anywhere else they stay the unknown
  // options they always were.
  if (!own_options.empty() && (words.empty() || (words[0] != "list" && words[0] != "peers")))
    usage();
  words.insert(words.begin() + 1, own_options.begin(), own_options.end());

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
