// Loading and saving the configuration directory, over real files.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <vector>

#include "client/config.h"
#include "common/codec.h"
#include "common/log.h"
#include "log_capture.h"
#include "tempdir.h"

namespace {


std::string demo_key(const char *name) {
  return read_file(std::string(QUILMAR_SOURCE_DIR) + "/keys/" + name);
}

// A configuration directory holding a valid client key pair.
class ConfigDir : public ::testing::Test {
 protected:
  void SetUp() override {
    start_log_capture();
    write_file(dir.file("client.pub"), demo_key("demo-server.pub"));
    write_file(dir.file("client.pri"), demo_key("demo-server.pri"));
    cfg.cfg_path = dir.path();
  }
  void TearDown() override { stop_log_capture(); }

  bool load_with(const std::string &config_text, const std::string &state_text = "") {
    if (!config_text.empty()) write_file(dir.file("config"), config_text);
    if (!state_text.empty()) write_file(dir.file("state"), state_text);
    return load_config(cfg);
  }
  // A fresh config loaded from the directory as it is now.
  config reloaded() {
    config again;
    again.cfg_path = dir.path();
    EXPECT_TRUE(load_config(again));
    return again;
  }

  temp_dir dir;
  config cfg;
};

TEST(SplitEntry, KeyAndValue) {
  std::string key, value;
  ASSERT_TRUE(split_entry("  Nickname \t big  bird \r\n", key, value));
  EXPECT_EQ(key, "Nickname");
  EXPECT_EQ(value, "big  bird");
  for (const char *ignored : {"", "\n", "   \t\r\n", "# comment", "  #x y", "KeyOnly",
                              "KeyOnly   \n"}) {
    EXPECT_FALSE(split_entry(ignored, key, value)) << ignored;
  }
  ASSERT_TRUE(split_entry("K\tv", key, value));
  EXPECT_EQ(value, "v");
}

TEST_F(ConfigDir, CommentsBlanksAndBareKeysChangeNothing) {
  ASSERT_TRUE(load_with("# settings\n\n   \n\t# indented\nServerAddress\nKeepAlive   \n",
                        "# nothing\nNickname\n"));
  EXPECT_EQ(cfg.server_host, default_config.server_host);
  EXPECT_EQ(cfg.keepalive, 90000u);
  EXPECT_TRUE(cfg.nickname.empty());
  EXPECT_EQ(cfg.ipc_path, dir.path() + "/ipc_sock");
  EXPECT_TRUE(logged.empty()) << logged[0];
}

TEST_F(ConfigDir, EveryConfigKey) {
  setenv("HOME", "/home/q", 1);
  ASSERT_TRUE(load_with(
      "ServerAddress  med-1.example_site.org:65535\n"
      "LogFile ~/q.log\n"
      "DummyTap yes\n"
      "UdpPort 65535\n"
      "OnOnline ~/up.sh  now\n"
      "OnOffline echo down\n"
      "KeepAlive 5\n"
      "TxRate 4294967295\n"
      "RxRate 200000\n"));
  EXPECT_EQ(cfg.server_host, "med-1.example_site.org");
  EXPECT_EQ(cfg.server_port, 65535u);
  EXPECT_EQ(cfg.log_file, "/home/q/q.log");
  EXPECT_TRUE(cfg.dummy_tap);
  EXPECT_EQ(cfg.udp_port, 65535u);
  EXPECT_EQ(cfg.on_online, "/home/q/up.sh  now");
  EXPECT_EQ(cfg.on_offline, "echo down");
  EXPECT_EQ(cfg.keepalive, 5000u);
  EXPECT_EQ(cfg.tx_rate, 4294967295u);
  EXPECT_EQ(cfg.rx_rate, 200000u);
}

TEST_F(ConfigDir, ValuesThatDoNotParseWholeAreRefusedWithTheirLine) {
  EXPECT_FALSE(load_with("TxRate 10M\nUdpPort abc\n# fine\nUdpPort 65536\nRxRate -1\n"
                         "DummyTap Yes\nServerAddress host:port\nServerAddress a b\n"
                         "ServerAddress :80\nServerAddress h:0\n",
                         "Identity 5.1.2\nIdentity 5. 1.2.3\nAutoLogin maybe\n"));
  // Each bad line: one log line naming the key, one its place and what it takes.
  ASSERT_EQ(logged.size(), 2 * 12u);
  EXPECT_EQ(logged[0], "cfg: unrecognized or invalid entry 'TxRate'\n");
  EXPECT_EQ(logged[1], "cfg: " + dir.file("config") + " line 1: TxRate takes a whole number "
                       "of bytes per second, 0 (no limit) to 4294967295\n");
  EXPECT_EQ(logged[13].rfind("cfg: " + dir.file("config") + " line 8: ServerAddress takes", 0),
            0u);
  EXPECT_EQ(logged[18], "cfg: garbage entry 'Identity'\n");
  EXPECT_EQ(logged.back(), "cfg: " + dir.file("state") + " line 3: AutoLogin takes yes or no\n");
  EXPECT_EQ(cfg.udp_port, 0u);
  EXPECT_EQ(cfg.tx_rate, 0u);
  EXPECT_EQ(cfg.rx_rate, 0u);
  EXPECT_FALSE(cfg.dummy_tap);
  EXPECT_EQ(cfg.server_host, default_config.server_host);
  EXPECT_EQ(cfg.identity, 0u);
}

TEST_F(ConfigDir, KeepAliveZeroTurnsItOff) {
  ASSERT_TRUE(load_with("KeepAlive 0\n"));
  EXPECT_EQ(cfg.keepalive, 0u);
}

TEST_F(ConfigDir, KeepAliveOfAboutTwentyFiveDaysIsTheLongestPeriod) {
  ASSERT_TRUE(load_with("KeepAlive 2147483\n"));
  EXPECT_EQ(cfg.keepalive, 2147483000u);
}

TEST_F(ConfigDir, KeepAliveBelowFiveOrNotANumberFailsAtOnce) {
  for (const char *value : {"4", "1", "soon", "-1", "2147484", "4294968", "5s", "+5"}) {
    logged.clear();
    config fresh;
    fresh.cfg_path = dir.path();
    write_file(dir.file("config"), std::string("KeepAlive ") + value + "\nBogus 1\n");
    EXPECT_FALSE(load_config(fresh)) << value;
    ASSERT_EQ(logged.size(), 2u) << value;  // reading stopped at the bad line
    EXPECT_EQ(logged[0], "cfg: invalid KeepAlive value\n");
    EXPECT_EQ(logged[1], "cfg: " + dir.file("config") +
                             " line 1: KeepAlive takes 0 (off) or 5 to 2147483 seconds\n");
  }
}

TEST_F(ConfigDir, EveryUnrecognisedEntryIsReportedInOneRun) {
  unsetenv("HOME");
  EXPECT_FALSE(load_with("Colour blue\nServerAddress s\nOnOnline ~/x\nVolume 11\n",
                         "Mood calm\nNickname n\nWeather rain\n"));
  const std::string config = "cfg: " + dir.file("config"), state = "cfg: " + dir.file("state");
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "cfg: unrecognized or invalid entry 'Colour'\n",
                        config + " line 1: unknown key\n",
                        "cfg: unrecognized or invalid entry 'OnOnline'\n",
                        config + " line 3: OnOnline may begin with ~ only as ~/, and only when "
                                 "HOME is set\n",
                        "cfg: unrecognized or invalid entry 'Volume'\n",
                        config + " line 4: unknown key\n",
                        "cfg: garbage entry 'Mood'\n",
                        state + " line 1: unknown key\n",
                        "cfg: garbage entry 'Weather'\n",
                        state + " line 3: unknown key\n"}));
  EXPECT_EQ(cfg.server_host, "s");
  EXPECT_EQ(cfg.nickname, "n");
}

