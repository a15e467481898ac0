// Reading the `config` and `state` files and rewriting the state file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/config.h"
#include "client/front.h"
#include "common/codec.h"
#include "common/log.h"
#include "common/util.h"

namespace {

const char kBlanks[] = " \t\r\n";

// Lines are read at most this many characters at a time; the rest of a
// longer line is read as a line of its own.
constexpr size_t kMaxLinePiece = 127;

constexpr uint32_t kMaxKeepAliveSeconds = INT32_MAX / 1000;

bool is_blank(char c) { return c && strchr(kBlanks, c); }

// Hands every line of `path` to `apply` in pieces of at most 127 characters,
// the way the files have always been read. A missing file is not an error.
template <typename Apply>
bool for_each_entry(const std::string &path, Apply apply) {
  FILE *file = fopen(path.c_str(), "r");
  if (!file) return true;
  char line[kMaxLinePiece + 1];
  bool ok = true;
  while (ok && fgets(line, sizeof line, file)) {
    std::string key, value;
    if (split_entry(line, key, value)) ok = apply(key, value);
  }
  fclose(file);
  return ok;
}

// Numbers are read as sscanf reads them; false when none can be read.
bool scan_u32(const std::string &value, uint32_t &out) {
  unsigned n;
  if (sscanf(value.c_str(), "%u", &n) != 1) return false;
  out = n;
  return true;
}

bool scan_rate(const std::string &value, uint32_t &out) {
  unsigned long n;
  if (sscanf(value.c_str(), "%lu", &n) != 1) return false;
  out = uint32_t(n);
  return true;
}

// "host" or "host:port". A text after the last colon that is not a port
// number from 1 to 65535 stays part of the host name, as before ports could
// be given; the port is otherwise the standard one.
void set_server_address(config &cfg, const std::string &value) {
  size_t colon = value.rfind(':');
  if (colon != std::string::npos && colon > 0 && colon + 1 < value.size() &&
      value.size() - colon - 1 <= 5 &&
      value.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    unsigned long port = strtoul(value.c_str() + colon + 1, nullptr, 10);
    if (port >= 1 && port <= 65535) {
      cfg.server_host = value.substr(0, colon);
      cfg.server_port = static_cast<uint32_t>(port);
      return;
    }
  }
  cfg.server_host = value;
  cfg.server_port = default_config.server_port;
}

bool apply_config_entry(config &cfg, const std::string &key, const std::string &value,
                        bool &result) {
  uint32_t number;
  if (key == "ServerAddress") {
    set_server_address(cfg, value);
  } else if (key == "LogFile") {
    cfg.log_file = value;
  } else if (key == "DummyTap") {
    cfg.dummy_tap = value == "yes";
  } else if (key == "UdpPort") {
    scan_u32(value, cfg.udp_port);
  } else if (key == "OnOnline" || key == "OnOffline") {
    std::string command = value;
    if (!expand_home(command)) {
      log_write("cfg: unrecognized or invalid entry '%s'\n", key.c_str());
      result = false;
    } else {
      (key == "OnOnline" ? cfg.on_online : cfg.on_offline) = command;
    }
  } else if (key == "KeepAlive") {
    // A period the event loop cannot time (the millisecond clock compares
    // within half its range) would fire on every turn of the loop instead,
    // and "-1" reads as the largest number; both are refused like 1 to 4.
    if (!scan_u32(value, number) || (number >= 1 && number <= 4) ||
        number > kMaxKeepAliveSeconds) {
      log_write("cfg: invalid %s value\n", key.c_str());
      return false;
    }
    cfg.keepalive = number * 1000;
  } else if (key == "TxRate") {
    scan_rate(value, cfg.tx_rate);
  } else if (key == "RxRate") {
    scan_rate(value, cfg.rx_rate);
  } else if (key == "StrictSource") {
    cfg.strict_source = value == "yes";
  } else {
    log_write("cfg: unrecognized or invalid entry '%s'\n", key.c_str());
    result = false;
  }
  return true;
}

void apply_state_entry(config &cfg, const std::string &key, const std::string &value,
                       bool &result) {
  if (key == "Identity") {
    text_to_ip(value.c_str(), cfg.identity);
  } else if (key == "Nickname") {
    cfg.nickname = value;
  } else if (key == "RenameTo") {
    cfg.rename_to = value;
  } else if (key == "AutoLogin") {
    cfg.auto_login = value == "yes";
  } else if (key == "OnlineNet") {
    cfg.online_nets.insert(value);
  } else {
    log_write("cfg: garbage entry '%s'\n", key.c_str());
    result = false;
  }
}

std::string state_text(const config &cfg) {
  std::string text;
  // Names reach us from the command line and from the server. One holding a
  // line break, or one long enough that the reader takes the rest of its
  // line as a line of its own, must not add entries of its own to the file
  // (a stray line would even stop the next start-up as garbage): it is kept
  // only up to the break, and only as much as one line can carry.
  constexpr size_t kKeyColumns = 11;
  constexpr size_t kMaxValue = kMaxLinePiece - kKeyColumns;
  auto line = [&](const char *key, const std::string &value) {
    char padded[16];
    snprintf(padded, sizeof padded, "%-11s", key);
    size_t length = std::min(value.find('\n'), kMaxValue);
    text += padded + value.substr(0, length) + "\n";
  };
  if (cfg.identity != default_config.identity) line("Identity", ip_to_text(cfg.identity));
  if (cfg.nickname != default_config.nickname) line("Nickname", cfg.nickname);
  if (cfg.rename_to != default_config.rename_to) line("RenameTo", cfg.rename_to);
  if (cfg.auto_login != default_config.auto_login) line("AutoLogin", "yes");
  for (const std::string &net : cfg.online_nets) line("OnlineNet", net);
  return text;
}

bool write_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

bool split_entry(const char *line, std::string &key, std::string &value) {
  const char *p = line;
  while (is_blank(*p)) p++;
  if (!*p || *p == '#') return false;
  const char *end = p + strlen(p);
  while (end > p && is_blank(end[-1])) end--;
  const char *key_end = p;
  while (key_end < end && *key_end != ' ' && *key_end != '\t') key_end++;
  if (key_end == end) return false;
  const char *v = key_end;
  while (v < end && is_blank(*v)) v++;
  key.assign(p, key_end);
  value.assign(v, end);
  return true;
}

bool load_config_files(config &cfg, bool &result) {
  bool ok = for_each_entry(cfg.cfg_path + "/config", [&](const std::string &key,
                                                         const std::string &value) {
    return apply_config_entry(cfg, key, value, result);
  });
  return ok && expand_home(cfg.log_file);
}

void load_state_file(config &cfg, bool &result) {
  for_each_entry(cfg.cfg_path + "/state", [&](const std::string &key, const std::string &value) {
    apply_state_entry(cfg, key, value, result);
    return true;
  });
}

// The new content goes to a private temporary file that replaces the old
// state only once it is completely on disk: a crash or a full disk in the
// middle leaves the previous state file as it was.
bool save_state(const config &cfg) {
  const std::string path = cfg.cfg_path + "/state";
  std::string temp = path + ".XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);  // mode 0600
  if (fd < 0) {
    log_write("cfg: failed to open %s for writing\n", path.c_str());
    return false;
  }
  bool written = write_all(fd, state_text(cfg)) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temp.c_str(), path.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    log_write("cfg: failed to write %s (%s)\n", path.c_str(), strerror(error));
    unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  int dir = open(cfg.cfg_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}
