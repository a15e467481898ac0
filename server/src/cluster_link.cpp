// The cluster's notification connection in the event loop: libpq in
// non-blocking mode, one statement in flight at a time, results handed to
// the callback of the statement they answer.
#include "cluster.h"

#include <poll.h>

#include "common/log.h"

std::unique_ptr<pg_async> pg_async::open(const std::string &conninfo) {
  PGconn *c = pg_connect(conninfo);
  if (!c || PQstatus(c) != CONNECTION_OK) {
    log_write("cluster: cannot connect to PostgreSQL: %s", c ? PQerrorMessage(c) : "no memory\n");
    PQfinish(c);
    return nullptr;
  }
  if (PQsetnonblocking(c, 1) != 0) {
    PQfinish(c);
    return nullptr;
  }
  return std::unique_ptr<pg_async>(new pg_async(c));
}

pg_async::pg_async(PGconn *c) : conn(c) {
  ev.fd = PQsocket(conn);
  ev.mask = EVL_READ;
  ev.cb = this;
  evl_watch(&ev);
}

pg_async::~pg_async() {
  if (ev.slot) evl_unwatch(&ev);
  PQfinish(conn);
}

void pg_async::submit(const std::string &sql, std::vector<pg_param> params, done_fn done) {
  jobs.push_back({sql, std::move(params), std::move(done)});
  if (!in_flight) send_next();
}

void pg_async::send_next() {
  if (in_flight || jobs.empty() || PQstatus(conn) != CONNECTION_OK) return;
  const job &j = jobs.front();
  std::vector<const char *> values;
  std::vector<int> lengths, formats;
  std::vector<Oid> types;
  for (const pg_param &p : j.params) {
    values.push_back(p.bytes.data());
    lengths.push_back(int(p.bytes.size()));
    formats.push_back(1);
    types.push_back(p.type);
  }
  if (!PQsendQueryParams(conn, j.sql.c_str(), int(values.size()), types.data(), values.data(),
                         lengths.data(), formats.data(), 1)) {
    log_write("cluster: cannot send to PostgreSQL: %s", PQerrorMessage(conn));
    broken = true;
    if (on_lost) on_lost();
    return;
  }
  in_flight = true;
  update_mask();
}

void pg_async::update_mask() {
  // Output that did not fit into the socket goes when it is writable.
  ev.mask = EVL_READ | (PQflush(conn) == 1 ? EVL_WRITE : 0);
}

void pg_async::read_input() {
  if (!PQconsumeInput(conn)) {
    log_write("cluster: lost the connection to PostgreSQL: %s", PQerrorMessage(conn));
    evl_unwatch(&ev);
    in_flight = false;
    broken = true;
    if (on_lost) on_lost();
    return;
  }
  while (in_flight && !PQisBusy(conn)) {
    PGresult *raw = PQgetResult(conn);
    if (!raw) {
      in_flight = false;
      jobs.pop_front();
      break;
    }
    pg_result r(raw);
    if (!r.ok()) log_write("cluster: statement failed: %s", PQresultErrorMessage(raw));
    if (!jobs.empty() && jobs.front().done) jobs.front().done(r);
  }
  while (PGnotify *n = PQnotifies(conn)) {
    const std::string payload = n->extra;
    PQfreemem(n);
    if (on_notify) on_notify(payload);
  }
  send_next();
}

void pg_async::on_event(evl_event *, int events) {
  if (events & EVL_WRITE) update_mask();
  if (events & (EVL_READ | EVL_ERROR)) read_input();
}

void pg_async::drain(uint32_t ms) {
  const uint32_t until = time_ms() + ms;
  while ((in_flight || !jobs.empty()) && PQstatus(conn) == CONNECTION_OK &&
         time_not_after(time_ms(), until)) {
    if (!in_flight) send_next();
    PQflush(conn);
    // Blocks on the socket only here, when the server stops.
    pollfd p = {PQsocket(conn), POLLIN, 0};
    if (poll(&p, 1, 100) > 0) read_input();
  }
}
