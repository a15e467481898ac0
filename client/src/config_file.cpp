// Reading the `config` and `state` files and rewriting the state file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

// The longest line the files may hold, blanks at its end not counted; the
// state file is written to stay within it. A longer line is refused whole,
// since a command or name cut short would do harm without a word.
constexpr size_t kMaxLine = 127;

constexpr uint32_t kMaxKeepAliveSeconds = INT32_MAX / 1000;

bool is_blank(char c) { return c && strchr(kBlanks, c); }

// Where an entry was read, for the messages about it.
struct entry_place {
  const std::string &path;
  unsigned line;
};

void log_place(const entry_place &at, const std::string &why) {
  log_write("cfg: %s line %u: %s\n", at.path.c_str(), at.line, why.c_str());
}

// A refused entry: the line naming its key (`format`), then where it is
// and why. The load fails, but reading goes on, so that one run reports
// every bad line.
bool refuse(const char *format, const std::string &key, const entry_place &at,
            const std::string &why, bool &result) {
  log_write(format, key.c_str());
  log_place(at, why);
  result = false;
  return true;
}

const char kInvalidEntry[] = "cfg: unrecognized or invalid entry '%s'\n";
const char kGarbageEntry[] = "cfg: garbage entry '%s'\n";

// One line without its line break, at most kMaxLine characters of it;
// false at the end of the file. `too_long` tells whether more than that
// came before the break, blanks at the end of the line not counted.
bool read_line(FILE *file, std::string &line, bool &too_long) {
  line.clear();
  too_long = false;
  int c = getc(file);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = getc(file)) {
    if (line.size() < kMaxLine)
      line += char(c);
    else if (!is_blank(char(c)))
      too_long = true;
  }
  return true;
}

// Hands every entry of `path` to `apply` with its place; `apply` returns
// false to stop reading at once. Lines that are too long or hold a NUL byte
// (which would end the text early) are refused here, comments excepted. A
// missing file is not an error.
template <typename Apply>
bool for_each_entry(const std::string &path, bool &result, Apply apply) {
  FILE *file = fopen(path.c_str(), "r");
  if (!file) return true;
  std::string line;
  bool too_long, ok = true;
  for (unsigned number = 1; ok && read_line(file, line, too_long); number++) {
    const entry_place at{path, number};
    const size_t first = line.find_first_not_of(kBlanks);
    const bool comment = first != std::string::npos && line[first] == '#';
    std::string key, value;
    if (too_long && !comment) {
      log_place(at, "the line is longer than " + std::to_string(kMaxLine) + " characters");
      result = false;
    } else if (line.find('\0') != std::string::npos && !comment) {
      log_place(at, "the line holds a NUL byte");
      result = false;
    } else if (split_entry(line.c_str(), key, value)) {
      ok = apply(key, value, at);
    }
  }
  fclose(file);
  return ok;
}

bool parse_yes_no(const std::string &value, bool &out) {
  if (value != "yes" && value != "no") return false;
  out = value == "yes";
  return true;
}

bool parse_number(const std::string &value, uint64_t max, uint32_t &out) {
  uint64_t n;
  if (!text_to_number(value.c_str(), max, n)) return false;
  out = uint32_t(n);
  return true;
}

// A host name (letters, digits, hyphens, underscores, dot-separated labels of
// at most 63) or an IPv4 address; the resolver gets it as it is.
bool valid_host(const std::string &host) {
  if (host.empty() || host.size() > 253) return false;
  size_t label = 0;
  for (char c : host) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') {
      if (++label > 63) return false;
    } else {
      return false;
    }
  }
  return true;
}

// "host" or "host:port"; without a port the standard one.
bool set_server_address(config &cfg, const std::string &value) {
  const size_t colon = value.rfind(':');
  uint32_t port = default_config.server_port;
  if (colon != std::string::npos &&
      (!parse_number(value.substr(colon + 1), 65535, port) || port == 0))
    return false;
  const std::string host = value.substr(0, colon);
  if (!valid_host(host)) return false;
  cfg.server_host = host;
  cfg.server_port = port;
  return true;
}

