#include <errno.h>

#include "pipe_helpers.h"

namespace {

using TcpPipe = PipeTest;

TEST_F(TcpPipe, FirstWritabilityIsReportedOnceAsReady) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  EXPECT_EQ(tcp_pipe_gauge.current, 1);
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  run_idle();
  EXPECT_EQ(owner.ready, 1);
  EXPECT_EQ(owner.errors, 0);
  p->close();
}

TEST_F(TcpPipe, LargeBurstArrivesInOrderInChunksOfAtMost15000) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  std::string sent = pattern(40000);
  pair.write_peer(sent);
  ASSERT_TRUE(run_until([&] { return owner.data.size() >= sent.size(); }));
  EXPECT_EQ(owner.data, sent);
  EXPECT_GE(owner.chunks.size(), 3u);
  for (auto &c : owner.chunks) {
    EXPECT_GT(c.size(), 0u);
    EXPECT_LE(c.size(), 15000u);
  }
  p->close();
}

TEST_F(TcpPipe, PartlyTakenSendLeadsToExactlyOneMoreReady) {
  tcp_pair pair(4096, 4096);
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready == 1; }));

  std::string big = pattern(4 << 20);
  int taken = p->send(big);
  ASSERT_GT(taken, 0);
  ASSERT_LT(static_cast<size_t>(taken), big.size());

  // The pipe keeps nothing: the peer gets exactly what was taken.
  std::string got;
  ASSERT_TRUE(run_until([&] {
    pair.read_peer(got);
    return owner.ready == 2;
  }));
  ASSERT_TRUE(run_until([&] {
    pair.read_peer(got);
    return got.size() >= static_cast<size_t>(taken);
  }));
  EXPECT_EQ(got, big.substr(0, static_cast<size_t>(taken)));
  run_idle();
  EXPECT_EQ(owner.ready, 2);

  io_stats st{};
  p->get_stats(&st);
  EXPECT_EQ(st.sent, static_cast<uint32_t>(taken));
  p->close();
}

TEST_F(TcpPipe, SendOnFullSocketTakesNothing) {
  tcp_pair pair(4096, 4096);
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready == 1; }));
  std::string block = pattern(65536);
  uint32_t total = 0;
  int n = 1;
  for (int i = 0; i < 10000 && n > 0; i++) {
    n = p->send(block);
    total += static_cast<uint32_t>(n);
  }
  ASSERT_EQ(n, 0) << "the socket never filled up";
  io_stats st{};
  p->get_stats(&st);
  EXPECT_EQ(st.sent, total);
  EXPECT_EQ(p->send(block), 0);
  p->get_stats(&st);
  EXPECT_EQ(st.sent, total);
  EXPECT_EQ(owner.errors, 0);
  p->close();
}

TEST_F(TcpPipe, SendBeforeAttachTakesNothing) {
  tcp_pair pair;
  io_pipe *p = tcp_pipe_create(pair.give());
  EXPECT_EQ(p->send("hello"), 0);
  io_stats st{};
  p->get_stats(&st);
  EXPECT_EQ(st.sent, 0u);
  p->close();
  std::string got;
  EXPECT_FALSE(pair.read_peer(got)) << "closing the last reference closes the socket";
  EXPECT_EQ(got, "");
}

TEST_F(TcpPipe, SendAfterCloseFromInsideCallbackTakesNothing) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  int after_close = -1;
  owner.ready_action = [&] {
    p->close();
    after_close = p->send("late");
  };
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  EXPECT_EQ(after_close, 0);
  EXPECT_EQ(tcp_pipe_gauge.current, 0);
  std::string got;
  EXPECT_FALSE(pair.read_peer(got));
  EXPECT_EQ(got, "");
}

