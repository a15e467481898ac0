#include "events/evl.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "log_capture.h"

namespace {


// An owner whose callbacks record what happened and may run an action.
struct recorder : evl_cb {
  std::vector<std::string> *journal;
  std::string name;
  std::function<void(evl_event *)> on_event_action;
  std::function<void(evl_timer *)> on_timer_action;
  int events = 0, timers = 0, last_bits = 0;

  recorder(std::vector<std::string> *j, std::string n) : journal(j), name(std::move(n)) {}
  void on_event(evl_event *ev, int bits) override {
    events++;
    last_bits = bits;
    journal->push_back(name);
    if (on_event_action) on_event_action(ev);
  }
  void on_timer(evl_timer *t) override {
    timers++;
    journal->push_back(name);
    if (on_timer_action) on_timer_action(t);
  }
};

// A socket pair whose first end is readable.
struct readable_pair {
  int fds[2];
  readable_pair() {
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    EXPECT_EQ(write(fds[1], "x", 1), 1);
  }
  ~readable_pair() {
    close(fds[0]);
    close(fds[1]);
  }
};

class Evl : public ::testing::Test {
 protected:
  void SetUp() override {
    start_log_capture();
  }
  // The loop is process-wide: an iteration over the records a test left
  // unwatched compacts the table, so the next test's slots start at 1.
  void TearDown() override {
    evl_run(0);
    stop_log_capture();
  }

  void watch(evl_event &ev, recorder &owner, int fd, int mask = EVL_READ) {
    ev.fd = fd;
    ev.mask = mask;
    ev.cb = &owner;
    evl_watch(&ev);
  }
  std::vector<std::string> journal;
};

using std::chrono::steady_clock;
long elapsed_ms(steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - since)
      .count();
}

TEST_F(Evl, DeliversInRegistrationOrder) {
  readable_pair p1, p2, p3;
  recorder a(&journal, "a"), b(&journal, "b"), c(&journal, "c");
  evl_event ea, eb, ec;
  watch(eb, b, p2.fds[0]);
  watch(ea, a, p1.fds[0]);
  watch(ec, c, p3.fds[0]);
  EXPECT_EQ(eb.slot, 1);
  EXPECT_EQ(ea.slot, 2);
  EXPECT_EQ(ec.slot, 3);
  evl_run(1000);
  EXPECT_EQ(journal, (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(a.last_bits, EVL_READ);
  for (auto *ev : {&ea, &eb, &ec}) evl_unwatch(ev);
}

TEST_F(Evl, OnlyBitsInTheMaskAreDelivered) {
  readable_pair p;
  recorder a(&journal, "a");
  evl_event ev;
  watch(ev, a, p.fds[0], EVL_WRITE);
  evl_run(1000);
  EXPECT_EQ(a.last_bits, EVL_WRITE);  // readable too, but only writing was asked
  ev.mask = EVL_READ | EVL_WRITE;
  evl_watch(&ev);
  EXPECT_EQ(ev.slot, 1);  // a refresh keeps the slot
  evl_run(1000);
  EXPECT_EQ(a.last_bits, EVL_READ | EVL_WRITE);
  evl_unwatch(&ev);
}

TEST_F(Evl, HangUpIsReportedAsReadable) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  close(fds[1]);
  recorder a(&journal, "a");
  evl_event ev;
  watch(ev, a, fds[0]);
  evl_run(1000);
  EXPECT_EQ(a.events, 1);
  EXPECT_EQ(a.last_bits, EVL_READ);
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), 0);
  evl_unwatch(&ev);
  close(fds[0]);
}

