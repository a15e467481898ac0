// Every parser of the shared message module, fed its valid input and then
// one byte more: where a message must end, the parser refuses the byte or
// leaves exactly it for its caller's end check. (modify alone runs to the
// end of its frame by design; its eviction record must end.)
#include <gtest/gtest.h>

#include <functional>

#include "clisrv/server_msg.h"

namespace {

using parse_fn = std::function<bool(msg_reader &)>;  // false: refused

template <typename Msg>
std::pair<std::string, parse_fn> body(const Msg &m, void (*put)(std::string &, const Msg &),
                                      void (*get)(msg_reader &, Msg &)) {
  std::string bytes;
  put(bytes, m);
  return {bytes, [get](msg_reader &r) { Msg parsed; get(r, parsed); return true; }};
}

TEST(ServerMessages, NoParserTakesAByteBeyondItsMessage) {
  bignum value;
  value.from_bytes(std::string(256, '\x42'));
  const std::string sig(256, 's'), nonce(128, 'n');
  std::string item, punch;
  srv::put_network_members(item, srv::NET_member_online, {0x05000001, 0x05000002});
  srv::put_punch(punch, {{{0x7f000001, 4000}, 3, 5, "hole"}});
  auto endpoint_get = [](msg_reader &r, srv::endpoint &e) { e = srv::get_endpoint(r); };
  const std::vector<std::pair<std::string, parse_fn>> parsers = {
      {srv::frame_begin(srv::MSG_sync), [](msg_reader &r) { return srv::frame_type(r) == 5; }},
      body<srv::helo_msg>({2, std::string(20, 'f'), nonce, value}, srv::put_helo, srv::get_helo),
      body<srv::auth_msg>({0x05000001, sig, "v"}, srv::put_auth, srv::get_auth),
      body<srv::enroll_msg>({{value, bignum(65537)}, "nick", "v"}, srv::put_enroll, srv::get_enroll),
      body<srv::create_msg>({"net", "pw"}, srv::put_create, srv::get_create),
      {srv::evict_record(0x05000003),
       [](msg_reader &r) {
         uint32_t member = 0;
         return srv::parse_evict_record(r.get_bytes(r.remaining()), member);
       }},
      body<srv::join_msg>({"net", "pw"}, srv::put_join, srv::get_join),
      body<srv::netop_msg>({"net", srv::NETOP_leave}, srv::put_netop, srv::get_netop),
      body<srv::change_msg>({srv::CHANGE_nickname, "nick"}, srv::put_change, srv::get_change),
      body<srv::endpoint>({0x7f000001, 5000}, srv::put_endpoint, +endpoint_get),
      body<srv::probe_ok_msg>({"cook", {1, 2}}, srv::put_probe_ok, srv::get_probe_ok),
      body<srv::info_msg>({0x05000002, srv::INFO_nickname}, srv::put_info, srv::get_info),
      body<srv::helo_ok_msg>({nonce, value}, srv::put_helo_ok, srv::get_helo_ok),
      body<srv::auth_ok_msg>({sig, 0x51000001}, srv::put_auth_ok, srv::get_auth_ok),
      body<srv::enrl_ok_msg>({0x05000001, sig, 0x51000001}, srv::put_enrl_ok, srv::get_enrl_ok),
      body<srv::netop_reply_msg>({1, 1}, srv::put_netop_reply, srv::get_netop_reply),
      {item, [](msg_reader &r) { srv::network_item i; return srv::get_network_item(r, i); }},
      {punch, [](msg_reader &r) { return srv::get_punch(r).size() == 1; }},
      body<srv::peer_ok_msg>({{1, 2}, 3, 4, std::string(120, 'k')}, srv::put_peer_ok,
                             srv::get_peer_ok),
  };
  // "taken" (parsed, all read), "left N" (N bytes unread) or "refused".
  auto outcome = [](const parse_fn &parse, const std::string &input) -> std::string {
    try {
      msg_reader r(input);
      if (!parse(r)) return "refused";
      return r.at_end() ? "taken" : "left " + std::to_string(r.remaining());
    } catch (const parser::err &) {
      return "refused";
    }
  };
  for (size_t i = 0; i < parsers.size(); i++) {
    EXPECT_EQ(outcome(parsers[i].second, parsers[i].first), "taken") << "parser " << i;
    const std::string extra = outcome(parsers[i].second, parsers[i].first + "\x5a");
    EXPECT_TRUE(extra == "refused" || extra == "left 1") << "parser " << i << ": " << extra;
  }
}

}  // namespace
