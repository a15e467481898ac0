// quilmar-init: creates the configuration directory with a fresh key pair
// and a first state file holding the nickname to enrol with.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// The three files are written beside the ones they replace and put in place
// only once all of them are on disk, so that a failure (even with -f over a
// directory whose key files are read-only) leaves the old key pair and state
// as they were, never a new public key beside an old private one.
struct new_file {
  std::string path;  // where it belongs
  std::string temp;  // where it is written first
};

// Writes `bytes` to a new file beside `path`, with `mode` as creat would
// give it (the umask applies).
bool save_file(const std::string &path, const std::string &bytes, mode_t mode,
               std::vector<new_file> &written) {
  printf("  saving %s .. ", path.c_str());
  fflush(stdout);
  // A directory in the way would refuse the rename at the end, after the
  // files before it had been replaced.
  struct stat st;
  const bool blocked = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  std::string temp = path + ".XXXXXX";
  int fd = blocked ? -1 : mkostemp(&temp[0], O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    written.push_back({path, temp});
    const mode_t mask = umask(0);
    umask(mask);
    ok = fchmod(fd, mode & ~mask) == 0 &&
         write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
  }
  result(ok);
  return ok;
}

void discard(const std::vector<new_file> &written) {
  for (const new_file &f : written) unlink(f.temp.c_str());
}

// Renames every new file over its old one; false (after a message) at the
// first that cannot be, whose index is in `failed`.
bool put_in_place(const std::vector<new_file> &written, size_t &failed) {
  for (failed = 0; failed < written.size(); failed++) {
    const new_file &f = written[failed];
    if (rename(f.temp.c_str(), f.path.c_str()) != 0) {
      printf("  replacing %s .. failed (%s)\n", f.path.c_str(), strerror(errno));
      fflush(stdout);
      return false;
    }
  }
  return true;
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
  const struct {
    std::string path, bytes;
    mode_t mode;
    int failure;  // the exit status when this file cannot be written
  } files[] = {{dir + "/client.pub", pub_bytes, 0444, -4},
               {dir + "/client.pri", pri_bytes, 0400, -5},
               {dir + "/state", "Nickname " + nickname + "\n", 0600, -6}};
  std::vector<new_file> written;
  for (const auto &f : files) {
    if (!save_file(f.path, f.bytes, f.mode, written)) {
      discard(written);
      return f.failure;
    }
  }
  size_t failed;
  if (!put_in_place(written, failed)) {
    discard({written.begin() + long(failed), written.end()});
    return files[failed].failure;
  }

  printf("\n%s", closing_text);
  fflush(stdout);
  return 0;
}