// poll() reports these whether asked or not; an owner that cannot hear
// them must not make every later iteration return at once.
TEST_F(Evl, ConditionsTheOwnerDoesNotWatchForStopBeingPolled) {
  int broken[2], hung[2];
  ASSERT_EQ(pipe(broken), 0);
  close(broken[0]);  // the write end now reports an error
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, hung), 0);
  close(hung[1]);    // hung up, but watched for nothing at the moment
  // A number that is no open descriptor, far from those in use.
  int gone[1] = {fcntl(hung[0], F_DUPFD, 900)};
  ASSERT_GE(gone[0], 900);
  close(gone[0]);

  recorder a(&journal, "a"), b(&journal, "b"), c(&journal, "c");
  evl_event ea, eb, ec;
  watch(ea, a, broken[1], EVL_READ);
  watch(eb, b, gone[0], EVL_READ | EVL_WRITE);
  watch(ec, c, hung[0], 0);
  evl_run(100);  // sees all three at once
  auto start = steady_clock::now();
  for (int i = 0; i < 3; i++) evl_run(100);
  EXPECT_GE(elapsed_ms(start), 290) << "the loop did not wait: it spins";
  EXPECT_TRUE(journal.empty());
  std::vector<std::string> expected{
      "evl: fd " + std::to_string(broken[1]) +
          " reports an error, which its owner does not watch for; no longer polled\n",
      "evl: fd " + std::to_string(hung[0]) +
          " was hung up, which its owner does not watch for; no longer polled\n",
      "evl: fd " + std::to_string(gone[0]) +
          " is not an open descriptor, which its owner does not watch for; no longer polled\n"};
  std::sort(expected.begin(), expected.end());
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged, expected);
  EXPECT_NE(ea.slot, 0) << "the records stay registered";

  // Watching again with an interest that covers it brings it back.
  ea.mask = EVL_READ | EVL_ERROR;
  evl_watch(&ea);
  ec.mask = EVL_READ;
  evl_watch(&ec);
  evl_run(1000);
  EXPECT_EQ(a.events, 1);
  EXPECT_EQ(a.last_bits, EVL_ERROR);
  EXPECT_EQ(c.events, 1);
  EXPECT_EQ(c.last_bits, EVL_READ);
  EXPECT_EQ(b.events, 0);
  for (auto *ev : {&ea, &eb, &ec}) evl_unwatch(ev);
  close(broken[1]);
  close(hung[0]);
}

// What the owner does watch for still arrives as before: an error that
// comes with readiness is delivered, and nothing is logged.
TEST_F(Evl, WatchedConditionsAreDeliveredAndStayPolled) {
  int broken[2];
  ASSERT_EQ(pipe(broken), 0);
  close(broken[0]);
  recorder a(&journal, "a");
  evl_event ev;
  watch(ev, a, broken[1], EVL_WRITE);
  evl_run(1000);
  evl_run(1000);
  EXPECT_EQ(a.events, 2);
  EXPECT_EQ(a.last_bits, EVL_WRITE);
  EXPECT_TRUE(logged.empty());
  evl_unwatch(&ev);
  close(broken[1]);
}

TEST_F(Evl, CompactionFillsHolesFromTheEnd) {
  readable_pair p;
  recorder a(&journal, "a");
  evl_event ev[5];
  for (auto &e : ev) watch(e, a, p.fds[0]);
  evl_unwatch(&ev[0]);
  evl_unwatch(&ev[1]);
  evl_unwatch(&ev[2]);
  EXPECT_EQ(ev[0].slot, 0);
  evl_run(1000);
  // Slots 1 to 3 were holes: the last entry fills slot 1, then the next
  // last fills slot 2.
  EXPECT_EQ(ev[4].slot, 1);
  EXPECT_EQ(ev[3].slot, 2);
  EXPECT_EQ(a.events, 2);
  // A fresh watch lands right after the compacted entries.
  watch(ev[0], a, p.fds[0]);
  EXPECT_EQ(ev[0].slot, 3);
  for (auto &e : ev) evl_unwatch(&e);
}

TEST_F(Evl, TrailingHolesAreTrimmed) {
  readable_pair p;
  recorder a(&journal, "a");
  evl_event ev[4];
  for (auto &e : ev) watch(e, a, p.fds[0]);
  evl_unwatch(&ev[2]);
  evl_unwatch(&ev[3]);
  evl_run(1000);
  evl_event fresh;
  watch(fresh, a, p.fds[0]);
  EXPECT_EQ(fresh.slot, 3);
  for (auto &e : ev) evl_unwatch(&e);
  evl_unwatch(&fresh);
}

