// Several servers on one PostgreSQL database, serving as one. Each server
// registers itself (an ID, where clients reach it, a slot that makes the
// tunnel identifiers it hands out unique across the cluster) and heartbeats
// every two seconds; one that stops heartbeating for six is declared dead by
// the first server that notices, and its clients go offline for everyone.
//
// Presence travels as notifications on one PostgreSQL channel: a server
// tells the others when a client of its own is ready, goes online or
// offline, leaves, or changes a membership. Each server mirrors the ready
// clients of the others as remote connections (connection::remote_server),
// which the hub's presence code treats like its own, except that nothing is
// sent to them: of a pair between a client here and one there, the server
// of the lower identity makes the tunnel (identifiers, key material, path)
// and hands the other server the punch and peer.ok for its client; ending a
// pair each server does for its own client, since both see the same
// presence.
//
// Threading: everything runs on the hub's thread. The notification
// connection runs libpq's asynchronous interface inside the event loop: its
// writes are queued and sent as the socket takes them, its results and
// notifications are read when it is readable, so the loop never waits on a
// round trip for presence. The store keeps a connection of its own, used
// on the store worker's thread (store_worker.h).
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "clisrv/server_msg.h"
#include "events/evl.h"
#include "pg_util.h"

class hub;
class connection;

// A libpq connection driven by the event loop: queued statements go out
// one after another; each one's result reaches its callback; notifications
// reach `on_notify`.
class pg_async final : public evl_cb {
 public:
  using done_fn = std::function<void(const pg_result &)>;
  // Null after a log line when the database cannot be reached.
  static std::unique_ptr<pg_async> open(const std::string &conninfo);
  ~pg_async() override;

  void submit(const std::string &sql, std::vector<pg_param> params = {}, done_fn done = nullptr);
  // Sends what is queued and waits for the answers, at most `ms` (used
  // when stopping).
  void drain(uint32_t ms);
  size_t queued() const { return jobs.size(); }
  bool healthy() const { return !broken && PQstatus(conn) == CONNECTION_OK; }

  std::function<void(const std::string &payload)> on_notify;
  // The connection failed and could not be opened again: the server cannot
  // tell the others anything.
  std::function<void()> on_lost;

  void on_event(evl_event *ev, int events) override;
  void on_timer(evl_timer *) override {}

 private:
  explicit pg_async(PGconn *c);
  void send_next();
  void read_input();
  void update_mask();

  struct job {
    std::string sql;
    std::vector<pg_param> params;
    done_fn done;
  };
  PGconn *conn;
  evl_event ev;
  std::deque<job> jobs;
  bool in_flight = false;
  bool broken = false;
};

class cluster final : public evl_cb {
 public:
  // Registers this server in the database at `conninfo` and starts
  // listening; null after a log line.
  static std::unique_ptr<cluster> join(hub &h, const std::string &conninfo);
  ~cluster() override;

  uint32_t id() const { return self; }
  // The top byte of every identifier this server hands out.
  uint8_t slot() const { return slot_; }

  // ---- what the hub tells the others ----
  void ready(const connection &c);
  void online(const connection &c, const std::string &net);
  void offline(const connection &c, const std::string &net);
  void gone(const connection &c);
  void joined(const std::string &net, uint32_t who);
  void removed(const std::string &net, uint32_t who);
  void deleted(const std::string &net);
  // The administrator gave `net` to `owner` (a new member when `joined`).
  void owner_changed(const std::string &net, uint32_t owner, bool joined);
  // The administrator removed the client, which belonged to `nets`.
  void client_removed(uint32_t who, const std::vector<std::string> &nets);
  // A pair made here between `local` and `remote`: the other server takes
  // the remote side's identifiers and the frames `remote` was sent (its
  // punch and peer.ok) to its own client.
  void pair_made(connection &remote, const connection &local);

  // Hands every ready client to a live server of the cluster with the
  // redirect message; false when there is none to hand them to.
  bool hand_off();
  // Deregisters, telling the others that this server's clients are gone.
  void leave();

  void on_event(evl_event *, int) override {}
  void on_timer(evl_timer *t) override;

 private:
  cluster(hub &h, std::unique_ptr<pg_async> link, std::unique_ptr<pg_connection> sync);
  void tell(const std::string &text);
  void apply(const std::string &payload);
  void apply_ready(uint32_t from, uint32_t who, const std::vector<std::string> &f);
  void apply_pair(uint32_t from, uint32_t who, const std::vector<std::string> &f);
  void drop_server(uint32_t server);
  void drop_remote(connection *c);
  void announce_all();
  void heartbeat();
  bool register_self();
  bool reconnect();
  void attach_link();

  hub &h;
  std::unique_ptr<pg_async> link;
  std::unique_ptr<pg_connection> sync;  // start and stop only
  uint32_t self = 0;
  uint8_t slot_ = 0;
  srv::endpoint public_ep;  // where clients reach us, as registered
  std::map<uint32_t, connection *> remotes;  // ready clients of other servers
  evl_timer beat;
  bool left = false;
  bool applying = false;  // a change told by another server: not told again
  std::string conninfo;
  uint32_t last_beat = 0;  // evl_now of the last heartbeat the database took
};

// Bytes as hex digits ("-" for none), as notifications carry names and frames.
std::string cluster_hex(const std::string &bytes);
