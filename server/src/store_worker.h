// The thread that talks to the store. A store call is a round trip to a
// database server (PostgreSQL) or a file write with an fsync (SQLite), and
// either may take milliseconds or, when the database is busy, seconds:
// made on the event loop's thread, it would stall every client of the
// server meanwhile. So the hub never calls the store itself. It posts jobs
// here: `work` runs on the worker thread with the store (reads, changes and
// the CPU work that goes with them, such as password hashes), and `then`
// runs back on the event loop, woken through an eventfd, once the work is
// done. The hub's own tables are changed only in `then`, on its thread.
//
// Why a thread rather than libpq's asynchronous interface in the loop: a
// login or a network operation reads and changes the store in several
// dependent steps, and SQLite has no asynchronous interface at all. With
// one worker both stores take one code path, each step stays a plain call
// on the worker, and the loop sees one continuation per request.
//
// One worker and one queue, first in first out: changes reach the store in
// the order they were posted and continuations run in that order too. The
// worker owns the store; nothing else touches it while the worker runs.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "events/evl.h"
#include "store.h"

class store_worker final : public evl_cb {
 public:
  using work_fn = std::function<void(store &)>;
  using then_fn = std::function<void()>;

  // Starts the thread; the loop hears of finished jobs once evl_init ran.
  explicit store_worker(std::unique_ptr<store> db);
  // Runs what is queued, then joins.
  ~store_worker() override;

  // `then` may be empty; it may post further jobs.
  void post(work_fn work, then_fn then = nullptr);
  // Waits until every job posted so far (and every job their continuations
  // post) has run, continuations included, on the calling thread, which
  // must be the loop's. For stopping, and for tests that drive the hub
  // without a loop.
  void settle();
  // Jobs posted whose continuation has not run yet.
  size_t outstanding() const { return unfinished; }

  void on_event(evl_event *ev, int events) override;
  void on_timer(evl_timer *) override {}

 private:
  struct job {
    work_fn work;
    then_fn then;
  };
  void serve();
  void run_finished();

  std::unique_ptr<store> db;
  std::mutex lock;
  std::condition_variable wake;      // the worker: a job or the end
  std::condition_variable finished;  // settle: a job is done
  std::deque<job> queue;             // guarded by `lock`
  std::deque<then_fn> done;          // guarded by `lock`
  bool ending = false;               // guarded by `lock`
  size_t unfinished = 0;             // loop thread only
  evl_event doorbell;                // the eventfd
  std::thread thread;
};