// Returns false to stop the load at once.
bool apply_config_entry(config &cfg, const std::string &key, const std::string &value,
                        const entry_place &at, bool &result) {
  auto invalid = [&](const std::string &why) {
    return refuse(kInvalidEntry, key, at, key + " " + why, result);
  };
  if (key == "ServerAddress") {
    if (!set_server_address(cfg, value))
      return invalid("takes a host name or IPv4 address, with :port (1 to 65535) after it "
                     "when the port is not 12975");
  } else if (key == "LogFile" || key == "OnOnline" || key == "OnOffline") {
    std::string expanded = value;
    if (!expand_home(expanded))
      return invalid("may begin with ~ only as ~/, and only when HOME is set");
    (key == "LogFile" ? cfg.log_file : key == "OnOnline" ? cfg.on_online : cfg.on_offline) =
        expanded;
  } else if (key == "DummyTap") {
    if (!parse_yes_no(value, cfg.dummy_tap)) return invalid("takes yes or no");
  } else if (key == "UdpPort") {
    if (!parse_number(value, 65535, cfg.udp_port))
      return invalid("takes a port number from 0 (any) to 65535");
  } else if (key == "KeepAlive") {
    // A period the event loop cannot time (the millisecond clock compares
    // within half its range) would fire on every turn of the loop instead;
    // it is refused like 1 to 4, and so is anything but a whole number.
    uint32_t seconds;
    if (!parse_number(value, kMaxKeepAliveSeconds, seconds) || (seconds >= 1 && seconds <= 4)) {
      log_write("cfg: invalid %s value\n", key.c_str());
      log_place(at, "KeepAlive takes 0 (off) or 5 to " + std::to_string(kMaxKeepAliveSeconds) +
                        " seconds");
      return false;
    }
    cfg.keepalive = seconds * 1000;
  } else if (key == "TxRate" || key == "RxRate") {
    if (!parse_number(value, UINT32_MAX, key == "TxRate" ? cfg.tx_rate : cfg.rx_rate))
      return invalid("takes a whole number of bytes per second, 0 (no limit) to 4294967295");
  } else {
    return refuse(kInvalidEntry, key, at, "unknown key", result);
  }
  return true;
}

void apply_state_entry(config &cfg, const std::string &key, const std::string &value,
                       const entry_place &at, bool &result) {
  auto garbage = [&](const std::string &why) { refuse(kGarbageEntry, key, at, why, result); };
  if (key == "Identity") {
    // Digits and dots only: the address reader also takes blanks before a part.
    if (value.find_first_not_of("0123456789.") != std::string::npos ||
        !text_to_ip(value.c_str(), cfg.identity))
      garbage("Identity takes an IPv4 address in dotted form");
  } else if (key == "Nickname") {
    cfg.nickname = value;
  } else if (key == "RenameTo") {
    cfg.rename_to = value;
  } else if (key == "AutoLogin") {
    if (!parse_yes_no(value, cfg.auto_login)) garbage("AutoLogin takes yes or no");
  } else if (key == "OnlineNet") {
    cfg.online_nets.insert(value);
  } else {
    garbage("unknown key");
  }
}

std::string state_text(const config &cfg) {
  std::string text;
  // Names reach us from the command line and from the server. One holding a
  // line break must not add entries of its own to the file, and one too
  // long for a line would stop the next start-up: it is kept only up to the
  // break, and only as much as one line can carry.
  constexpr size_t kKeyColumns = 11;
  constexpr size_t kMaxValue = kMaxLine - kKeyColumns;
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
  return for_each_entry(cfg.cfg_path + "/config", result,
                        [&](const std::string &key, const std::string &value,
                            const entry_place &at) {
                          return apply_config_entry(cfg, key, value, at, result);
                        });
}

void load_state_file(config &cfg, bool &result) {
  for_each_entry(cfg.cfg_path + "/state", result,
                 [&](const std::string &key, const std::string &value, const entry_place &at) {
                   apply_state_entry(cfg, key, value, at, result);
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
