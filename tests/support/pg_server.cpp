#include "pg_server.h"

#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "process.h"

namespace {

std::string newest_postgresql_bin() {
  glob_t g;
  std::string found;
  if (glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &g) == 0 && g.gl_pathc > 0) {
    found = g.gl_pathv[g.gl_pathc - 1];
    found.erase(found.size() - strlen("/pg_ctl"));
  }
  globfree(&g);
  return found;
}

}  // namespace

pg_server::pg_server() {
  bin = newest_postgresql_bin();
  if (bin.empty()) {
    reason = "PostgreSQL is not installed (scripts/deps.sh installs it)";
    return;
  }
  char tmpl[] = "/tmp/quilmar-pg-XXXXXX";
  if (!mkdtemp(tmpl)) {
    reason = "cannot make a temporary directory";
    return;
  }
  dir = tmpl;
  if (geteuid() == 0) {
    const passwd *nobody = getpwnam("nobody");
    if (!nobody || chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
      reason = "running as root and cannot hand a directory to the user nobody";
      return;
    }
  }
  if (!run_as_owner({bin + "/initdb", "-D", dir + "/data", "-A", "trust", "-U", "quilmar",
                     "--no-sync", "--no-instructions"})) {
    reason = "initdb failed (see " + dir + ")";
    return;
  }
  started = run_as_owner({bin + "/pg_ctl", "-D", dir + "/data", "-l", dir + "/log", "-w", "-t",
                          "30", "-o",
                          "-k " + dir + " -c listen_addresses= -F -c max_connections=60",
                          "start"});
  if (!started) reason = "pg_ctl start failed: " + read_log();
}

pg_server::~pg_server() {
  if (started) run_as_owner({bin + "/pg_ctl", "-D", dir + "/data", "-m", "immediate", "-w", "stop"});
  if (!dir.empty()) run_process("/bin/rm", {"-rf", dir});
}

std::string pg_server::read_log() const {
  process_result r = run_process("/bin/cat", {dir + "/log"});
  return r.out;
}

bool pg_server::run_as_owner(const std::vector<std::string> &args) {
  process_options o;
  o.timeout = std::chrono::seconds(60);
  process_result r;
  if (geteuid() == 0) {
    std::vector<std::string> all = {"-u", "nobody", "--"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string runuser = find_program("runuser");
    if (runuser.empty()) return false;
    r = run_process(runuser, all, o);
  } else {
    r = run_process(args[0], std::vector<std::string>(args.begin() + 1, args.end()), o);
  }
  return r.status == 0 && !r.timed_out;
}

std::string pg_server::uri(const std::string &name) const {
  return "postgresql://quilmar@/" + name + "?host=" + dir;
}

bool pg_server::sql(const std::string &name, const std::string &statement) {
  PGconn *c = PQconnectdb(uri(name).c_str());
  bool ok = PQstatus(c) == CONNECTION_OK;
  if (ok) {
    PGresult *r = PQexec(c, statement.c_str());
    const ExecStatusType s = PQresultStatus(r);
    ok = s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    PQclear(r);
  }
  PQfinish(c);
  return ok;
}

std::string pg_server::create_database(const std::string &name) {
  if (!running() || !sql("postgres", "CREATE DATABASE " + name)) return "";
  return uri(name);
}
