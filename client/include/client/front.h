// The front end of the executable: the entry point that picks a role by the
// program's name, the `quilmar` command line, the daemon's start-up and main
// loop, detaching, the daemon's log sink, and the path helpers shared with
// the initialisation tool.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

// Picks the role by the last component of argv[0].
int quilmar_entry(int argc, char **argv);
int quilmar_main(int argc, char **argv);
int quilmar_init_main(int argc, char **argv);

// Prints the banner and the usage text and ends the process with status 1.
[[noreturn]] void usage();
extern const char banner[];

// The daemon: `words` are the command words, the first being "start".
int daemon_main(const std::vector<std::string> &words);

class session;
struct config;
// Limits the session's shapers to the configured rates.
void set_rate_limits(session &s, const config &cfg);

// Detaches from the terminal with two forks; the parents exit with 0.
bool daemonize();

// Replaces a leading "~/" by $HOME; false for "~" followed by anything else
// or when HOME is unset or empty. Other paths are left alone.
bool expand_home(std::string &path);
// False only when stat fails with ENOENT.
bool path_exists(const std::string &path);
// mkdir with mode 0700; an existing entry counts as success.
bool make_dir(const std::string &path);

// The daemon's log sink: a time and pid prefix, standard output while
// log_to_stdout, and the configured log file while log_to_file.
int daemon_log_sink(const char *format, va_list args);
extern bool log_to_stdout;
extern bool log_to_file;
// Makes `sig` open the log file anew with the next line (for log rotation).
void reopen_log_on_signal(int sig);

// Signal handling: `sigact` routes the signal through the call-stack report
// to `handler`.
void sigact(int sig, void (*handler)(int));
void fatal_signal(int sig);
void reap_child(int sig);