TEST_F(ConfigDir, LogFileThatCannotBeExpandedIsReported) {
  unsetenv("HOME");
  EXPECT_FALSE(load_with("LogFile ~/q.log\n"));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], "cfg: unrecognized or invalid entry 'LogFile'\n");
}

TEST_F(ConfigDir, EveryStateKey) {
  ASSERT_TRUE(load_with("", "Identity 5.1.2.3\nNickname  big bird\nRenameTo bird\n"
                            "AutoLogin yes\nOnlineNet zeta\nOnlineNet alpha net\n"
                            "OnlineNet zeta\n"));
  EXPECT_EQ(cfg.identity, 0x05010203u);
  EXPECT_EQ(cfg.nickname, "big bird");
  EXPECT_EQ(cfg.rename_to, "bird");
  EXPECT_TRUE(cfg.auto_login);
  EXPECT_EQ(cfg.online_nets, (std::set<std::string>{"alpha net", "zeta"}));
}

TEST_F(ConfigDir, LongLinesAreRefusedWholeNeverCut) {
  // 127 characters fit, blanks after them do not count, and a comment may
  // be as long as it likes; a command one character longer never runs cut.
  const std::string command = "OnOnline " + std::string(127 - 9, 'c');
  EXPECT_FALSE(load_with(command + "   \r\n# " + std::string(300, '#') + "\n" + command +
                             "x rm -rf\n",
                         "Nickname " + std::string(200, 'n') + "\n"));
  EXPECT_EQ(cfg.on_online, command.substr(9));
  EXPECT_TRUE(cfg.nickname.empty());
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "cfg: " + dir.file("config") +
                            " line 3: the line is longer than 127 characters\n",
                        "cfg: " + dir.file("state") +
                            " line 1: the line is longer than 127 characters\n"}));
}