TEST_F(Evl, RecordUnwatchedDuringDispatchIsSkipped) {
  readable_pair p1, p2;
  recorder a(&journal, "a"), b(&journal, "b");
  evl_event ea, eb;
  watch(ea, a, p1.fds[0]);
  watch(eb, b, p2.fds[0]);
  a.on_event_action = [&](evl_event *) {
    evl_unwatch(&eb);
    EXPECT_EQ(eb.slot, 0);
    evl_watch(&eb);  // re-registered at once: lands at the end, no events yet
    EXPECT_EQ(eb.slot, 3);
  };
  evl_run(1000);
  EXPECT_EQ(journal, (std::vector<std::string>{"a"}));
  a.on_event_action = nullptr;
  journal.clear();
  evl_run(1000);
  EXPECT_EQ(journal, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(eb.slot, 2);
  evl_unwatch(&ea);
  evl_unwatch(&eb);
}

TEST_F(Evl, RecordWatchedDuringDispatchWaitsForTheNextIteration) {
  readable_pair p1, p2;
  recorder a(&journal, "a"), b(&journal, "b");
  evl_event ea, eb;
  watch(ea, a, p1.fds[0]);
  a.on_event_action = [&](evl_event *) {
    if (!eb.slot) watch(eb, b, p2.fds[0]);
  };
  evl_run(1000);
  EXPECT_EQ(b.events, 0);
  evl_run(1000);
  EXPECT_EQ(b.events, 1);
  evl_unwatch(&ea);
  evl_unwatch(&eb);
}

TEST_F(Evl, OwnerMayDestroyItselfInsideItsCallback) {
  readable_pair p1, p2;
  recorder *a = new recorder(&journal, "a");
  recorder b(&journal, "b");
  evl_event ea, eb;
  watch(ea, *a, p1.fds[0]);
  watch(eb, b, p2.fds[0]);
  a->on_event_action = [&](evl_event *ev) {
    evl_unwatch(ev);
    delete a;
  };
  evl_run(1000);
  EXPECT_EQ(journal, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(logged.empty());
  evl_unwatch(&eb);
}

TEST_F(Evl, TableHoldsAtMost32767Records) {
  readable_pair p;
  recorder a(&journal, "a");
  std::vector<evl_event> ev(MAX_EVL_SLOTS);
  for (int i = 0; i < MAX_EVL_SLOTS - 1; i++) watch(ev[i], a, p.fds[0]);
  EXPECT_EQ(ev[MAX_EVL_SLOTS - 2].slot, MAX_EVL_SLOTS - 1);
  EXPECT_TRUE(logged.empty());
  watch(ev.back(), a, p.fds[0]);
  EXPECT_EQ(ev.back().slot, 0);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("assert 0 in ../events/src/unix/evl_poll.cpp:", 0), 0u)
      << logged[0];
  // poll() takes no more entries than the descriptor limit, and every entry
  // here shares one descriptor: dispatch the full table where it may.
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= rlim_t(MAX_EVL_SLOTS)) {
    evl_run(1000);
    EXPECT_EQ(a.events, MAX_EVL_SLOTS - 1);
  }
  for (auto &e : ev) evl_unwatch(&e);
  EXPECT_TRUE(a.f.empty());
}

TEST_F(Evl, EmptyLoopWaitsTheWholeTime) {
  auto start = steady_clock::now();
  evl_run(200);
  EXPECT_GE(elapsed_ms(start), 190);
}

TEST_F(Evl, DueTimerShortensTheWait) {
  recorder a(&journal, "a");
  evl_timer t;
  t.period = 50;
  t.cb = &a;
  evl_timer_start(&t);
  // The timer fires after about 50 ms, well before the 10 s maximum.
  auto start = steady_clock::now();
  while (a.timers == 0 && elapsed_ms(start) < 5000) evl_run(10000);
  EXPECT_EQ(a.timers, 1);
  EXPECT_LT(elapsed_ms(start), 5000);
  evl_timer_stop(&t);
}

TEST_F(Evl, PeriodicTimerRearmsFromTheFiring) {
  recorder a(&journal, "a");
  evl_timer t;
  t.period = 20;
  t.cb = &a;
  evl_timer_start(&t);
  auto start = steady_clock::now();
  while (a.timers < 3 && elapsed_ms(start) < 5000) evl_run(1000);
  EXPECT_EQ(a.timers, 3);
  EXPECT_GE(elapsed_ms(start), 55);
  EXPECT_TRUE(evl_timer_running(&t));
  evl_timer_stop(&t);
  EXPECT_FALSE(evl_timer_running(&t));
  EXPECT_TRUE(a.t.empty());
}

TEST_F(Evl, NewestTimerFiresFirst) {
  recorder a(&journal, "old"), b(&journal, "new");
  evl_timer ta, tb;
  ta.period = tb.period = 0;
  ta.cb = &a;
  tb.cb = &b;
  evl_timer_start(&ta);
  evl_timer_start(&tb);
  evl_run(1000);
  EXPECT_EQ(journal, (std::vector<std::string>{"new", "old"}));
  evl_timer_stop(&ta);
  evl_timer_stop(&tb);
}

