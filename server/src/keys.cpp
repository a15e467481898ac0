// The server's key pair on disk, and `quilmar-server init`.
//
//   DIR/server.key  the private key, serialised as the client's key files
//                   are (tag 0x01, 7-bit-group lengths), mode 0600
//   DIR/server.pub  the public key with two-byte lengths, the form a client
//                   reads as ~/.quilmar/server.pub
//   DIR/server.db   the store
#include "keys.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/codec.h"
#include "common/log.h"
#include "store.h"

extern const unsigned char demo_server_pri[];
extern const size_t demo_server_pri_size;
extern const unsigned char demo_server_pub[];
extern const size_t demo_server_pub_size;

namespace {

constexpr size_t MAX_KEY_FILE = 8192;

struct quiet_keygen : rsa_keygen_cb {
  void progress() override {}
};

bool read_file(const std::string &path, std::string &bytes) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[MAX_KEY_FILE];
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  bytes.assign(buf, n);
  return true;
}

// Creates the file (it must not exist) and writes all of it.
bool write_new_file(const std::string &path, const std::string &bytes, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(path.c_str());
  return ok;
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The directory holds the private key and the store of every password: an
// existing one that others may read or enter is closed to them, and the
// operator is told.
bool private_to_owner(const std::string &dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "quilmar-server: %s is not a directory\n", dir.c_str());
    return false;
  }
  const mode_t mode = st.st_mode & 07777;
  if ((mode & 077) == 0) return true;
  if (chmod(dir.c_str(), 0700) != 0) {
    fprintf(stderr, "quilmar-server: cannot change the mode of %s to 0700: %s\n", dir.c_str(),
            strerror(errno));
    return false;
  }
  printf("changed the mode of %s from %04o to 0700\n", dir.c_str(), unsigned(mode));
  return true;
}

}  // namespace

std::string key_path(const std::string &dir) { return dir + "/server.key"; }
std::string pub_path(const std::string &dir) { return dir + "/server.pub"; }
std::string store_path(const std::string &dir) { return dir + "/server.db"; }

std::string store_url_path(const std::string &dir) { return dir + "/store.url"; }

std::string recorded_store_url(const std::string &dir) {
  std::ifstream f(store_url_path(dir));
  std::string url;
  std::getline(f, url);
  return url;
}

bool record_store_url(const std::string &dir, const std::string &url) {
  const std::string path = store_url_path(dir);
  if (url.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const std::string line = url + "\n";
  const bool ok = fd >= 0 && fchmod(fd, 0600) == 0 &&
                  write(fd, line.data(), line.size()) == ssize_t(line.size());
  if (fd >= 0) close(fd);
  if (!ok) fprintf(stderr, "quilmar-server: cannot write %s: %s\n", path.c_str(), strerror(errno));
  return ok;
}

bool demo_keys(rsa_public_key &pub, rsa_private_key &pri) {
  // Both halves are kept as keys/README.md describes: 7-bit-group lengths.
  const std::string pri_bytes(reinterpret_cast<const char *>(demo_server_pri),
                              demo_server_pri_size);
  const std::string pub_bytes(reinterpret_cast<const char *>(demo_server_pub),
                              demo_server_pub_size);
  try {
    msg_reader rp(pri_bytes);
    read_private_key(rp, pri);
    msg_reader rq(pub_bytes);
    read_public_key(rq, pub);
  } catch (const parser::err &) {
    return false;
  }
  return pub.n == pri.n;
}

bool is_demo_key(const rsa_public_key &pub) {
  rsa_public_key demo_pub;
  rsa_private_key demo_pri;
  return demo_keys(demo_pub, demo_pri) && demo_pub.n == pub.n;
}

bool load_server_keys(const std::string &dir, rsa_public_key &pub, rsa_private_key &pri) {
  std::string bytes;
  if (!read_file(key_path(dir), bytes)) {
    fprintf(stderr, "quilmar-server: cannot read %s: %s (run 'quilmar-server init -d %s' first)\n",
            key_path(dir).c_str(), strerror(errno), dir.c_str());
    return false;
  }
  try {
    msg_reader r(bytes);
    read_private_key(r, pri);
  } catch (const parser::err &) {
    fprintf(stderr, "quilmar-server: %s is not a server key\n", key_path(dir).c_str());
    return false;
  }
  // The public half is the one we hand out; it must belong to this key.
  std::string pub_bytes;
  bool ok = read_file(pub_path(dir), pub_bytes);
  if (ok) {
    varint_lengths = false;
    try {
      msg_reader r(pub_bytes);
      read_public_key(r, pub);
    } catch (const parser::err &) {
      ok = false;
    }
    varint_lengths = true;
  }
  if (!ok || pub.n != pri.n) {
    fprintf(stderr, "quilmar-server: %s is missing or does not match %s\n",
            pub_path(dir).c_str(), key_path(dir).c_str());
    return false;
  }
  return true;
}

int init_server_dir(const std::string &dir) {
  if (exists(key_path(dir))) {
    fprintf(stderr, "quilmar-server: %s already holds a server key; nothing changed\n",
            dir.c_str());
    return 1;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    fprintf(stderr, "quilmar-server: cannot create %s: %s\n", dir.c_str(), strerror(errno));
    return 1;
  }
  if (!private_to_owner(dir)) return 1;
  printf("generating a 2048-bit RSA key pair .. ");
  fflush(stdout);
  quiet_keygen cb;
  rsa_public_key pub;
  rsa_private_key pri;
  if (!rsa_generate(2048, 65537, cb, pub, pri)) {
    puts("failed");
    return 1;
  }
  puts("ok");
  std::string pri_bytes, pub_bytes;
  write_private_key(pri_bytes, pri);
  varint_lengths = false;
  write_public_key(pub_bytes, pub);
  varint_lengths = true;
  if (!write_new_file(key_path(dir), pri_bytes, 0600)) {
    fprintf(stderr, "quilmar-server: cannot write %s: %s\n", key_path(dir).c_str(),
            strerror(errno));
    return 1;
  }
  unlink(pub_path(dir).c_str());  // a stale public half from an earlier key
  if (!write_new_file(pub_path(dir), pub_bytes, 0644)) {
    fprintf(stderr, "quilmar-server: cannot write %s: %s\n", pub_path(dir).c_str(),
            strerror(errno));
    unlink(key_path(dir).c_str());
    return 1;
  }
  if (!open_sqlite_store(store_path(dir))) {
    fprintf(stderr, "quilmar-server: cannot create the store %s\n", store_path(dir).c_str());
    return 1;
  }
  printf("server key:  %s (keep it secret)\n"
         "public key:  %s\n"
         "store:       %s\n"
         "\n"
         "Every client of this server needs %s\n"
         "copied to ~/.quilmar/server.pub, and the line\n"
         "  ServerAddress <this server's host name or address>\n"
         "in ~/.quilmar/config. Start the server with\n"
         "  quilmar-server run -d %s\n",
         key_path(dir).c_str(), pub_path(dir).c_str(), store_path(dir).c_str(),
         pub_path(dir).c_str(), dir.c_str());
  return 0;
}
