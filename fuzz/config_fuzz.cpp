// The config file is the user's and the state file may have been edited or
// cut short. The input is a config file, optionally followed by a line
// "%%" and a state file. Every line goes through split_entry (checked
// against a plain reading of the line format), then both files are loaded
// from a configuration directory with the demo key pair as client keys,
// and what loaded is saved and must load back the same.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "client/config.h"
#include "fuzz_check.h"

namespace {

const char kBlanks[] = " \t\r\n";

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_all(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  FUZZ_CHECK(out.good());
}

std::string dir;  // the configuration directory, one per process

void remove_dir() {
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        unlink((dir + "/" + e->d_name).c_str());
    closedir(d);
  }
  rmdir(dir.c_str());
}

void make_dir() {
  // Memory-backed when possible: save_state syncs every file it writes.
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  pattern += "/quilmar-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(&pattern[0]));
  dir = pattern;
  atexit(remove_dir);
  write_all(dir + "/client.pub", read_all(QUILMAR_SOURCE_DIR "/keys/demo-server.pub"));
  write_all(dir + "/client.pri", read_all(QUILMAR_SOURCE_DIR "/keys/demo-server.pri"));
  setenv("HOME", dir.c_str(), 1);  // for "~/" in OnOnline and LogFile
}

// The line format read directly: trim blanks, skip comments, key up to the
// first space or tab, value after the blanks that follow.
void check_split(const std::string &line) {
  std::string key, value;
  const bool got = split_entry(line.c_str(), key, value);
  const std::string text(line.c_str());  // the C string ends at a NUL byte
  const size_t first = text.find_first_not_of(kBlanks);
  bool want = false;
  if (first != std::string::npos && text[first] != '#') {
    const std::string body = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
    const size_t gap = body.find_first_of(" \t");
    if (gap != std::string::npos) {
      want = true;
      FUZZ_CHECK(got && key == body.substr(0, gap));
      FUZZ_CHECK(value == body.substr(body.find_first_not_of(kBlanks, gap)));
    }
  }
  FUZZ_CHECK(got == want);
}

// A value comes back from the state file only if its line ("Key" padded to
// eleven columns, the value, a newline) fits the 127 characters read at a
// time, and if it has no blanks at its ends.
bool round_trips(const std::string &value) {
  return value.size() <= 115 && value.find('\n') == std::string::npos &&
         (value.empty() || (!strchr(kBlanks, value.front()) && !strchr(kBlanks, value.back())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (dir.empty()) make_dir();
  const std::string input(reinterpret_cast<const char *>(data), size);
  for (size_t at = 0; at < size;) {
    size_t end = input.find('\n', at);
    end = end == std::string::npos ? size : end + 1;
    check_split(input.substr(at, end - at));
    at = end;
  }

  size_t split = input.rfind("%%\n", 0) == 0 ? 0 : input.find("\n%%\n");
  unlink((dir + "/state").c_str());
  if (split == std::string::npos) {
    write_all(dir + "/config", input);
  } else {
    size_t state_at = input.find("%%\n", split) + 3;
    write_all(dir + "/config", input.substr(0, split));
    write_all(dir + "/state", input.substr(state_at));
  }

  config loaded;
  loaded.cfg_path = dir;
  load_config(loaded);
  FUZZ_CHECK(varint_lengths);
  FUZZ_CHECK(save_state(loaded));

  unlink((dir + "/config").c_str());
  config back;
  back.cfg_path = dir;
  const bool reloaded = load_config(back);
  bool all = round_trips(loaded.nickname) && round_trips(loaded.rename_to);
  for (const std::string &net : loaded.online_nets) all = all && round_trips(net);
  if (all) {
    FUZZ_CHECK(reloaded);
    FUZZ_CHECK(back.identity == loaded.identity);
    FUZZ_CHECK(back.nickname == loaded.nickname);
    FUZZ_CHECK(back.rename_to == loaded.rename_to);
    FUZZ_CHECK(back.auto_login == loaded.auto_login);
    FUZZ_CHECK(back.online_nets == loaded.online_nets);
  }
  return 0;
}