TEST_F(Evl, TimerStartedInACallbackWaitsForALaterIteration) {
  recorder a(&journal, "a"), b(&journal, "b");
  evl_timer ta, tb;
  ta.period = 0;
  ta.cb = &a;
  tb.period = 1000;
  tb.cb = &b;
  a.on_timer_action = [&](evl_timer *t) {
    evl_timer_stop(t);
    evl_timer_start(&tb);
  };
  evl_timer_start(&ta);
  evl_run(1000);
  EXPECT_EQ(a.timers, 1);
  EXPECT_EQ(b.timers, 0);
  EXPECT_TRUE(evl_timer_running(&tb));
  evl_timer_stop(&tb);
}

TEST_F(Evl, StoppingTimersInsideCallbacksIsSafe) {
  recorder a(&journal, "a"), b(&journal, "b"), c(&journal, "c");
  evl_timer ta, tb, tc;
  for (auto [t, r] : {std::pair{&ta, &a}, {&tb, &b}, {&tc, &c}}) {
    t->period = 5;
    t->cb = r;
  }
  evl_timer_start(&ta);
  evl_timer_start(&tb);
  evl_timer_start(&tc);  // list: c, b, a
  c.on_timer_action = [&](evl_timer *self) { evl_timer_stop(self); };
  b.on_timer_action = [&](evl_timer *) { evl_timer_stop(&ta); };
  auto start = steady_clock::now();
  while (c.timers == 0 && elapsed_ms(start) < 5000) evl_run(1000);
  // c stopped itself, the walk restarted, b fired once and stopped a.
  EXPECT_EQ(journal, (std::vector<std::string>{"c", "b"}));
  EXPECT_FALSE(evl_timer_running(&tc));
  EXPECT_FALSE(evl_timer_running(&ta));
  EXPECT_TRUE(evl_timer_running(&tb));
  evl_timer_stop(&tb);
}

TEST_F(Evl, RestartMovesExpiryAndKeepsListPosition) {
  recorder a(&journal, "a"), b(&journal, "b");
  evl_timer ta, tb;
  ta.period = tb.period = 0;
  ta.cb = &a;
  tb.cb = &b;
  evl_timer_start(&ta);
  evl_timer_start(&tb);  // list: b, a
  evl_timer_start(&ta);  // restart in place: still b, a
  evl_run(1000);
  EXPECT_EQ(journal, (std::vector<std::string>{"b", "a"}));

  tb.period = 100000;
  evl_timer_start(&tb);
  EXPECT_TRUE(time_not_after(tb.due, time_ms() + 100000));
  EXPECT_FALSE(time_not_after(tb.due, time_ms() + 90000));
  evl_timer_stop(&ta);
  evl_timer_stop(&tb);
}

TEST_F(Evl, DestroyedOwnerWithRunningTimerIsReportedAndSilenced) {
  auto *a = new recorder(&journal, "a");
  evl_timer t;
  t.period = 0;
  t.cb = a;
  evl_timer_start(&t);
  delete a;
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("assert t.empty() in ../events/src/unix/evl_poll.cpp:", 0), 0u);
  EXPECT_FALSE(evl_timer_running(&t));
  evl_run(10);
  EXPECT_TRUE(journal.empty());
}

TEST_F(Evl, DestroyedOwnerWithWatchIsReportedAndUnwatched) {
  readable_pair p;
  auto *a = new recorder(&journal, "a");
  evl_event ev;
  watch(ev, *a, p.fds[0]);
  delete a;
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("assert f.empty() in ", 0), 0u);
  EXPECT_EQ(ev.slot, 0);
  evl_run(10);
  EXPECT_TRUE(journal.empty());
}

TEST_F(Evl, TimersAcrossTheClockWrap) {
  // Put the clock 100 ms before the 32-bit wrap: a timer due just after
  // the wrap must neither fire at once nor be forgotten.
  time_ms_skew(0u - time_ms() - 100);
  ASSERT_GT(time_ms(), 0xffffff00u);
  recorder a(&journal, "a");
  evl_timer t;
  t.period = 300;
  t.cb = &a;
  evl_timer_start(&t);
  EXPECT_LT(t.due, 1000u);  // wrapped
  evl_run(0);
  EXPECT_EQ(a.timers, 0);
  auto start = steady_clock::now();
  while (a.timers == 0 && elapsed_ms(start) < 5000) evl_run(1000);
  EXPECT_EQ(a.timers, 1);
  EXPECT_GE(elapsed_ms(start), 250);
  EXPECT_LT(evl_now, 0x80000000u);
  evl_timer_stop(&t);
}

}  // namespace
