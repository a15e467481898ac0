// The running server's side of the administration commands: what the hub
// knows about connected clients, and what it tells them when an
// administrator changes the store. Used on the hub's thread only; the
// object borrows the hub and must not outlive it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "admin_ops.h"

class hub;

std::unique_ptr<admin_live> hub_admin_live(hub &h);

// An administration command runs on the store's worker, away from the
// hub's tables: it reads a copy of them taken on the hub's thread when the
// command came, and the changes it reports are kept and applied to the
// hub (through `to`, hub_admin_live) back on the hub's thread, in order.
class admin_snapshot final : public admin_live {
 public:
  // Copies what the hub knows now; on the hub's thread.
  explicit admin_snapshot(hub &h);
  // On the hub's thread, after the command ran.
  void replay(admin_live &to);

  bool presence(uint32_t identity, client_presence &p) override;
  int64_t last_seen(uint32_t identity) override;
  uint32_t password_iterations() override { return iterations; }
  live_figures figures() override { return live; }
  void client_removed(uint32_t identity, const std::vector<std::string> &networks) override;
  void network_deleted(const std::string &name) override;
  void member_banned(const std::string &name, uint32_t identity) override;
  void owner_changed(const std::string &name, uint32_t owner, bool joined) override;

 private:
  std::map<uint32_t, client_presence> ready;
  std::map<uint32_t, int64_t> seen;
  uint32_t iterations = 0;
  live_figures live;
  std::vector<std::function<void(admin_live &)>> changes;
};
