#include "daemon_helpers.h"

#include <dirent.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tempdir.h"

void install_client_keys(const std::string &dir) {
  const std::string keys = std::string(QUILMAR_SOURCE_DIR) + "/keys/";
  write_file(dir + "/client.pub", read_file(keys + "demo-server.pub"));
  write_file(dir + "/client.pri", read_file(keys + "demo-server.pri"));
  // No server is trusted by default: the demo server is, by this file.
  write_file(dir + "/server.pub", read_file(keys + "demo-server-for-clients.pub"));
}

bool signal_caught(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      unsigned long long mask = strtoull(line.c_str() + 7, nullptr, 16);
      return (mask >> (sig - 1)) & 1;
    }
  }
  return false;
}

bool waiting_in_event_loop(pid_t pid) {
  std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
  std::string where;
  std::getline(wchan, where);
  return where.find("poll") != std::string::npos;
}

std::vector<pid_t> processes_with_argument(const std::string &text) {
  std::vector<pid_t> pids;
  DIR *proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent *entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::stringstream ss;
    ss << cmdline.rdbuf();
    std::string args = ss.str();
    // Zombies have an empty command line and are not running.
    if (args.find(text) != std::string::npos) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

void kill_processes_with_argument(const std::string &text) {
  for (pid_t pid : processes_with_argument(text)) kill(pid, SIGKILL);
}
