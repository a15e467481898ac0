// The messages between a client and its mediation server, written once for
// both ends: type codes, status and result codes, item tags, and the layout
// of every body. The client's session builds what the server reads and
// reads what the server builds, with the same functions.
//
// A frame is an 8-byte header (a length word, or over UDP the channel
// identifier, then a sequence word), one type byte and the body. The
// channel protection (msg_crypto) works on whole frames; the functions here
// only append bodies to a frame begun with frame_begin, and read them from a
// reader that frame_type has positioned after the type byte.
//
// Replies that start with a status byte carry the status outside their
// record: the writer puts it with put_u8 and, when it is STATUS_ok, the
// record after it; the reader takes the status with get_u8 first (the
// client must record it before anything else can fail) and reads the
// record only for STATUS_ok. Every get_* throws parser::err on a shortage;
// whether bytes may follow is the caller's decision (at_end).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clisrv/frame_size.h"
#include "common/codec.h"
#include "crypto/bignum.h"

namespace srv {

constexpr size_t FRAME_HEADER_SIZE = MSG_CRYPTO_HEADER;  // length or channel word, sequence word
constexpr uint8_t PROTOCOL_VERSION = 2;
constexpr uint16_t DEFAULT_PORT = 12975;
// Largest frame body the TCP framing accepts (after the length word).
constexpr uint32_t MAX_FRAME = 262144;

// Message types. Codes shared by a request and its reply name both.
enum msg_type : uint8_t {
  MSG_helo = 1,       // helo / helo.ok
  MSG_auth = 2,       // auth / auth.ok
  MSG_enroll = 3,     // enroll / enrl.ok
  MSG_sync = 5,       // sync / sync.ok
  MSG_create = 6,
  MSG_modify = 7,
  MSG_delete = 8,
  MSG_join = 9,
  MSG_netop = 10,
  MSG_redirect = 14,  // server to client only
  MSG_keepalive = 15, // client to server only
  MSG_network = 16,   // server to client only
  MSG_evicted = 18,   // server to client only
  MSG_change = 22,
  MSG_discovery = 24, // discovery / disc.ok, disc.retry, disc.failed
  MSG_punch = 25,     // server to client only
  MSG_udp_probe = 26, // server to client only
  MSG_udp_probe_ok = 27,  // client to server only
  MSG_peer = 28,      // peer.ok / peer.unreachable, server to client only
  MSG_info = 29,
};

// Status bytes of replies.
enum : uint8_t {
  STATUS_ok = 1,
  STATUS_refused = 2,    // helo with another protocol version or server key
  STATUS_again = 4,      // connect again at once (a redirect, or a busy server)
  // 5 to 14 (and 129) on a login reply: refused for good, no reconnection.
  STATUS_unknown_identity = 5,  // auth of an identity the server never enrolled
  STATUS_bad_signature = 6,     // the handshake signature does not verify
  STATUS_bad_key = 7,           // enroll with an unusable public key
  STATUS_bad_message = 8,       // a login message the server could not use
  STATUS_awaiting_approval = 9, // enroll of a key an administrator has not approved yet
  STATUS_enrolment_closed = 10, // enroll while the server takes no new keys
  STATUS_disc_retry = 128,      // discovery: send it again
  STATUS_banned = 129,          // refused for good
};

// True for a login refusal after which the client must not reconnect.
inline bool status_is_final(uint8_t status) {
  return (status >= 5 && status <= 14) || status == STATUS_banned;
}

// Result codes of network operations (the client's command line explains
// each of them to the user).
enum : uint8_t {
  RESULT_name_taken = 15,         // create
  RESULT_delete_not_found = 18,   // delete
  RESULT_not_owner = 19,          // delete
  RESULT_join_not_found = 20,     // join
  RESULT_join_owner = 21,         // join: the owner is a member already
  RESULT_already_member = 22,     // join
  RESULT_access_denied = 23,      // join
  RESULT_bad_password = 24,       // join
  RESULT_network_full = 25,       // join
  RESULT_netop_not_found = 26,    // netop
  RESULT_not_member = 27,         // netop
  RESULT_already_online = 28,     // netop 1
  RESULT_already_offline = 29,    // netop 2
  RESULT_owner_cannot_leave = 31, // netop 3
  RESULT_modify_not_found = 252,  // modify
  RESULT_modify_denied = 253,     // modify
  // Ours, after the codes every client knows (older clients show the number).
  RESULT_too_fast = 32,           // too many such requests lately: try again shortly
  RESULT_too_many_networks = 33,  // create, join: in as many networks as the server allows
};

// netop operations.
enum : uint8_t { NETOP_online = 1, NETOP_offline = 2, NETOP_leave = 3 };

// Items of a network message.
enum : uint8_t {
  NET_owner = 1,           // an address
  NET_member_added = 2,    // each of these four: an address list
  NET_member_online = 3,
  NET_member_offline = 4,
  NET_member_removed = 5,
};

// What a change message changes, and the attributes of info.
enum : uint8_t { CHANGE_nickname = 16 };
enum : uint8_t { INFO_nickname = 65, INFO_value = 66 };

// The one modification record the client builds: evict a member.
enum : uint8_t { MODIFY_evict = 7 };

// ---- Frames ----

// Header space (zeroed) and the type byte; append the body to it.
std::string frame_begin(uint8_t type);
// Writes the length word (frame size - 4) of a frame that is not protected.
void frame_set_length(std::string &frame);
// Skips the header of a received, unprotected frame and returns its type;
// throws parser::err when the frame is shorter than header and type.
uint8_t frame_type(msg_reader &reader);

// ---- Client to server ----

struct helo_msg {
  uint8_t version = PROTOCOL_VERSION;
  std::string fingerprint;  // SHA-1 of the server key the client trusts
  std::string nonce;        // nx
  bignum dh_value;          // gx
};
void put_helo(std::string &buf, const helo_msg &m);
void get_helo(msg_reader &r, helo_msg &m);

struct auth_msg {
  uint32_t identity = 0;
  std::string signature;  // of the client handshake digest
  std::string version;    // the client's version text
};
void put_auth(std::string &buf, const auth_msg &m);
void get_auth(msg_reader &r, auth_msg &m);

struct enroll_msg {
  rsa_public_key key;
  std::string nickname;
  std::string version;
};
void put_enroll(std::string &buf, const enroll_msg &m);
void get_enroll(msg_reader &r, enroll_msg &m);

// sync: u32 stamp; delete and evicted: str name; these need no record.

struct create_msg {
  std::string name;
  std::string password;
};
// Two address lists travel between name and password; the client always
// sends them empty and the server reads and ignores them, as it does the
// trailing flag byte.
void put_create(std::string &buf, const create_msg &m);
void get_create(msg_reader &r, create_msg &m);

struct modify_msg {
  std::string name;
  std::string record;  // raw, up to the end of the frame
};
void put_modify(std::string &buf, const modify_msg &m);
void get_modify(msg_reader &r, modify_msg &m);
// The eviction record: u8 MODIFY_evict, u8 1, the member's address.
std::string evict_record(uint32_t member);
// False when `record` is not exactly an eviction record.
bool parse_evict_record(const std::string &record, uint32_t &member);

struct join_msg {
  std::string name;
  std::string password;
};
void put_join(std::string &buf, const join_msg &m);
void get_join(msg_reader &r, join_msg &m);

struct netop_msg {
  std::string name;
  uint8_t op = 0;
};
void put_netop(std::string &buf, const netop_msg &m);
void get_netop(msg_reader &r, netop_msg &m);

struct change_msg {
  uint8_t what = CHANGE_nickname;
  std::string nickname;
};
void put_change(std::string &buf, const change_msg &m);
void get_change(msg_reader &r, change_msg &m);

// An IPv4 endpoint; address as a number (a.b.c.d = a<<24 | ...), port in
// host order. On the wire both are big-endian, which is network order.
struct endpoint {
  uint32_t addr = 0;
  uint16_t port = 0;
};
void put_endpoint(std::string &buf, const endpoint &e);
endpoint get_endpoint(msg_reader &r);
// discovery: one endpoint, the client's bound UDP socket.

struct probe_ok_msg {
  std::string cookie;  // the 4 bytes of the udp.probe answered
  endpoint source;     // source of the last datagram the client received
};
void put_probe_ok(std::string &buf, const probe_ok_msg &m);
void get_probe_ok(msg_reader &r, probe_ok_msg &m);

struct info_msg {
  uint32_t peer = 0;
  uint8_t attribute = INFO_nickname;
};
void put_info(std::string &buf, const info_msg &m);
void get_info(msg_reader &r, info_msg &m);

// ---- Server to client ----

// helo.ok after STATUS_ok.
struct helo_ok_msg {
  std::string nonce;  // ny
  bignum dh_value;    // gy
};
void put_helo_ok(std::string &buf, const helo_ok_msg &m);
void get_helo_ok(msg_reader &r, helo_ok_msg &m);

// auth.ok after STATUS_ok.
struct auth_ok_msg {
  std::string signature;  // of the server handshake digest
  uint32_t channel = 0;   // server channel identifier
};
void put_auth_ok(std::string &buf, const auth_ok_msg &m);
void get_auth_ok(msg_reader &r, auth_ok_msg &m);

// enrl.ok after STATUS_ok.
struct enrl_ok_msg {
  uint32_t identity = 0;
  std::string signature;
  uint32_t channel = 0;
};
void put_enrl_ok(std::string &buf, const enrl_ok_msg &m);
void get_enrl_ok(msg_reader &r, enrl_ok_msg &m);

// redirect: status; with STATUS_again an endpoint follows.

// netop reply: the operation comes before the status.
struct netop_reply_msg {
  uint8_t op = 0;
  uint8_t status = 0;
};
void put_netop_reply(std::string &buf, const netop_reply_msg &m);
void get_netop_reply(msg_reader &r, netop_reply_msg &m);

// network: str name, then items to the end of the frame.
struct network_item {
  uint8_t tag = 0;
  uint32_t owner = 0;              // NET_owner
  std::vector<uint32_t> members;   // the four member tags
};
void put_network_owner(std::string &buf, uint32_t owner);
void put_network_members(std::string &buf, uint8_t tag, const std::vector<uint32_t> &members);
// Reads the tag and, for a known tag, its value. False for an unknown tag
// (left in item.tag; its value cannot be read).
bool get_network_item(msg_reader &r, network_item &item);

struct punch_record {
  endpoint target;        // first port of the range
  uint16_t count = 0;     // number of ports
  uint8_t ttl = 0;        // 0 = leave the socket's time-to-live
  std::string payload;
};
void put_punch(std::string &buf, const std::vector<punch_record> &records);
std::vector<punch_record> get_punch(msg_reader &r);

// udp.probe: 4 cookie bytes.

// peer.ok after the peer's address and STATUS_ok; peer.unreachable is the
// address and another status.
struct peer_ok_msg {
  endpoint public_endpoint;
  uint32_t spi_in = 0;   // identifier of tunnel packets the peer sends to us
  uint32_t spi_out = 0;  // identifier for tunnel packets we send
  std::string keymat;
};
void put_peer_ok(std::string &buf, const peer_ok_msg &m);
void get_peer_ok(msg_reader &r, peer_ok_msg &m);

// info reply: the peer's address, status, and with STATUS_ok items to the
// end of the frame: INFO_nickname str, INFO_value u32.

}  // namespace srv
