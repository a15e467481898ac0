// The control messages byte for byte, how each end reads what it gets,
// and the texts the client prints for the daemon's reports.
#include "client/control_msg.h"

#include <gtest/gtest.h>

#include "client/cli_texts.h"
#include "client/state_report.h"

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(ControlMessages, RequestsOnTheWire) {
  ipc_request login;
  login.code = IPC_login;
  login.retry = 1;
  EXPECT_EQ(encode_request(login), bytes({2, 1}));

  ipc_request create;
  create.code = IPC_create;
  create.name = "mynet";
  create.password = "pw";
  EXPECT_EQ(encode_request(create), bytes({4, 5, 'm', 'y', 'n', 'e', 't', 2, 'p', 'w'}));

  // A name of 200 bytes has its length in two 7-bit groups.
  ipc_request netop;
  netop.code = IPC_netop;
  netop.name = std::string(200, 'n');
  netop.op = NETOP_leave;
  EXPECT_EQ(encode_request(netop), bytes({7, 0xC8, 0x01}) + netop.name + bytes({3}));

  ipc_request modify;
  modify.code = IPC_modify;
  modify.name = "ab";
  modify.modification = bytes({7, 1, 5, 1, 2, 3});
  EXPECT_EQ(encode_request(modify), bytes({11, 2, 'a', 'b', 6, 7, 1, 5, 1, 2, 3}));

  for (const ipc_request &r : {login, create, netop, modify}) {
    ipc_request back;
    ASSERT_TRUE(decode_request(encode_request(r), back));
    EXPECT_EQ(back.code, r.code);
    EXPECT_EQ(back.retry, r.retry);
    EXPECT_EQ(back.name, r.name);
    EXPECT_EQ(back.password, r.password);
    EXPECT_EQ(back.op, r.op);
    EXPECT_EQ(back.modification, r.modification);
  }
}

TEST(ControlMessages, DaemonRefusesMalformedRequests) {
  ipc_request r;
  EXPECT_TRUE(decode_request(bytes({1}), r));
  EXPECT_TRUE(decode_request(bytes({112}), r));
  EXPECT_TRUE(decode_request(bytes({9, 3, 'b', 'o', 'b'}), r));
  EXPECT_EQ(r.nickname, "bob");
  for (const std::string &bad : {
           bytes({}),                          // empty
           bytes({2}),                         // login without its retry byte
           bytes({1, 0}),                      // shutdown with a trailing byte
           bytes({8, 8}),                      // state with a trailing byte
           bytes({12}), bytes({200}), bytes({0}), bytes({128}),  // not requests
           bytes({5, 6, 'm', 'y'}),            // the name runs past the end
           bytes({5, 2, 'm', 'y', 0}),         // a byte after the last field
           bytes({4, 2, 'm', 'y'}),            // create without its password
           bytes({7, 2, 'm', 'y'}),            // netop without its operation
           bytes({5, 0xff, 0xff, 0xff, 0xff, 0x0f}),  // absurd length
       }) {
    EXPECT_FALSE(decode_request(bad, r)) << testing::PrintToString(bad);
  }
}

TEST(ControlMessages, RepliesOnTheWireAndTheClientsReading) {
  ipc_reply status;
  status.code = IPC_status;
  status.version = "v1";
  status.pid = 0x01020304;
  status.state = 10;
  status.sub = 1;
  status.reconnect = 1;
  status.nickname = "al";
  status.rename_to = "";
  const std::string wire =
      bytes({128, 2, 'v', '1', 1, 2, 3, 4, 0, 0, 0, 10, 1, 1, 2, 'a', 'l', 0});
  EXPECT_EQ(encode_reply(status), wire);

  ipc_reply member;
  member.code = IPC_member;
  member.addr = 0x05010203;
  member.nickname = "b";
  member.online = 1;
  member.reported = 1;
  member.tunnel_addr = 0xC6336407;
  member.tunnel_port = 4500;
  EXPECT_EQ(encode_reply(member),
            bytes({136, 5, 1, 2, 3, 1, 'b', 1, 1, 198, 51, 100, 7, 0x11, 0x94}));

  ipc_reply r;
  ASSERT_TRUE(decode_reply(wire, r));
  EXPECT_EQ(r.code, IPC_status);
  EXPECT_EQ(r.pid, 0x01020304u);
  EXPECT_EQ(r.nickname, "al");
  // Unknown codes are skipped one byte at a time.
  ASSERT_TRUE(decode_reply(bytes({200, 1, 137}), r));
  EXPECT_EQ(r.code, IPC_list_end);
  ASSERT_TRUE(decode_reply(bytes({0, 131, 24}), r));
  EXPECT_EQ(r.result, 24);
  // A known code must end the message exactly after its fields.
  EXPECT_FALSE(decode_reply(wire + bytes({0}), r));
  EXPECT_FALSE(decode_reply(wire.substr(0, wire.size() - 1), r));
  EXPECT_FALSE(decode_reply(bytes({137, 137}), r));
  EXPECT_FALSE(decode_reply(bytes({}), r));
  EXPECT_FALSE(decode_reply(bytes({200, 201}), r));
}

