// The administration commands of quilmar-server's command line: clients,
// networks, backup and stats. Each runs over the administration socket when
// a server serves DIR (its lock is held), and otherwise on the store
// itself while this process holds the lock, so that no server starts
// meanwhile. Either way the reply passes through the same encoding and is
// printed by the same code: as one JSON document with --json, as text for
// people otherwise. Errors go to standard error with status 2.
#include "cli_admin.h"

#include <bsd/readpassphrase.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "admin_ops.h"
#include "admin_text.h"
#include "admin_wire.h"
#include "common/log.h"
#include "keys.h"

using json = nlohmann::ordered_json;

namespace {

constexpr int EXIT_FAILED = 2;
constexpr int FIND_SERVER_MS = 5000;
constexpr int CONNECT_TRY_MS = 250;

struct command_spec {
  const char *words;
  std::vector<const char *> operands;
  bool json;    // takes --json
  bool online;  // takes --online
};

const command_spec commands[] = {
    {"clients list", {}, true, true},
    {"clients remove", {"ADDR"}, false, false},
    {"clients pending", {}, true, false},
    {"clients approve", {"KEY-ID"}, false, false},
    {"clients reject", {"KEY-ID"}, false, false},
    {"networks list", {}, true, false},
    {"networks show", {"NAME"}, true, false},
    {"networks delete", {"NAME"}, false, false},
    {"networks set-owner", {"NAME", "ADDR"}, false, false},
    {"networks set-password", {"NAME"}, false, false},
    {"networks ban", {"NAME", "ADDR"}, false, false},
    {"networks unban", {"NAME", "ADDR"}, false, false},
    {"backup", {"FILE"}, false, false},
    {"stats", {}, true, false},
};

int failed(const std::string &why) {
  fprintf(stderr, "quilmar-server: %s\n", why.c_str());
  return EXIT_FAILED;
}

int stderr_log(const char *format, va_list args) {
  fputs("quilmar-server: ", stderr);
  return vfprintf(stderr, format, args);
}

// The new password: asked twice on a terminal, else one line of input.
bool read_password(std::string &password, std::string &error) {
  if (isatty(STDIN_FILENO)) {
    char first[256], again[256];
    if (!readpassphrase("New password: ", first, sizeof first, RPP_REQUIRE_TTY) ||
        !readpassphrase("Again: ", again, sizeof again, RPP_REQUIRE_TTY)) {
      error = "no password read";
      return false;
    }
    password = first;
    const bool same = password == again;
    explicit_bzero(first, sizeof first);
    explicit_bzero(again, sizeof again);
    if (!same) error = "the two passwords differ";
    return same;
  }
  if (!std::getline(std::cin, password) && password.empty()) {
    error = "no password on standard input";
    return false;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

// Takes DIR's lock: the descriptor while no server serves DIR, -1 while
// one does, -2 (with `error`) when DIR holds no store.
int try_lock(const std::string &dir, std::string &error) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      (access(store_path(dir).c_str(), F_OK) != 0 &&
       access(store_url_path(dir).c_str(), F_OK) != 0)) {
    error = dir + " holds no store (make one with 'quilmar-server init -d " + dir + "')";
    return -2;
  }
  const std::string path = dir + "/server.lock";
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // The server's user must be able to take it later.
    if (fd >= 0 && geteuid() == 0 && fchown(fd, st.st_uid, st.st_gid) != 0) {
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    error = "cannot open " + path + ": " + strerror(errno);
    return -2;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  close(fd);
  return -1;
}

// Runs the request where the store is; false with `error` when it could
// not be run at all.
bool run_request(const std::string &dir, const admin_request &request, json &reply,
                 std::string &error) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(FIND_SERVER_MS);
  for (;;) {
    int lock = try_lock(dir, error);
    if (lock == -2) return false;
    if (lock >= 0) {
      log_set_sink(stderr_log);
      const std::string url = recorded_store_url(dir);
      std::unique_ptr<store> db =
          url.empty() ? open_sqlite_store(store_path(dir)) : open_postgresql_store(url);
      if (db) {
        // The same encoding as over the socket, so the output is the same.
        const std::string frame = encode_admin_reply(admin_execute(request, *db, nullptr));
        decode_admin_reply(frame.substr(4), reply);
      } else {
        error = "cannot open the store " + (url.empty() ? store_path(dir) : "in PostgreSQL");
      }
      close(lock);
      return db != nullptr;
    }
    admin_call_result r = admin_call(admin_socket_path(dir), request, reply, error, CONNECT_TRY_MS);
    if (r == ADMIN_answered) return true;
    // The server may be starting or stopping; once the lock is free the
    // store is ours.
    if (r == ADMIN_broken || std::chrono::steady_clock::now() >= deadline) {
      if (r == ADMIN_unreachable) error = "a server holds " + dir + "/server.lock but " + error;
      return false;
    }
  }
}

int backup(const std::string &dir, const std::string &file) {
  std::string error;
  int lock = try_lock(dir, error);
  if (lock == -2) return failed(error);
  if (!recorded_store_url(dir).empty()) {
    if (lock >= 0) close(lock);
    return failed("the store of " + dir + " is in PostgreSQL: back it up with pg_dump");
  }
  char *src = realpath(store_path(dir).c_str(), nullptr);
  char *dst = realpath(file.c_str(), nullptr);
  const bool same = src && dst && strcmp(src, dst) == 0;
  free(src);
  free(dst);
  if (same) {
    if (lock >= 0) close(lock);
    return failed("will not write the backup over the store itself");
  }
  // A running server goes on serving: the copy is an online backup.
  log_set_sink(stderr_log);
  store_counts copied;
  const bool ok = backup_sqlite_store(store_path(dir), file, copied);
  if (lock >= 0) close(lock);
  if (!ok) return failed("no backup written to " + file);
  printf("wrote %s: %zu clients, %zu networks\n", file.c_str(), copied.accounts, copied.networks);
  return 0;
}

}  // namespace

bool is_admin_command(const std::string &word) {
  return word == "clients" || word == "networks" || word == "backup" || word == "stats";
}

int admin_main(int argc, char **argv) {
  // The command's words, then options and operands in any order (-h and
  // -V were looked for already).
  const command_spec *spec = nullptr;
  int first = 2;
  for (const command_spec &c : commands) {
    const std::string words = c.words;
    const bool two = words.find(' ') != std::string::npos;
    if (two && argc > 2 && words == std::string(argv[1]) + " " + argv[2]) spec = &c, first = 3;
    if (!two && words == argv[1]) spec = &c, first = 2;
  }
  if (!spec) return server_usage_error();
  std::string dir;
  bool as_json = false;
  admin_request request;
  request.command = spec->words;
  for (int i = first; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "-d" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--json" && spec->json) {
      as_json = true;
    } else if (arg == "--online" && spec->online) {
      request.online_only = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return server_usage_error();
    } else {
      request.args.push_back(arg);
    }
  }
  if (dir.empty() || request.args.size() != spec->operands.size()) return server_usage_error();
  if (request.command == "backup") return backup(dir, request.args[0]);

  std::string error;
  if (request.command == "networks set-password" && !read_password(request.password, error))
    return failed(error);
  json reply;
  if (!run_request(dir, request, reply, error)) return failed(error);
  if (!reply["ok"].get<bool>()) return failed(reply["error"].get<std::string>());
  if (as_json) {
    std::cout << reply["result"].dump(2) << std::endl;
  } else {
    std::cout << admin_text(request, reply["result"]) << std::flush;
  }
  return 0;
}
