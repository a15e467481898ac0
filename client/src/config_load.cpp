// Loading the whole configuration directory at daemon start-up: the
// settings and state files, the server key (a user's server.pub or the
// built-in one) with its fingerprint, and the client's own key pair.
#include <cstdio>

#include "client/config.h"
#include "client/front.h"
#include "common/codec.h"
#include "common/log.h"

bool load_config_files(config &cfg, bool &result);
void load_state_file(config &cfg, bool &result);

namespace {

constexpr size_t kMaxKeyFile = 2048;

template <typename Key, typename Parse>
bool read_key(const std::string &path, Key &key, Parse parse) {
  FILE *file = fopen(path.c_str(), "r");
  if (!file) return false;
  char bytes[kMaxKeyFile];
  size_t size = fread(bytes, 1, sizeof bytes, file);
  fclose(file);
  try {
    msg_reader reader(bytes, size);
    parse(reader, key);  // bytes after the key are ignored
    return true;
  } catch (const parser::err &) {
    return false;
  }
}

}  // namespace

bool read_key_file(const std::string &path, rsa_public_key &key) {
  return read_key(path, key, [](msg_reader &r, rsa_public_key &k) { read_public_key(r, k); });
}

bool read_key_file(const std::string &path, rsa_private_key &key) {
  return read_key(path, key, [](msg_reader &r, rsa_private_key &k) { read_private_key(r, k); });
}

bool load_config(config &cfg) {
  const std::string server_pub = cfg.cfg_path + "/server.pub";
  const std::string client_pub = cfg.cfg_path + "/client.pub";
  const std::string client_pri = cfg.cfg_path + "/client.pri";
  cfg.ipc_path = cfg.cfg_path + "/ipc_sock";
  bool result = true;

  if (!load_config_files(cfg, result)) return false;

  // server.pub is written with two-byte lengths; the fingerprint is always
  // taken over that form, whichever source the key came from.
  varint_lengths = false;
  if (read_key_file(server_pub, cfg.server_key)) {
    log_write("cfg: using server key from %s\n", server_pub.c_str());
  } else {
    varint_lengths = true;
    const std::string builtin(reinterpret_cast<const char *>(builtin_server_key),
                              builtin_server_key_size);
    msg_reader reader(builtin);
    read_public_key(reader, cfg.server_key);
    varint_lengths = false;
  }
  cfg.server_key_digest = key_fingerprint(cfg.server_key);
  varint_lengths = true;

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
