// quilmar-init: creates the configuration directory with a fresh key pair
// and a first state file holding the nickname to enrol with.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "client/front.h"
#include "common/codec.h"
#include "crypto/bignum.h"

namespace {

const char init_usage_text[] =
    "  usage: quilmar-init [-c <cfg_path>] [-f] [-n <nickname>]\n"
    "\n"
    "  -c      overrides default configuration directory (~/.quilmar)\n"
    "  -f      forces initialization even if the target path exists\n"
    "  -n      specifies nickname to use (defaults to 'anonymous' otherwise)\n"
    "\n"
    "  quilmar-init generates unique authentication information that is later\n"
    "  used to create and maintain an account on Quilmar mediation servers.\n"
    "\n";

const char closing_text[] =
    "Authentication information has been created. Quilmar can now be started with\n"
    "'quilmar start' command and then brought online with 'quilmar login'.\n\n";

// Key generation shows no progress.
struct keygen_cb : rsa_keygen_cb {
  void progress() override {}
};

void say(const char *text) {
  fputs(text, stdout);
  fflush(stdout);
}

void result(bool ok) {
  puts(ok ? "ok" : "failed");
  fflush(stdout);
}

// Creates the file with `mode` and writes all of `bytes` in one write.
bool save_file(const std::string &path, const std::string &bytes, mode_t mode) {
  printf("  saving %s .. ", path.c_str());
  fflush(stdout);
  int fd = creat(path.c_str(), mode);
  bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  if (fd >= 0 && close(fd) != 0) ok = false;
  result(ok);
  return ok;
}

}  // namespace

int quilmar_init_main(int argc, char **argv) {
  std::string dir = "~/.quilmar";
  std::string nickname = "anonymous";
  bool force = false;
  opterr = 0;
  int opt;
  while ((opt = getopt(argc, argv, "c:fn:")) != -1) {
    switch (opt) {
      case 'c':
        dir = optarg;
        break;
      case 'f':
        force = true;
        break;
      case 'n':
        nickname = optarg;
        break;
      default:
        printf("%s", banner);
        printf("%s", init_usage_text);
        fflush(stdout);
        return 1;
    }
  }

  if (!expand_home(dir)) {
    printf("%s: path %s is invalid\n", argv[0], dir.c_str());
    return -1;
  }
  if (!force && path_exists(dir)) {
    printf("%s: path %s already exists (use -f to force using it)\n", argv[0], dir.c_str());
    return -1;
  }
  printf("Initializing Quilmar configuration (%s). Please wait ..\n\n", dir.c_str());

  say("  generating 2048-bit RSA keypair .. ");
  rsa_public_key pub;
  rsa_private_key pri;
  keygen_cb progress;
  bool generated = rsa_generate(2048, 65537, progress, pub, pri);
  result(generated);
  if (!generated) return -2;

  printf("  making %s directory .. ", dir.c_str());
  fflush(stdout);
  bool made = make_dir(dir);
  result(made);
  if (!made) return -3;

  varint_lengths = true;
  std::string pub_bytes, pri_bytes;
  write_public_key(pub_bytes, pub);
  write_private_key(pri_bytes, pri);
  if (!save_file(dir + "/client.pub", pub_bytes, 0444)) return -4;
  if (!save_file(dir + "/client.pri", pri_bytes, 0400)) return -5;
  if (!save_file(dir + "/state", "Nickname " + nickname + "\n", 0600)) return -6;

  printf("\n%s", closing_text);
  fflush(stdout);
  return 0;
}