TEST(ClientTexts, ResultsStatusAndListing) {
  EXPECT_STREQ(result_text(15), "network name is already taken");
  EXPECT_STREQ(result_text(26), "network not found");
  EXPECT_STREQ(result_text(31), "you are an owner");
  EXPECT_STREQ(result_text(253), "denied");
  EXPECT_STREQ(result_text(30), "[30]");
  EXPECT_STREQ(result_text(32), "too many requests, try again shortly");
  EXPECT_STREQ(result_text(255), "[255]");

  EXPECT_EQ(status_text("v", 42, 1, true, "n"),
            "  version  : v\n  pid      : 42\n  status   : offline (reconnecting)\n"
            "  nickname : n\n\n");

  ipc_reply n;
  n.code = IPC_network;
  n.name = std::string(600, 'n');  // longer than any line buffer
  n.online = 1;
  EXPECT_EQ(network_line(n), " * [" + n.name + "]\n");

  ipc_reply m;
  m.code = IPC_member;
  m.addr = 0xFFFFFFFF;
  m.nickname = std::string("\r\0\x1b", 3);
  m.online = 1;
  m.reported = 1;
  EXPECT_EQ(network_line(n).size(), 606u);
    // The address column is 13 wide and cuts what does not fit.
  EXPECT_EQ(member_line(m), "     x 255.255.255.2    ???" + std::string(22, ' ') + "\n");
}

// Our own inspection: a member's tunnel counters travel as 64-bit words
// and ages; a member without a tunnel stops after the flag.
TEST(ControlMessages, InspectionOnTheWireAndAsATable) {
  EXPECT_EQ(encode_request([] { ipc_request r; r.code = IPC_inspect; return r; }()), bytes({64}));
  ipc_reply m;
  m.code = IPC_inspect_member;
  m.addr = 0x05010203;
  m.nickname = std::string("\x1b" "bob", 4);
  m.online = m.reported = m.has_tunnel = 1;
  m.tunnel_addr = 0xC6336407;
  m.tunnel_port = 4500;
  m.tunnel.rx_bytes = 1536;
  m.tunnel.tx_bytes = 5ull << 30;
  m.tunnel.replayed = 0x100000000ull;
  m.tunnel.last_rx_age = 61000;
  const std::string wire = encode_reply(m);
  EXPECT_EQ(wire.size(), 1 + 4 + 5 + 3 + 6 + 8 * 8 + 8u);
  EXPECT_EQ(wire.substr(wire.size() - 8), bytes({0, 0, 0xEE, 0x48, 0xFF, 0xFF, 0xFF, 0xFF}));
  ipc_reply back;
  ASSERT_TRUE(decode_reply(wire, back));
  EXPECT_EQ(back.tunnel.replayed, 0x100000000ull);
  EXPECT_EQ(back.tunnel.tx_bytes, 5ull << 30);
  EXPECT_EQ(back.tunnel.last_keepalive_age, AGE_never);
  ipc_reply alone = m;
  alone.has_tunnel = 0;
  EXPECT_EQ(encode_reply(alone), bytes({194, 5, 1, 2, 3, 4, 0x1b, 'b', 'o', 'b', 1, 1, 0}));

  // A peer met in two networks is one row; a new one shows it never spoke.
  state_report report;
  ipc_reply net, other = m;
  net.code = IPC_inspect_network;
  other.addr = 0x05000002;
  other.nickname = "";
  other.tunnel = tunnel_report();
  other.tunnel.last_rx_age = 999;
  for (const ipc_reply &r : {net, m, other, net, m}) EXPECT_TRUE(report.take(r));
  EXPECT_FALSE(report.complete);
  EXPECT_EQ(peers_table(report),
            "ADDRESS  NICKNAME  ENDPOINT           RECEIVED     SENT  LAST DATAGRAM\n"
            "5.1.2.3  ?bob      198.51.100.7:4500   1.5 KiB  5.0 GiB  1 min ago\n"
            "5.0.0.2  -         198.51.100.7:4500       0 B      0 B  now\n");
}

}  // namespace
