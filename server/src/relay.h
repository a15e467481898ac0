// The relay: for pairs of clients that cannot reach each other directly, the
// server forwards their tunnel datagrams on a UDP socket of its own, by the
// SPI in their first word, without decrypting them (relay_table.h decides).
//
// Why a thread of its own, rather than budgeted work in the one event loop:
// forwarding is steady, CPU-bound work (a relayed pair may carry tens of
// megabits a second), while a login costs milliseconds of RSA. Sharing one
// loop, any budget either lets a burst of datagrams hold up logins or caps
// the relay below what the machine can do; on its own thread each gets a
// core when there are two, and the scheduler shares one fairly otherwise.
//
// Who owns what. The relay thread alone owns the socket and the forwarding
// table; it reads and sends datagrams in batches (recvmmsg, sendmmsg).
// Everything else runs on the hub's thread: the hub's orders (add_pair,
// drop_pair) go through a mutex-guarded inbox and an eventfd that wakes the
// thread, which applies them before it routes the next batch; what the table
// reports (latches, silent sides, ended pairs) comes back through an outbox
// and a second eventfd that the hub's event loop watches, so that every log
// line is written on the hub's thread. The counters are published after each
// batch and read with `stats`. `stop` applies the last orders, joins the
// thread and logs what is left; the object is then inert.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/evl.h"
#include "relay_table.h"

struct relay_batch;

class udp_relay final : public evl_cb {
 public:
  explicit udp_relay(const relay_limits &limits);
  ~udp_relay() override;

  // Takes over a bound UDP socket and starts the thread; false after a log
  // line (the socket is closed then).
  bool start(int fd);
  void stop();
  bool running() const { return thread.joinable(); }
  uint16_t bound_port() const { return port; }

  void add_pair(const relay_pair_order &order);
  // Ends the pair that either SPI leads to.
  void drop_pair(uint32_t spi);
  // The counters as last published.
  relay_stats stats() const;

  void on_event(evl_event *ev, int events) override;
  void on_timer(evl_timer *) override {}

 private:
  struct order {
    bool add;
    relay_pair_order pair;  // add
    uint32_t spi;           // drop
  };
  void run();
  void forward_waiting(relay_batch &b);
  void send_all(relay_batch &b, int n);
  void take_orders();
  void publish();
  void log_events();

  relay_table table;  // the thread's, once it runs
  int sock = -1;
  int wake_fd = -1;  // hub -> thread
  evl_event reports;  // thread -> hub (an eventfd)
  uint16_t port = 0;
  std::thread thread;
  std::atomic<bool> stopping{false};

  std::mutex lock;  // guards the three below
  std::vector<order> inbox;
  std::vector<relay_event> outbox;
  std::atomic<bool> orders_waiting{false};

  struct {
    std::atomic<uint64_t> pairs{0}, packets{0}, bytes{0}, refused{0}, limited{0};
  } published;
};
