// quilmar-server's command line and its store across restarts: init and its
// files, -h, -V and bad options, the demo key refused without --demo, a clean
// stop on a signal, and everything a client relies on still there after a
// restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "common/version.h"
#include "proto_client.h"
#include "server_helpers.h"
#include "tempdir.h"

namespace {

mode_t mode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(ServerCli, InitMakesAKeyThatClientsCanTrust) {
  temp_dir tmp;
  const std::string dir = tmp.file("srv");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);  // an existing directory others may read is closed
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  process_result r = run_process(kServerBin, {"init", "-d", dir});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.rfind("changed the mode of " + dir + " from 0755 to 0700\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("~/.quilmar/server.pub"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(dir + "/server.pub"), std::string::npos) << r.out;
  EXPECT_EQ(mode_of(dir), 0700u);
  EXPECT_EQ(mode_of(dir + "/server.key"), 0600u);

  // server.pub is in the client's form: two-byte lengths.
  const std::string pub_bytes = read_file(dir + "/server.pub");
  rsa_public_key pub;
  varint_lengths = false;
  msg_reader reader(pub_bytes);
  read_public_key(reader, pub);
  varint_lengths = true;
  EXPECT_EQ(pub.n.bits(), 2048);

  // A second init changes nothing.
  const std::string key = read_file(dir + "/server.key");
  r = run_process(kServerBin, {"init", "-d", dir});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("already holds a server key"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(dir + "/server.key"), key);
  EXPECT_EQ(read_file(dir + "/server.pub"), pub_bytes);

  // Served with that key: a client that trusts it logs in, one that trusts
  // the demo key is refused at helo.
  server_process server(dir, {}, false);
  ASSERT_TRUE(server.up()) << server.output();
  proto_client trusting;
  trusting.server_key = pub;
  EXPECT_TRUE(trusting.login_new(server.port, "trusting"));
  proto_client other;
  ASSERT_TRUE(other.connect(server.port));
  EXPECT_EQ(other.helo(), srv::STATUS_refused);
}

TEST(ServerCli, StoreIsPrivateWhateverTheUmask) {
  temp_dir tmp;
  chmod(tmp.path().c_str(), 0777);
  const mode_t saved = umask(0);
  server_process server(tmp.path());
  proto_client c;
  EXPECT_TRUE(server.up() && c.login_new(server.port, "someone")) << server.output();
  umask(saved);
  for (const char *name : {"server.db", "server.db-wal", "server.db-shm"})
    EXPECT_EQ(mode_of(tmp.file(name)), 0600u) << name;
}

TEST(ServerCli, HelpAndBadCommandLines) {
  process_result r = run_process(kServerBin, {"-h"});
  EXPECT_EQ(r.status, 0);
  for (const char *word : {"init", "run", "-d DIR", "-l ADDR", "-p PORT", "--demo"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  const std::string usage = r.out;
  // Help wins anywhere on the command line, even over a bad option; so does -V.
  const std::string version = std::string("quilmar-server ") + QUILMAR_VERSION + "\n";
  for (auto [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"run", "--help"}, usage}, {{"run", "-d", "x", "-p", "70000", "--help", "-V"}, usage},
           {{"init", "-d", "x", "--version"}, version}}) {
    r = run_process(kServerBin, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
  }

  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"serve"}, {"run"}, {"run", "-d"}, {"run", "-d", "x", "-q"},
        {"run", "-d", "x", "-p", "70000"}, {"run", "-d", "x", "-l", "1.2.3"},
        {"init", "-d", "x", "--demo"}, {"run", "-d", "x", "--relay", "sometimes"},
        {"run", "-d", "x", "--public-address", "1.2.3.4:0"}, {"run", "-d", "x", "--relay-rate", "-1"}}) {
    r = run_process(kServerBin, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage);
  }
}

