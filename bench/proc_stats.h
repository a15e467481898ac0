// What the benchmarks read of another process from /proc: the CPU time it
// has used (all its threads, user and system) and its resident size.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

inline double cpu_seconds_of(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string tok;
  double ticks = 0;
  for (int i = 1; i <= 15 && f >> tok; i++)
    if (i == 14 || i == 15) ticks += atof(tok.c_str());
  return ticks / double(sysconf(_SC_CLK_TCK));
}

inline long rss_kib_of(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return 0;
}
