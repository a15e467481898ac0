#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "common/util.h"

namespace {
const char hex_digits[] = "0123456789abcdef";
}

std::string ip_to_text(uint32_t ip) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xff,
           (ip >> 8) & 0xff, ip & 0xff);
  return buf;
}

bool text_to_ip(const char *text, uint32_t &ip) {
  // Fields are read wider than 32 bits so that an oversized one cannot
  // wrap around into range, and a minus sign (which the conversion would
  // turn into a wrapped-around value) is refused outright.
  if (strchr(text, '-')) return false;
  unsigned long a, b, c, d;
  int consumed = 0;
  if (sscanf(text, "%lu.%lu.%lu.%lu%n", &a, &b, &c, &d, &consumed) != 4) return false;
  if (text[consumed] != '\0') return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  ip = uint32_t(a << 24 | b << 16 | c << 8 | d);
  return true;
}

bool text_to_number(const char *text, uint64_t max, uint64_t &out) {
  if (!*text) return false;
  uint64_t value = 0;
  for (const char *p = text; *p; p++) {
    if (*p < '0' || *p > '9') return false;
    const unsigned digit = unsigned(*p - '0');
    if (digit > max || value > (max - digit) / 10) return false;  // value * 10 + digit > max
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

command_line_request help_or_version(int argc, char **argv) {
  command_line_request asked = ASKED_nothing;
  for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) return ASKED_help;
    if (strcmp(argv[i], "-V") == 0 || strcmp(argv[i], "--version") == 0) asked = ASKED_version;
  }
  return asked;
}

std::string endpoint_text(const sockaddr_in &sa) {
  char port[8];
  snprintf(port, sizeof port, ":%u", unsigned(ntohs(sa.sin_port)));
  return ip_to_text(ntohl(sa.sin_addr.s_addr)) + port;
}

std::string hex_text(const std::string &bytes, size_t count) {
  size_t n = count < bytes.size() ? count : bytes.size();
  std::string out;
  out.reserve(n * 3);
  for (size_t i = 0; i < n; i++) {
    if (i) out += ':';
    uint8_t byte = static_cast<uint8_t>(bytes[i]);
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 15];
  }
  return out;
}

std::string escaped_text(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    uint8_t byte = static_cast<uint8_t>(c);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += hex_digits[byte >> 4];
      out += hex_digits[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}
