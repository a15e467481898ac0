// Helpers for tests that start the daemon as a process.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Makes `dir` a configuration directory the daemon can load: the demo key
// pair as the client's keys.
void install_client_keys(const std::string &dir);
// True once process `pid` has a handler installed for `sig`.
bool signal_caught(pid_t pid, int sig);
// Pids of running processes whose command line contains `text`.
std::vector<pid_t> processes_with_argument(const std::string &text);
// SIGKILLs every process whose command line contains `text`.
void kill_processes_with_argument(const std::string &text);