TEST_F(ConfigDir, SavedStateReloadsTheSame) {
  cfg.identity = 0x05aabbcc;
  cfg.nickname = "big  bird";
  cfg.rename_to = "new name";
  cfg.auto_login = true;
  cfg.online_nets = {"net b", "net a"};
  ASSERT_TRUE(save_state(cfg));
  EXPECT_EQ(read_file(dir.file("state")),
            "Identity   5.170.187.204\n"
            "Nickname   big  bird\n"
            "RenameTo   new name\n"
            "AutoLogin  yes\n"
            "OnlineNet  net a\n"
            "OnlineNet  net b\n");
  struct stat st;
  ASSERT_EQ(stat(dir.file("state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  config again = reloaded();
  EXPECT_EQ(again.identity, cfg.identity);
  EXPECT_EQ(again.nickname, cfg.nickname);
  EXPECT_EQ(again.rename_to, cfg.rename_to);
  EXPECT_TRUE(again.auto_login);
  EXPECT_EQ(again.online_nets, cfg.online_nets);
}

TEST_F(ConfigDir, LineBreaksInNamesCannotAddStateEntries) {
  cfg.nickname = "mallory\nAutoLogin yes";
  cfg.rename_to = "eve\r\nIdentity 5.6.6.6";
  cfg.online_nets = {"lan\nBogus entry"};
  ASSERT_TRUE(save_state(cfg));
  EXPECT_EQ(read_file(dir.file("state")),
            "Nickname   mallory\n"
            "RenameTo   eve\r\n"  // a CR alone breaks no line; the reader drops it
            "OnlineNet  lan\n");
  config again = reloaded();  // loads without a garbage entry
  EXPECT_EQ(again.nickname, "mallory");
  EXPECT_EQ(again.rename_to, "eve");
  EXPECT_FALSE(again.auto_login);
  EXPECT_EQ(again.identity, 0u);
}

TEST_F(ConfigDir, OverlongNamesCannotAddStateEntries) {
  // A name whose line would be read in two pieces is cut to what one line
  // carries, so its tail cannot come back as an entry of its own.
  const std::string head(116, 'n');
  cfg.nickname = head + "AutoLogin yes";
  cfg.online_nets = {std::string(116, 'o') + "Identity 5.6.6.6"};
  ASSERT_TRUE(save_state(cfg));
  config again = reloaded();
  EXPECT_EQ(again.nickname, head);
  EXPECT_FALSE(again.auto_login);
  EXPECT_EQ(again.identity, 0u);
  EXPECT_EQ(again.online_nets, (std::set<std::string>{std::string(116, 'o')}));
}

TEST_F(ConfigDir, TrailingSpacesOfANicknameDoNotSurvive) {
  cfg.nickname = "bird  ";
  ASSERT_TRUE(save_state(cfg));
  EXPECT_EQ(reloaded().nickname, "bird");
}

TEST_F(ConfigDir, BuiltInValuesAreNotWritten) {
  ASSERT_TRUE(load_with("", "AutoLogin no\nNickname n\n"));
  EXPECT_FALSE(cfg.auto_login);
  ASSERT_TRUE(save_state(cfg));
  EXPECT_EQ(read_file(dir.file("state")), "Nickname   n\n");
  cfg.nickname.clear();
  ASSERT_TRUE(save_state(cfg));
  EXPECT_EQ(read_file(dir.file("state")), "");
}

TEST_F(ConfigDir, BothStateFormsLoadAlike) {
  write_file(dir.file("state"), "Nickname some one\n");
  config from_init = reloaded();
  write_file(dir.file("state"), "Nickname   some one\n");
  EXPECT_EQ(reloaded().nickname, from_init.nickname);
  EXPECT_EQ(from_init.nickname, "some one");
}

TEST_F(ConfigDir, UnwritableStateIsReportedAndKeepsTheValues) {
  cfg.cfg_path = dir.file("missing");
  cfg.nickname = "n";
  EXPECT_FALSE(save_state(cfg));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "cfg: failed to open " + dir.path() + "/missing/state for writing\n");
  EXPECT_EQ(cfg.nickname, "n");
}

TEST_F(ConfigDir, BuiltInServerKeyFingerprintUsesTwoByteLengths) {
  ASSERT_TRUE(load_config(cfg));
  EXPECT_TRUE(varint_lengths);
  // Re-encode the built-in key by hand: 0x00, 01 00, modulus, 00 03, exponent.
  std::string builtin(reinterpret_cast<const char *>(builtin_server_key),
                      builtin_server_key_size);
  ASSERT_EQ(builtin.size(), 263u);
  ASSERT_EQ(builtin.substr(0, 3), std::string("\x00\x80\x02", 3));
  std::string two_byte = std::string("\x00\x01\x00", 3) + builtin.substr(3, 256) +
                         std::string("\x00\x03\x01\x00\x01", 5);
  ASSERT_EQ(builtin.substr(259), std::string("\x03\x01\x00\x01", 4));
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(two_byte.data()), two_byte.size(), digest);
  EXPECT_EQ(cfg.server_key_digest, std::string(reinterpret_cast<char *>(digest), 20));
}

TEST_F(ConfigDir, ServerKeyFileIsReadWithTwoByteLengths) {
  // Our own client key re-encoded in the server.pub form.
  rsa_public_key key;
  ASSERT_TRUE(read_key_file(dir.file("client.pub"), key));
  varint_lengths = false;
  std::string bytes;
  write_public_key(bytes, key);
  varint_lengths = true;
  write_file(dir.file("server.pub"), bytes + "trailing bytes are ignored");
  ASSERT_TRUE(load_config(cfg));
  EXPECT_EQ(logged, (std::vector<std::string>{"cfg: using server key from " + dir.path() +
                                              "/server.pub\n"}));
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), digest);
  EXPECT_EQ(cfg.server_key_digest, std::string(reinterpret_cast<char *>(digest), 20));
}

