#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "client/front.h"

bool expand_home(std::string &path) {
  if (path.empty() || path[0] != '~') return true;
  if (path.size() < 2 || path[1] != '/') return false;
  const char *home = getenv("HOME");
  if (!home || !*home) return false;
  path.replace(0, 1, home);
  return true;
}

bool path_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

bool make_dir(const std::string &path) {
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}