TEST_F(TcpPipe, StatsCountBothDirections) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  EXPECT_EQ(p->send(pattern(100)), 100);
  pair.write_peer(pattern(300, 1));
  ASSERT_TRUE(run_until([&] { return owner.data.size() >= 300; }));
  io_stats st{7, 7, 7, 7};
  p->get_stats(&st);
  EXPECT_EQ(st.sent, 100u);
  EXPECT_EQ(st.received, 300u);
  EXPECT_EQ(st.peak_held, 7u) << "a bare tcp_pipe leaves the queue fields alone";
  EXPECT_EQ(st.held, 7u);
  p->close();
}

TEST_F(TcpPipe, PeerCloseIsReportedOnceThenSilence) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  pair.write_peer("last words");
  shutdown(pair.peer, SHUT_WR);
  ASSERT_TRUE(run_until([&] { return owner.closed > 0; }));
  run_idle();
  EXPECT_EQ(owner.closed, 1);
  EXPECT_EQ(owner.data, "last words");
  EXPECT_EQ(owner.journal.back(), "closed");
  EXPECT_EQ(owner.errors, 0);
  p->close();
}

TEST_F(TcpPipe, ResetConnectionIsARecvError) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  linger lg{1, 0};
  setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(pair.peer);
  pair.peer = -1;
  ASSERT_TRUE(run_until([&] { return owner.errors + owner.closed > 0; }));
  EXPECT_EQ(owner.error_context, "recv");
  EXPECT_EQ(owner.error_code, ECONNRESET);
  run_idle();
  EXPECT_EQ(owner.errors, 1);
  // The owner hears "send" when it writes to the dead connection.
  EXPECT_EQ(p->send("x"), 0);
  EXPECT_EQ(owner.errors, 2);
  EXPECT_EQ(owner.error_context, "send");
  EXPECT_EQ(owner.error_code, EPIPE);
  p->close();
}

TEST_F(TcpPipe, CloseFromInsideOnDataStopsDelivery) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  owner.data_action = [&](std::string &) { p->close(); };
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  pair.write_peer(pattern(40000));
  ASSERT_TRUE(run_until([&] { return !owner.chunks.empty(); }));
  run_idle();
  EXPECT_EQ(owner.chunks.size(), 1u);
  EXPECT_EQ(tcp_pipe_gauge.current, 0);
  std::string got;
  EXPECT_FALSE(pair.read_peer(got)) << "the socket is closed with the pipe";
}

TEST_F(TcpPipe, CloseFromInsideOnErrorOfSend) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  linger lg{1, 0};
  setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(pair.peer);
  pair.peer = -1;
  // Wait for the reset to land without letting the pipe read it.
  p->suspend();
  owner.error_action = [&] { p->close(); };
  int n = 1;
  for (int i = 0; i < 1000 && owner.errors == 0; i++) {
    n = p->send("x");
    if (owner.errors == 0) evl_run(5);
  }
  EXPECT_EQ(n, 0);
  EXPECT_EQ(owner.error_context, "send");
  EXPECT_EQ(tcp_pipe_gauge.current, 0);
}

TEST_F(TcpPipe, SuspendedPipeIsSilentUntilResumed) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready > 0; }));
  p->suspend();
  pair.write_peer("held back");
  run_idle();
  EXPECT_EQ(owner.data, "");
  p->resume();
  ASSERT_TRUE(run_until([&] { return owner.data == "held back"; }));
  p->close();
}

TEST_F(TcpPipe, FailingToUnblockIsReportedAndNotWatched) {
  recorder owner;
  io_pipe *p = tcp_pipe_create(-1);
  p->attach(&owner);
  EXPECT_EQ(owner.errors, 1);
  EXPECT_EQ(owner.error_context, "unblock");
  EXPECT_EQ(owner.error_code, EBADF);
  EXPECT_EQ(p->send("x"), 0);
  p->close();
}

TEST_F(TcpPipe, SecondAttachIsLogged) {
  tcp_pair pair;
  recorder a, b;
  io_pipe *p = tcp_pipe_create(pair.give());
  p->attach(&a);
  EXPECT_TRUE(logged.empty());
  p->attach(&b);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("assert ! cb && _cb in ../stack/src/io_tcp_pipe.cpp:", 0), 0u) << logged[0];
  p->close();
}

}  // namespace