TEST_F(ConfigDir, MalformedServerKeyFallsBackToTheBuiltInOne) {
  write_file(dir.file("server.pub"), "\x01garbage");
  ASSERT_TRUE(load_config(cfg));
  config plain;
  plain.cfg_path = dir.path();
  unlink(dir.file("server.pub").c_str());
  ASSERT_TRUE(load_config(plain));
  EXPECT_EQ(cfg.server_key_digest, plain.server_key_digest);
  EXPECT_TRUE(logged.empty());
}

TEST_F(ConfigDir, TruncatedOrMissingClientKeysAreRefused) {
  const std::string pri = read_file(dir.file("client.pri"));
  for (size_t cut : {size_t(0), size_t(1), size_t(3), size_t(200), pri.size() / 2}) {
    logged.clear();
    write_file(dir.file("client.pri"), pri.substr(0, cut));
    config fresh;
    fresh.cfg_path = dir.path();
    EXPECT_FALSE(load_config(fresh)) << cut;
    EXPECT_EQ(logged, (std::vector<std::string>{"cfg: failed to load " + dir.path() +
                                                "/client.pri key (pri)\n"}))
        << cut;
  }
  logged.clear();
  unlink(dir.file("client.pub").c_str());
  EXPECT_FALSE(load_config(cfg));
  EXPECT_EQ(logged, (std::vector<std::string>{"cfg: failed to load " + dir.path() +
                                              "/client.pub key (pub)\n"}));
}

TEST_F(ConfigDir, FailedWriteKeepsTheOldState) {
  cfg.nickname = "old";
  ASSERT_TRUE(save_state(cfg));
  const std::string old_text = read_file(dir.file("state"));
  // A file size limit makes the write fail part way, as a full disk would.
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {40, 40};
    setrlimit(RLIMIT_FSIZE, &limit);
    config big = cfg;
    big.nickname = std::string(100, 'x');
    _exit(save_state(big) ? 1 : 0);
  }
  int status;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "save_state reported success";
  EXPECT_EQ(read_file(dir.file("state")), old_text);
  // No temporary file is left behind.
  EXPECT_EQ(system(("test $(ls -A " + dir.path() + " | wc -l) -eq 3").c_str()), 0);
}

TEST_F(ConfigDir, KillingASaveLeavesTheOldOrTheNewState) {
  config a = cfg, b = cfg;
  a.nickname = "first";
  a.online_nets = {"one", "two"};
  b.nickname = "second";
  b.identity = 0x05000001;
  for (int i = 0; i < 30; i++) a.online_nets.insert("net " + std::to_string(i));
  ASSERT_TRUE(save_state(a));
  // A child rewrites the state over and over while it is killed at
  // arbitrary moments; every state left behind must be one of the two.
  for (int round = 0; round < 20; round++) {
    pid_t child = fork();
    if (child == 0) {
      for (;;) {
        save_state(b);
        save_state(a);
      }
    }
    usleep(1000 + round * 500);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    config loaded = reloaded();
    bool is_a = loaded.nickname == "first" && loaded.online_nets == a.online_nets &&
                loaded.identity == 0;
    bool is_b = loaded.nickname == "second" && loaded.online_nets.empty() &&
                loaded.identity == 0x05000001u;
    EXPECT_TRUE(is_a || is_b) << "round " << round << ": " << read_file(dir.file("state"));
  }
}

}  // namespace
