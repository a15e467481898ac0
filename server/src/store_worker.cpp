// The store's worker thread and the loop's end of it (store_worker.h).
#include "store_worker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

store_worker::store_worker(std::unique_ptr<store> db) : db(std::move(db)) {
  doorbell.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  doorbell.mask = EVL_READ;
  doorbell.cb = this;
  if (doorbell.fd >= 0) evl_watch(&doorbell);
  thread = std::thread([this] { serve(); });
}

store_worker::~store_worker() {
  {
    std::lock_guard<std::mutex> hold(lock);
    ending = true;
  }
  wake.notify_one();
  thread.join();
  if (doorbell.fd >= 0) {
    evl_unwatch(&doorbell);
    close(doorbell.fd);
  }
}

void store_worker::post(work_fn work, then_fn then) {
  unfinished++;
  {
    std::lock_guard<std::mutex> hold(lock);
    queue.push_back({std::move(work), std::move(then)});
  }
  wake.notify_one();
}

void store_worker::serve() {
  std::unique_lock<std::mutex> hold(lock);
  for (;;) {
    wake.wait(hold, [this] { return ending || !queue.empty(); });
    // Stopping drains the queue: every posted change reaches the store.
    if (queue.empty()) return;
    job j = std::move(queue.front());
    queue.pop_front();
    hold.unlock();
    if (j.work) j.work(*db);
    hold.lock();
    done.push_back(std::move(j.then));
    finished.notify_all();
    if (doorbell.fd >= 0) {
      uint64_t one = 1;
      ssize_t n = write(doorbell.fd, &one, sizeof one);
      (void)n;  // only fails when the counter is already high: the loop wakes anyway
    }
  }
}

void store_worker::run_finished() {
  std::deque<then_fn> ready;
  {
    std::lock_guard<std::mutex> hold(lock);
    ready.swap(done);
  }
  for (then_fn &then : ready) {
    unfinished--;
    if (then) then();
  }
}

void store_worker::on_event(evl_event *, int) {
  uint64_t count;
  while (read(doorbell.fd, &count, sizeof count) > 0) {
  }
  run_finished();
}

void store_worker::settle() {
  while (unfinished) {
    {
      std::unique_lock<std::mutex> hold(lock);
      finished.wait(hold, [this] { return !done.empty(); });
    }
    run_finished();
  }
}
