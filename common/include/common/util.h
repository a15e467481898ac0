// Small utilities shared by every subsystem: text forms of addresses and
// byte strings, random bytes from the cryptographic library, byte-wise XOR,
// and the gauge that counts live objects of a kind.
//
// IPv4 addresses held as numbers carry the first dotted octet in the most
// significant byte (a.b.c.d = a<<24 | b<<16 | c<<8 | d).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// A named counter of live objects. Static instances start at zero.
struct gauge {
  int current;
  int peak;
  int total;
  const char *name;  // not owned; used in the underflow message
};

void gauge_add(gauge &g, int n);
// Logs an underflow when current < n, then subtracts anyway.
void gauge_sub(gauge &g, int n);

std::string ip_to_text(uint32_t ip);
// Accepts exactly four decimal fields of at most 255 and nothing after them;
// leaves `ip` untouched on failure.
bool text_to_ip(const char *text, uint32_t &ip);
std::string endpoint_text(const sockaddr_in &sa);
// Accepts only a whole unsigned decimal number of at most `max`: digits and
// nothing else (no sign, no blanks, no unit). Leaves `out` untouched on
// failure.
bool text_to_number(const char *text, uint64_t max, uint64_t &out);
// The first min(count, length) bytes as "0a:ff:10".
std::string hex_text(const std::string &bytes, size_t count);
// Text from the network made safe for a log line: control bytes become
// "\xNN" and a backslash "\\", so a name cannot end the line or forge
// another one; every other byte is kept.
std::string escaped_text(const std::string &text);

// From the cryptographic library's generator. Should the generator fail,
// the process is stopped (a message on the log and on standard error, then
// abort) rather than handed predictable bytes.
void random_bytes(void *buf, size_t len);
void random_string(std::string &s, size_t len);
// Random bytes for values that are public once used (a frame's IV), at most
// 64 per call: handed out from a block the library fills a few KiB at a
// time, since asking it per frame costs more than the frame's encryption.
// Each thread has its own block, and a forked child starts a new one.
void random_public_bytes(void *buf, size_t len);

// out[i] = a[i] ^ b[i], walked from the last byte down, so `out` may alias
// either input.
void xor_bytes(uint8_t *out, const uint8_t *a, const uint8_t *b, size_t count);

// What a command line asks for with -h or --help, or -V or --version, in any
// place before a "--" word (help wins when both are there).
enum command_line_request { ASKED_nothing, ASKED_help, ASKED_version };
command_line_request help_or_version(int argc, char **argv);

// Buffer for one control message that carries an int.
struct int_control {
  alignas(cmsghdr) uint8_t bytes[CMSG_SPACE(sizeof(int))] = {};
};
// Attaches to `msg` one control message of `level` and `type` carrying
// `value` (a descriptor for SCM_RIGHTS, a time-to-live for IP_TTL), held in
// `control`, which must live until the message is sent.
inline void attach_int_control(msghdr &msg, int_control &control, int level, int type, int value) {
  msg.msg_control = control.bytes;
  msg.msg_controllen = sizeof control.bytes;
  cmsghdr *c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = level;
  c->cmsg_type = type;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &value, sizeof value);
}

// Big-endian (network order) numbers in byte buffers, for code that works
// on packets in place rather than through the field codec.
inline uint16_t get_be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t get_be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put_be16(uint8_t *p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void put_be32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
