// Helpers for tests that start the daemon as a process.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Makes `dir` a configuration directory the daemon can load: the demo key
// pair as the client's keys, and the demo server's public key as the
// server.pub it trusts (tests with a server of their own replace it).
void install_client_keys(const std::string &dir);
// True once process `pid` has a handler installed for `sig`.
bool signal_caught(pid_t pid, int sig);
// True while process `pid` waits in its event loop (in poll), that is,
// once a daemon has finished starting. A signal sent earlier could land in
// the middle of library code that the call-stack report cannot walk.
bool waiting_in_event_loop(pid_t pid);
// Pids of running processes whose command line contains `text`.
std::vector<pid_t> processes_with_argument(const std::string &text);
// SIGKILLs every process whose command line contains `text`.
void kill_processes_with_argument(const std::string &text);
