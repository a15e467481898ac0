// The running server's side of the administration commands: what the hub
// knows about connected clients, and what it tells them when an
// administrator changes the store. Used on the hub's thread only; the
// object borrows the hub and must not outlive it.
#pragma once

#include <memory>

#include "admin_ops.h"

class hub;

std::unique_ptr<admin_live> hub_admin_live(hub &h);
