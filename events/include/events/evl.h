// The process-wide, poll-based event loop. Objects derive from evl_cb and
// register watch records (evl_event) and periodic timers (evl_timer) that
// they embed by value. evl_run performs one wait-and-dispatch iteration;
// callers repeat it for as long as the program should run.
//
// All callbacks run inside evl_run on the caller's thread. A callback may
// watch, unwatch, start and stop any record (its own included), change
// masks and destroy owners; records registered during dispatch hear nothing
// until the next iteration. An owner must stop its timers and unwatch its
// records before it dies; its destructor logs and cleans up when it did not.
#pragma once

#include <cstdint>
#include <set>

enum { EVL_READ = 1, EVL_WRITE = 2, EVL_ERROR = 4 };

constexpr int MAX_EVL_SLOTS = 32768;  // slot 0 is reserved

struct evl_event;
struct evl_timer;

class evl_cb {
 public:
  virtual void on_event(evl_event *ev, int events) = 0;
  virtual void on_timer(evl_timer *timer) = 0;
  virtual ~evl_cb();

  std::set<evl_timer *> t;  // this owner's started timers
  std::set<evl_event *> f;  // this owner's registered watch records
};

// A descriptor watch. Set fd, mask and cb before the first evl_watch; only
// the loop writes `slot` (0 while unregistered).
struct evl_event {
  int fd = -1;
  int mask = 0;
  evl_cb *cb = nullptr;
  int slot = 0;
};

// A periodic timer; each firing re-arms it `period` ms after the loop time
// of the firing. A stopped timer links to itself.
struct evl_timer {
  evl_timer() : next(this), prev(this) {}
  evl_timer(const evl_timer &) = delete;
  evl_timer &operator=(const evl_timer &) = delete;

  uint32_t period = 0;
  evl_cb *cb = nullptr;
  evl_timer *next;
  evl_timer *prev;
  uint32_t due = 0;
};

bool evl_init();
// One iteration: waits at most `max_wait_ms` (less if a timer is due), then
// delivers descriptor events in slot order and then due timers.
void evl_run(uint32_t max_wait_ms);
void evl_watch(evl_event *ev);
void evl_unwatch(evl_event *ev);
void evl_timer_start(evl_timer *timer);
void evl_timer_stop(evl_timer *timer);
inline bool evl_timer_running(const evl_timer *timer) { return timer->next != timer; }

// The loop's cached clock, refreshed around each wait. Read-only outside
// the loop.
extern uint32_t evl_now;

// Milliseconds since the first call, wrapping after about 49.7 days.
uint32_t time_ms();
// For tests: moves the clock by `delta` ms, for instance next to the wrap.
void time_ms_skew(uint32_t delta);

// Wrap-aware order of two clock readings: true when `a` is not after `b`.
inline bool time_not_after(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) <= 0;
}
