// The Prometheus exporter (metrics.h), over cpp-httplib.
#include "metrics.h"

#include <httplib.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "admin_hub.h"
#include "common/log.h"
#include "common/util.h"
#include "events/evl.h"
#include "hub.h"

namespace {

constexpr uint32_t REFRESH_MS = 1000;
constexpr char CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

class exporter final : public metrics_exporter, public evl_cb {
 public:
  explicit exporter(hub &h) : h(h), live(hub_admin_live(h)) {
    refresher.cb = this;
    refresher.period = REFRESH_MS;
    // One worker: scrapes are rare and each only copies a string.
    http.new_task_queue = [] { return new httplib::ThreadPool(1); };
    http.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
      std::lock_guard<std::mutex> hold(lock);
      res.set_content(page, CONTENT_TYPE);
    });
  }

  ~exporter() override {
    h.jobs->settle();
    evl_timer_stop(&refresher);
    http.stop();
    if (worker.joinable()) worker.join();
  }

  bool start(uint32_t addr, uint16_t wanted) {
    const std::string host = ip_to_text(addr);
    if (wanted) {
      bound = http.bind_to_port(host, wanted) ? wanted : 0;
    } else {
      int any = http.bind_to_any_port(host);
      bound = any > 0 ? uint16_t(any) : 0;
    }
    if (!bound) {
      log_write("srv: cannot serve metrics on %s:%u\n", host.c_str(), wanted);
      return false;
    }
    // The first page is there before anyone is told where to ask.
    refresh();
    h.jobs->settle();
    evl_timer_start(&refresher);
    worker = std::thread([this] { http.listen_after_bind(); });
    // stop() reaches only a server that runs: wait for it to, briefly.
    for (int i = 0; i < 500 && !http.is_running(); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    log_write("srv: metrics at http://%s:%u/metrics\n", host.c_str(), bound);
    return true;
  }

  uint16_t port() const override { return bound; }

  void on_event(evl_event *, int) override {}
  void on_timer(evl_timer *) override { refresh(); }

 private:
  // The store's counts are read on its worker; one refresh at a time.
  void refresh() {
    if (refreshing) return;
    refreshing = true;
    auto view = std::make_shared<admin_snapshot>(h);
    auto text = std::make_shared<std::string>();
    h.jobs->post([view, text](store &db) { *text = prometheus_text(collect_stats(db, view.get())); },
                 [this, text] {
                   refreshing = false;
                   std::lock_guard<std::mutex> hold(lock);
                   page.swap(*text);
                 });
  }

  hub &h;
  std::unique_ptr<admin_live> live;
  evl_timer refresher;
  httplib::Server http;
  std::thread worker;
  std::mutex lock;
  std::string page;  // guarded by `lock`
  uint16_t bound = 0;
  bool refreshing = false;
};

}  // namespace

std::string prometheus_text(const std::vector<stat_entry> &stats) {
  std::string out;
  for (const stat_entry &s : stats) {
    std::string name = "quilmar_" + s.key;
    if (s.key == "uptime_s") name = "quilmar_uptime_seconds";
    if (s.counter) name += "_total";
    out += "# HELP " + name + " " + s.help + "\n";
    out += "# TYPE " + name + (s.counter ? " counter\n" : " gauge\n");
    out += name + " " + std::to_string(s.value) + "\n";
  }
  return out;
}

std::unique_ptr<metrics_exporter> metrics_start(hub &h, uint32_t addr, uint16_t port) {
  std::unique_ptr<exporter> e(new exporter(h));
  if (!e->start(addr, port)) return nullptr;
  return e;
}
