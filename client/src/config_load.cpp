// Loading the whole configuration directory at daemon start-up: the
// settings and state files, the server key (a user's server.pub or the
// built-in one) with its fingerprint, and the client's own key pair.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/config.h"
#include "client/front.h"
#include "common/codec.h"
#include "common/log.h"

bool load_config_files(config &cfg, bool &result);
void load_state_file(config &cfg, bool &result);

namespace {

constexpr size_t kMaxKeyFile = 2048;

template <typename Key, typename Parse>
bool parse_key(const std::string &bytes, Key &key, Parse parse) {
  try {
    msg_reader reader(bytes);
    parse(reader, key);  // bytes after the key are ignored
    return true;
  } catch (const parser::err &) {
    return false;
  }
}

// Reads at most kMaxKeyFile bytes of `path`; false when it cannot be opened
// (errno tells why).
bool read_key_bytes(const std::string &path, std::string &bytes) {
  FILE *file = fopen(path.c_str(), "r");
  if (!file) return false;
  char buf[kMaxKeyFile];
  bytes.assign(buf, fread(buf, 1, sizeof buf, file));
  fclose(file);
  return true;
}

bool parse_public(const std::string &bytes, rsa_public_key &key) {
  rsa_public_key parsed;
  if (!parse_key(bytes, parsed, [](msg_reader &r, rsa_public_key &k) { read_public_key(r, k); }))
    return false;
  if (parsed.n.is_zero() || parsed.e.is_zero()) return false;  // verifies nothing
  key = parsed;
  return true;
}

// The key that vouches for the server: server.pub, else the built-in one.
// False only when the daemon must not start (server.pub is there but
// unusable); without any key, `cfg.server_key_digest` stays empty.
bool load_server_key(config &cfg) {
  const std::string path = cfg.cfg_path + "/server.pub";
  std::string bytes;
  // server.pub is written with two-byte lengths, and the fingerprint is
  // always taken over that form.
  varint_lengths = false;
  bool ok = true;
  if (read_key_bytes(path, bytes)) {
    ok = parse_public(bytes, cfg.server_key);
    if (ok)
      log_write("cfg: using server key from %s\n", path.c_str());
    else
      log_write("cfg: %s is not a valid server key\n", path.c_str());
  } else if (errno != ENOENT) {
    log_write("cfg: cannot read %s: %s\n", path.c_str(), strerror(errno));
    ok = false;
  } else if (builtin_server_key_size != 0) {
    const std::string builtin(reinterpret_cast<const char *>(builtin_server_key),
                              builtin_server_key_size);
    // Checked when it was built in; still, it is never taken half-read.
    ok = parse_public(builtin, cfg.server_key);
    QUILMAR_ASSERT(ok);
  } else {
    log_write("cfg: no server key: %s is missing\n", path.c_str());
    cfg.server_key = rsa_public_key();
  }
  cfg.server_key_digest = ok && !cfg.server_key.n.is_zero() ? key_fingerprint(cfg.server_key) : "";
  varint_lengths = true;
  return ok;
}

}  // namespace

bool read_key_file(const std::string &path, rsa_public_key &key) {
  std::string bytes;
  return read_key_bytes(path, bytes) &&
         parse_key(bytes, key, [](msg_reader &r, rsa_public_key &k) { read_public_key(r, k); });
}

bool read_key_file(const std::string &path, rsa_private_key &key) {
  std::string bytes;
  return read_key_bytes(path, bytes) &&
         parse_key(bytes, key, [](msg_reader &r, rsa_private_key &k) { read_private_key(r, k); });
}

bool load_config(config &cfg) {
  const std::string client_pub = cfg.cfg_path + "/client.pub";
  const std::string client_pri = cfg.cfg_path + "/client.pri";
  cfg.ipc_path = cfg.cfg_path + "/ipc_sock";
  bool result = true;

  if (!load_config_files(cfg, result)) return false;

  if (!load_server_key(cfg)) return false;

  if (!read_key_file(client_pub, cfg.client_pub)) {
    log_write("cfg: failed to load %s key (pub)\n", client_pub.c_str());
    return false;
  }
  if (!read_key_file(client_pri, cfg.client_pri)) {
    log_write("cfg: failed to load %s key (pri)\n", client_pri.c_str());
    return false;
  }

  load_state_file(cfg, result);
  return result;
}
