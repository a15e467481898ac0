#include <poll.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>

#include "common/log.h"
#include "events/evl.h"

uint32_t evl_now = 0;

namespace {

// The table is handed to poll() as it stands: nothing is rebuilt per
// iteration. Holes left by evl_unwatch are filled lazily, once per
// iteration, by moving entries from the end.
pollfd poll_table[MAX_EVL_SLOTS];
evl_event *event_table[MAX_EVL_SLOTS];
int count = 1;

evl_timer timer_list;  // sentinel; head is timer_list.next (newest first)
bool list_changed = false;

bool clock_started = false;
timeval clock_start;
uint32_t clock_skew = 0;

short poll_events_for(int mask) {
  short events = 0;
  if (mask & EVL_READ) events |= POLLIN | POLLHUP;
  if (mask & EVL_WRITE) events |= POLLOUT | POLLHUP;
  if (mask & EVL_ERROR) events |= POLLERR;
  return events;
}

int reported_bits(short revents) {
  int bits = 0;
  if (revents & (POLLIN | POLLHUP)) bits |= EVL_READ;
  if (revents & POLLOUT) bits |= EVL_WRITE;
  if (revents & POLLERR) bits |= EVL_ERROR;
  return bits;
}

void trim_trailing_holes() {
  while (count > 1 && !event_table[count - 1]) count--;
}

void compact() {
  trim_trailing_holes();
  for (int i = 1; i < count; i++) {
    if (!event_table[i]) {
      count--;
      poll_table[i] = poll_table[count];
      event_table[i] = event_table[count];
      event_table[count] = nullptr;
      event_table[i]->slot = i;
      trim_trailing_holes();
    }
    poll_table[i].revents = 0;
  }
}

uint32_t wait_for(uint32_t now, uint32_t max_wait_ms) {
  uint32_t deadline = now + max_wait_ms;
  for (evl_timer *t = timer_list.next; t != &timer_list; t = t->next)
    if (!time_not_after(deadline, t->due)) deadline = t->due;
  if (!time_not_after(now, deadline)) deadline = now;
  return deadline - now;
}

const char *condition_text(short revents) {
  if (revents & POLLNVAL) return "is not an open descriptor";
  if (revents & POLLERR) return "reports an error";
  return "was hung up";
}

// poll() reports errors, hang-ups and closed descriptors whether asked or
// not, and goes on reporting them until someone acts. When none of it can
// reach the owner (it did not watch for errors, and the hang-up is not a
// readiness it waits for), polling the descriptor again would return at
// once on every iteration: the loop would spin. So the entry is taken out
// of the poll set, once, with a line in the log; the record stays
// registered, and the owner's next evl_watch puts the descriptor back.
void stop_polling(int slot, const evl_event *ev) {
  pollfd &entry = poll_table[slot];
  log_write("evl: fd %d %s, which its owner does not watch for; no longer polled\n", ev->fd,
            condition_text(entry.revents));
  entry.fd = -1;
  entry.events = 0;
  entry.revents = 0;
}

void dispatch_events() {
  for (int i = 1; i < count; i++) {
    evl_event *ev = event_table[i];
    if (!ev) continue;
    const short revents = poll_table[i].revents;
    int bits = reported_bits(revents) & ev->mask;
    if (bits)
      ev->cb->on_event(ev, bits);
    else if (revents & (POLLERR | POLLHUP | POLLNVAL))
      stop_polling(i, ev);
  }
}

void dispatch_timers() {
  list_changed = false;
  evl_timer *t = timer_list.next;
  while (t != &timer_list) {
    if (time_not_after(t->due, evl_now)) {
      t->due = evl_now + t->period;
      t->cb->on_timer(t);
      if (list_changed) {
        list_changed = false;
        t = timer_list.next;
        continue;
      }
    }
    t = t->next;
  }
}

}  // namespace

evl_cb::~evl_cb() {
  QUILMAR_ASSERT(t.empty());
  QUILMAR_ASSERT(f.empty());
  while (!t.empty()) evl_timer_stop(*t.begin());
  while (!f.empty()) evl_unwatch(*f.begin());
}

bool evl_init() { return true; }

uint32_t time_ms() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  if (!clock_started) {
    clock_started = true;
    clock_start = tv;
    return clock_skew;
  }
  long long ms = (long long)(tv.tv_sec - clock_start.tv_sec) * 1000 +
                 (tv.tv_usec - clock_start.tv_usec) / 1000;
  return static_cast<uint32_t>(ms) + clock_skew;
}

void time_ms_skew(uint32_t delta) { clock_skew += delta; }

void evl_watch(evl_event *ev) {
  if (ev->slot == 0) {
    if (count == MAX_EVL_SLOTS) {
      QUILMAR_ASSERT(0);
      return;
    }
    ev->slot = count++;
    event_table[ev->slot] = ev;
    ev->cb->f.insert(ev);
  }
  pollfd &entry = poll_table[ev->slot];
  entry.fd = ev->fd;
  entry.events = poll_events_for(ev->mask);
  entry.revents = 0;
}

void evl_unwatch(evl_event *ev) {
  if (ev->slot == 0) return;
  event_table[ev->slot] = nullptr;
  ev->slot = 0;
  if (ev->cb->f.erase(ev) == 0)
    QUILMAR_ASSERT(ev->cb->f.find(ev) != ev->cb->f.end());
}

void evl_timer_start(evl_timer *timer) {
  timer->due = time_ms() + timer->period;
  timer->cb->t.insert(timer);
  if (timer->next == timer) {
    timer->next = timer_list.next;
    timer->prev = &timer_list;
    timer_list.next->prev = timer;
    timer_list.next = timer;
    list_changed = true;
  }
}

void evl_timer_stop(evl_timer *timer) {
  if (timer->next == timer) return;
  timer->prev->next = timer->next;
  timer->next->prev = timer->prev;
  timer->next = timer->prev = timer;
  timer->cb->t.erase(timer);
  list_changed = true;
}

void evl_run(uint32_t max_wait_ms) {
  uint32_t now = time_ms();
  evl_now = now;
  compact();
  uint32_t wait = wait_for(now, max_wait_ms);
  int timeout = wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
  for (;;) {
    int result = poll(poll_table + 1, count - 1, timeout);
    if (result >= 0) break;
    int error = errno;
    log_write("poll %d %d %d\n", count, result, error);
    if (error == EINTR) break;
  }
  evl_now = time_ms();
  dispatch_events();
  dispatch_timers();
}
