// Statistics for Prometheus: `run --metrics ADDR:PORT` serves them at
// http://ADDR:PORT/metrics in the Prometheus text format.
//
// Threading: the HTTP server runs on a thread of its own and only ever
// reads a page of text under a mutex. The event loop renders that page
// once a second from the hub's figures (a timer of this object), so a
// scrape never touches the hub and never waits for the loop.
// Lifetime: the object borrows the hub and must go before it; destroying it
// stops the HTTP thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "admin_ops.h"

class hub;

class metrics_exporter {
 public:
  virtual ~metrics_exporter() = default;
  virtual uint16_t port() const = 0;  // the bound port (useful with port 0)
};

// Binds ADDR:PORT and starts serving; null after a log line.
std::unique_ptr<metrics_exporter> metrics_start(hub &h, uint32_t addr, uint16_t port);

// The statistics as a Prometheus text page.
std::string prometheus_text(const std::vector<stat_entry> &stats);
