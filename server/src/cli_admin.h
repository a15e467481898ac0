// The administration commands of the command line (cli_admin.cpp), and the
// usage text they share with init and run (cli.cpp).
#pragma once

#include <cstdio>
#include <string>

// clients, networks, backup, stats.
bool is_admin_command(const std::string &word);
// `quilmar-server <admin command> ...`: the process' exit status (0 done,
// 1 a bad command line, 2 the command failed).
int admin_main(int argc, char **argv);

// cli.cpp: the usage text to `out`; on standard error with status 1.
void server_usage(FILE *out);
int server_usage_error();