TEST(ServerCli, RefusesTheDemoKeyWithoutDemo) {
  temp_dir dir;
  const std::string keys = std::string(QUILMAR_SOURCE_DIR) + "/keys/";
  write_file(dir.file("server.key"), read_file(keys + "demo-server.pri"));
  std::string pub;
  const rsa_public_key &demo = demo_client_keys().pub;  // read in the 7-bit form
  varint_lengths = false;
  write_public_key(pub, demo);
  varint_lengths = true;
  write_file(dir.file("server.pub"), pub);
  process_result r = run_process(kServerBin, {"run", "-d", dir.path(), "-p", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("demo key"), std::string::npos) << r.out;

  // A directory without a key cannot serve either.
  temp_dir empty;
  r = run_process(kServerBin, {"run", "-d", empty.path(), "-p", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("quilmar-server init"), std::string::npos) << r.out;
}

TEST(ServerCli, OneServerPerDirectory) {
  temp_dir dir;
  server_process first(dir.path());
  ASSERT_TRUE(first.up()) << first.output();
  process_result r =
      run_process(kServerBin, {"run", "-d", dir.path(), "--demo", "-l", "127.0.0.1", "-p", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("another server is serving"), std::string::npos) << r.out;
  proto_client c;
  EXPECT_TRUE(c.login_new(first.port, "still served"));
}

TEST(ServerCli, StopsWithStatusZeroOnSigint) {
  temp_dir dir;
  background_process proc(kServerBin,
                          {"run", "-d", dir.path(), "--demo", "-l", "127.0.0.1", "-p", "0"});
  ASSERT_TRUE(proc.wait_for_output("(tcp and udp)")) << proc.output();
  kill(proc.pid(), SIGINT);
  ASSERT_TRUE(proc.wait_exit());
  EXPECT_EQ(proc.status(), 0);
  EXPECT_NE(proc.output().find("srv: stopping"), std::string::npos);
}

TEST(ServerStore, EverythingSurvivesARestart) {
  temp_dir dir;
  uint32_t alice_id, bob_id;
  {
    server_process server(dir.path());
    ASSERT_TRUE(server.up()) << server.output();
    proto_client alice, bob;
    ASSERT_TRUE(alice.login_new(server.port, "alice"));
    ASSERT_TRUE(bob.login_new(server.port, "bob"));
    alice_id = alice.identity;
    bob_id = bob.identity;
    ASSERT_EQ(alice.create("office", "secret"), srv::STATUS_ok);
    ASSERT_EQ(alice.create("gone-net", "secret"), srv::STATUS_ok);
    ASSERT_EQ(bob.join("office", "secret"), srv::STATUS_ok);
    ASSERT_EQ(alice.remove("gone-net"), srv::STATUS_ok);
    ASSERT_EQ(alice.change_nick("alice renamed"), srv::STATUS_ok);
    ASSERT_EQ(server.stop(), 0);
  }
  server_process server(dir.path());
  ASSERT_TRUE(server.up()) << server.output();
  // Old identities log in with auth; their networks come back.
  proto_client alice;
  ASSERT_TRUE(alice.connect(server.port));
  ASSERT_EQ(alice.helo(), srv::STATUS_ok);
  ASSERT_EQ(alice.auth(alice_id), srv::STATUS_ok);
  ASSERT_EQ(alice.discovery(), srv::STATUS_ok);
  std::vector<network_view> nets;
  ASSERT_EQ(alice.sync(&nets), srv::STATUS_ok);
  ASSERT_EQ(nets.size(), 1u);
  EXPECT_EQ(nets[0].name, "office");
  EXPECT_EQ(nets[0].owner, alice_id);
  EXPECT_EQ(nets[0].added, (std::vector<uint32_t>{alice_id, bob_id}));

  proto_client bob;
  ASSERT_TRUE(bob.login(server.port, bob_id));
  std::string nick;
  EXPECT_EQ(bob.info(alice_id, nick), srv::STATUS_ok);
  EXPECT_EQ(nick, "alice renamed");
  EXPECT_EQ(bob.join("office", "secret"), srv::RESULT_already_member);
  EXPECT_EQ(bob.netop("office", srv::NETOP_online), srv::STATUS_ok);

  // The password and the ownership are kept.
  proto_client carol;
  ASSERT_TRUE(carol.login_new(server.port, "carol"));
  EXPECT_EQ(carol.join("office", "wrong"), srv::RESULT_bad_password);
  EXPECT_EQ(carol.join("office", "secret"), srv::STATUS_ok);
  EXPECT_EQ(carol.remove("office"), srv::RESULT_not_owner);
  EXPECT_EQ(carol.create("gone-net", "x"), srv::STATUS_ok);  // deleted stays deleted
  EXPECT_NE(carol.identity, alice_id);
  EXPECT_NE(carol.identity, bob_id);
}

TEST(ServerStore, AnAcknowledgedChangeSurvivesACrash) {
  temp_dir dir;
  uint32_t id;
  {
    server_process server(dir.path());
    ASSERT_TRUE(server.up()) << server.output();
    proto_client alice;
    ASSERT_TRUE(alice.login_new(server.port, "alice"));
    id = alice.identity;
    ASSERT_EQ(alice.create("kept-net", "secret"), srv::STATUS_ok);
    server.crash();
  }
  server_process server(dir.path());
  ASSERT_TRUE(server.up()) << server.output();
  proto_client alice, bob;
  ASSERT_TRUE(alice.login(server.port, id));
  ASSERT_TRUE(bob.login_new(server.port, "bob"));
  EXPECT_EQ(bob.join("kept-net", "secret"), srv::STATUS_ok);
}

}  // namespace
