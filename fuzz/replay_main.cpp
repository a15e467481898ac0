// Runs a fuzz target without libFuzzer, as part of the test suite: every
// file of the seed corpus, then a bounded number of deterministic inputs
// made by mutating the seeds and by a plain pseudo-random generator. The
// same seed gives the same inputs on every run, so a failure always
// reproduces. When the target crashes, the input is written to
// "replay-crash-<target>" in the working directory.
//
//   <target>_replay <corpus dir> [inputs]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Present only in sanitizer builds: lets us save the input before the
// sanitizer ends the process.
extern "C" void __sanitizer_set_death_callback(void (*)(void)) __attribute__((weak));

namespace {

const char *crash_file = nullptr;
std::string current_label;
std::string current_input;

void save_current() {
  // Only async-signal-safe calls: we may be inside a signal handler.
  int fd = open(crash_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, current_input.data(), current_input.size());
    (void)ignored;
    close(fd);
  }
  const char note[] = "replay: crashed on input ";
  ssize_t ignored = write(2, note, sizeof note - 1);
  ignored = write(2, current_label.data(), current_label.size());
  ignored = write(2, "\n", 1);
  (void)ignored;
}

void on_fatal_signal(int sig) {
  save_current();
  signal(sig, SIG_DFL);
  raise(sig);
}

// xorshift64*: small, fast and the same everywhere.
struct rng {
  uint64_t s;
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1DULL;
  }
  size_t below(size_t n) { return n ? size_t(next() % n) : 0; }
};

std::string mutate(rng &r, std::string in, const std::vector<std::string> &seeds) {
  int steps = 1 + int(r.below(4));
  for (int i = 0; i < steps; i++) {
    size_t pos = r.below(in.size() + 1);
    switch (r.below(7)) {
      case 0:  // flip a bit
        if (!in.empty()) in[r.below(in.size())] ^= char(1 << r.below(8));
        break;
      case 1:  // overwrite a byte with an interesting value
        if (!in.empty()) {
          static const uint8_t values[] = {0, 1, 0x7f, 0x80, 0xff, '\n', ' ', '#'};
          in[r.below(in.size())] = char(values[r.below(sizeof values)]);
        }
        break;
      case 2:  // insert random bytes
        in.insert(pos, r.below(8) + 1, char(r.next()));
        break;
      case 3:  // delete a run
        in.erase(pos, r.below(16) + 1);
        break;
      case 4:  // cut the tail
        in.resize(pos);
        break;
      case 5: {  // splice in a piece of another seed
        const std::string &other = seeds[r.below(seeds.size())];
        size_t from = r.below(other.size() + 1);
        in.insert(pos, other.substr(from, r.below(64)));
        break;
      }
      default:  // duplicate a run
        in.insert(pos, in.substr(r.below(in.size() + 1), r.below(32)));
        break;
    }
  }
  return in;
}

void run(const std::string &label, const std::string &input) {
  current_label = label;
  current_input = input;
  // Through a copy on the heap of exactly the input's size, so that a read
  // past the end is caught by the address sanitizer.
  std::vector<uint8_t> copy(input.begin(), input.end());
  LLVMFuzzerTestOneInput(copy.data(), copy.size());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <corpus dir> [inputs]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const long generated = argc > 2 ? atol(argv[2]) : 4000;

  std::string name = argv[0];
  name = "replay-crash-" + name.substr(name.rfind('/') + 1);
  crash_file = strdup(name.c_str());
  signal(SIGABRT, on_fatal_signal);
  signal(SIGSEGV, on_fatal_signal);
  signal(SIGFPE, on_fatal_signal);
  signal(SIGBUS, on_fatal_signal);
  if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(save_current);

  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  if (names.empty()) {
    fprintf(stderr, "replay: no seeds in %s\n", dir.c_str());
    return 2;
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> seeds;
  for (const std::string &n : names) {
    std::ifstream in(dir + "/" + n, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    seeds.push_back(ss.str());
    run("seed " + n, seeds.back());
  }

  // Three quarters mutated seeds, one quarter plain noise of up to 512 bytes.
  rng r{0x5eed5eed5eed5eedULL};
  for (long i = 0; i < generated; i++) {
    std::string input;
    if (i % 4 != 3) {
      input = mutate(r, seeds[r.below(seeds.size())], seeds);
    } else {
      input.resize(r.below(513));
      for (char &c : input) c = char(r.next() >> 56);
    }
    run("generated #" + std::to_string(i), input);
  }
  printf("replay: %zu seeds and %ld generated inputs passed\n", seeds.size(), generated);
  return 0;
}
