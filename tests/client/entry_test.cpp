// The executable's command line, run as a process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/front.h"
#include "common/version.h"
#include "process.h"
#include "tempdir.h"

namespace {

const std::string kBanner =
    "Quilmar, a zero-config virtual private networking utility, ver 0.9.9.9-17\n\n";

process_result quilmar(const std::vector<std::string> &args, process_options options = {}) {
  return run_process(QUILMAR_BIN, args, options);
}

TEST(CommandLine, VersionPrintsTheBanner) {
  auto r = quilmar({"-V"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(kBanner, "Quilmar, a zero-config virtual private networking utility, ver " +
                         std::string(QUILMAR_VERSION) + "\n\n")
      << "the banner carries the build's version";
}

TEST(CommandLine, NoticeFollowsTheBanner) {
  auto r = quilmar({"-L"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
  EXPECT_GT(r.out.size(), kBanner.size());
}

TEST(CommandLine, HelpAndUnknownOptionsPrintUsage) {
  for (const char *opt : {"-h", "-d", "-x"}) {
    auto r = quilmar({opt});
    EXPECT_EQ(r.status, 1) << opt;
    EXPECT_EQ(r.out.rfind(kBanner + "  usage: quilmar [-c <cfg_path>] [command]\n\n", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("                go-offline <network>\n\n"), std::string::npos);
    const std::string tail = "  pid, online status and the nickname\n\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << "ends with one empty line";
  }
}

TEST(CommandLine, OtherProgramNamesAreRefused) {
  temp_dir dir;
  std::string copy = dir.file("quilmar2");
  ASSERT_EQ(symlink(QUILMAR_BIN, copy.c_str()), 0);
  auto r = run_process(copy, {"-V"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "error: must be run as 'quilmar' or 'quilmar-init'\n");
}

TEST(CommandLine, FullPathEndingInQuilmarWorks) {
  process_options options;
  options.argv0 = "/some/where/else/quilmar";
  auto r = quilmar({"-V"}, options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner);
}

TEST(CommandLine, HomeRelativePathWithoutHomeIsInvalid) {
  process_options options;
  options.env_unset = {"HOME"};
  auto r = quilmar({"-c", "~/conf", "start"}, options);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Configuration path ~/conf is invalid\n");

  auto user = quilmar({"-c", "~root/conf"});
  EXPECT_EQ(user.status, 255);
  EXPECT_EQ(user.out, "Configuration path ~root/conf is invalid\n");
}

TEST(CommandLine, HomeRelativePathIsExpanded) {
  temp_dir dir;
  process_options options;
  options.env_set = {"HOME=" + dir.path()};
  auto r = quilmar({"-c", "~/missing", "list"}, options);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Cannot find configuration directory " + dir.path() +
                       "/missing. Have you run 'quilmar-init' ?\n");
}

TEST(CommandLine, MissingDirectoryStopsEveryCommand) {
  for (std::vector<std::string> words :
       {std::vector<std::string>{}, {"start"}, {"start", "debug"}, {"login"}}) {
    std::vector<std::string> args = {"-c", "/nonexistent/quilmar-dir"};
    args.insert(args.end(), words.begin(), words.end());
    auto r = quilmar(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out,
              "Cannot find configuration directory /nonexistent/quilmar-dir. "
              "Have you run 'quilmar-init' ?\n");
  }
}

// The path helpers, in process.
TEST(Paths, ExpandHome) {
  std::string saved = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", "/home/q", 1);
  std::string p = "~/x/y";
  EXPECT_TRUE(expand_home(p));
  EXPECT_EQ(p, "/home/q/x/y");
  std::string plain = "/etc";
  EXPECT_TRUE(expand_home(plain));
  EXPECT_EQ(plain, "/etc");
  for (const char *bad : {"~", "~q/x", "~~/x"}) {
    std::string b = bad;
    EXPECT_FALSE(expand_home(b)) << bad;
  }
  setenv("HOME", "", 1);
  std::string empty_home = "~/x";
  EXPECT_FALSE(expand_home(empty_home));
  setenv("HOME", saved.c_str(), 1);
}

TEST(Paths, ExistsAndMakeDir) {
  temp_dir dir;
  EXPECT_TRUE(path_exists(dir.path()));
  EXPECT_FALSE(path_exists(dir.file("nope")));
  EXPECT_TRUE(make_dir(dir.file("sub")));
  EXPECT_TRUE(make_dir(dir.file("sub")));  // already there
  struct stat st;
  ASSERT_EQ(stat(dir.file("sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(make_dir(dir.file("no/such/parent")));
}

TEST(CommandLine, EmptyArgumentVectorGetsTheNameError) {
  char *argv[] = {nullptr};
  testing::internal::CaptureStdout();
  int status = quilmar_entry(0, argv);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "error: must be run as 'quilmar' or 'quilmar-init'\n");
  EXPECT_EQ(status, 1);
}

}  // namespace
