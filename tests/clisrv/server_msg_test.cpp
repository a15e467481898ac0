// Every parser of the shared message module, fed its valid input and then
// the same with one byte more. Where a message must end, either the parser
// refuses the extra byte itself, or it leaves exactly that byte unread for
// its caller's end check: no parser may swallow what follows its message.
// (modify alone runs to the end of its frame by design: its record, the
// eviction record, is the part that must end.)
#include <gtest/gtest.h>

#include <functional>

#include "clisrv/server_msg.h"
#include "common/codec.h"

namespace {

struct parser_case {
  const char *name;
  std::string valid;
  // Parses from `r`; false when the parser itself refuses the input.
  std::function<bool(msg_reader &r)> parse;
};

template <typename Msg, typename Put, typename Get>
parser_case message_case(const char *name, const Msg &m, Put put, Get get) {
  std::string bytes;
  put(bytes, m);
  return {name, bytes, [get](msg_reader &r) {
            Msg parsed;
            get(r, parsed);
            return true;
          }};
}

std::vector<parser_case> every_parser() {
  bignum value;
  value.from_bytes(std::string(256, '\x42'));
  rsa_public_key key;
  key.n = value;
  key.e = bignum(65537);

  srv::punch_record punch;
  punch.target = {0x7f000001, 4000};
  punch.count = 3;
  punch.ttl = 5;
  punch.payload = "hole";
  std::string punch_bytes;
  srv::put_punch(punch_bytes, {punch, punch});
  std::string item_bytes;
  srv::put_network_members(item_bytes, srv::NET_member_online, {0x05000001, 0x05000002});

  return {
      {"frame header", srv::frame_begin(srv::MSG_sync),
       [](msg_reader &r) { return srv::frame_type(r) == srv::MSG_sync; }},
      message_case("helo", srv::helo_msg{2, std::string(20, 'f'), std::string(128, 'n'), value},
                   srv::put_helo, srv::get_helo),
      message_case("auth", srv::auth_msg{0x05000001, std::string(256, 's'), "v"}, srv::put_auth,
                   srv::get_auth),
      message_case("enroll", srv::enroll_msg{key, "nick", "v"}, srv::put_enroll,
                   srv::get_enroll),
      message_case("create", srv::create_msg{"net", "pw"}, srv::put_create, srv::get_create),
      {"eviction record", srv::evict_record(0x05000003),
       [](msg_reader &r) {
         uint32_t member = 0;
         return srv::parse_evict_record(r.get_bytes(r.remaining()), member) &&
                member == 0x05000003;
       }},
      message_case("join", srv::join_msg{"net", "pw"}, srv::put_join, srv::get_join),
      message_case("netop", srv::netop_msg{"net", srv::NETOP_leave}, srv::put_netop,
                   srv::get_netop),
      message_case("change", srv::change_msg{srv::CHANGE_nickname, "nick"}, srv::put_change,
                   srv::get_change),
      message_case("discovery", srv::endpoint{0x7f000001, 5000}, srv::put_endpoint,
                   [](msg_reader &r, srv::endpoint &e) { e = srv::get_endpoint(r); }),
      message_case("udp.probe.ok", srv::probe_ok_msg{"cook", {0x7f000001, 5000}},
                   srv::put_probe_ok, srv::get_probe_ok),
      message_case("info", srv::info_msg{0x05000002, srv::INFO_nickname}, srv::put_info,
                   srv::get_info),
      message_case("helo.ok", srv::helo_ok_msg{std::string(128, 'n'), value}, srv::put_helo_ok,
                   srv::get_helo_ok),
      message_case("auth.ok", srv::auth_ok_msg{std::string(256, 's'), 0x51000001},
                   srv::put_auth_ok, srv::get_auth_ok),
      message_case("enrl.ok", srv::enrl_ok_msg{0x05000001, std::string(256, 's'), 0x51000001},
                   srv::put_enrl_ok, srv::get_enrl_ok),
      message_case("netop reply", srv::netop_reply_msg{srv::NETOP_online, srv::STATUS_ok},
                   srv::put_netop_reply, srv::get_netop_reply),
      {"network item", item_bytes,
       [](msg_reader &r) {
         srv::network_item item;
         return srv::get_network_item(r, item) && item.members.size() == 2;
       }},
      {"punch", punch_bytes, [](msg_reader &r) { return srv::get_punch(r).size() == 2; }},
      message_case("peer.ok", srv::peer_ok_msg{{0x7f000001, 5000}, 1, 2, std::string(120, 'k')},
                   srv::put_peer_ok, srv::get_peer_ok),
  };
}

// "taken": parsed and all read; "left N": parsed with N bytes unread;
// "refused": the parser said no or threw.
std::string outcome(const parser_case &c, const std::string &input) {
  try {
    msg_reader r(input);
    if (!c.parse(r)) return "refused";
    return r.at_end() ? "taken" : "left " + std::to_string(r.remaining());
  } catch (const parser::err &) {
    return "refused";
  }
}

TEST(ServerMessages, NoParserTakesAByteBeyondItsMessage) {
  for (const parser_case &c : every_parser()) {
    EXPECT_EQ(outcome(c, c.valid), "taken") << c.name;
    const std::string extra = outcome(c, c.valid + "\x5a");
    EXPECT_TRUE(extra == "refused" || extra == "left 1") << c.name << ": " << extra;
  }
}

}  // namespace
