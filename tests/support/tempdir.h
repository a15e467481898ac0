// A temporary directory removed with everything in it when it goes out of
// scope.
#pragma once

#include <string>

class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
