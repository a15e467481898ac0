#include "pipe_helpers.h"

namespace {

using BufPipe = PipeTest;
using DgmPipe = PipeTest;

// The session's stack: tcp_pipe -> buf_pipe -> dgm_pipe.
struct stack_fixture {
  tcp_pair pair;
  recorder owner;
  io_pipe *top;
  explicit stack_fixture(uint32_t frame_limit = 262144, uint32_t held_limit = 16384, int sndbuf = 0,
                         int peer_rcvbuf = 0)
      : pair(sndbuf, peer_rcvbuf) {
    top = dgm_pipe_create(buf_pipe_create(tcp_pipe_create(pair.give()), held_limit), frame_limit);
    top->attach(&owner);
  }
  uint32_t received() {
    io_stats st{};
    top->get_stats(&st);
    return st.received;
  }
};

TEST_F(BufPipe, QueuedBytesLeaveInOrderAndReadyIsHeardOnce) {
  tcp_pair pair(4096, 4096);
  recorder owner;
  io_pipe *p = buf_pipe_create(tcp_pipe_create(pair.give()), 8 << 20);
  EXPECT_EQ(buf_pipe_gauge.current, 1);
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready == 1; }));

  std::string a = pattern(1 << 20, 1), b = pattern(300000, 2), c = pattern(5, 3);
  EXPECT_EQ(p->send(a), static_cast<int>(a.size()));
  io_stats st{};
  p->get_stats(&st);
  ASSERT_GT(st.held, 0u) << "the socket took the whole megabyte";
  // Make room in the socket without letting the pipe flush: new bytes must
  // still wait behind the held ones.
  std::string got;
  pair.read_peer(got);
  EXPECT_EQ(p->send(b), static_cast<int>(b.size()));
  EXPECT_EQ(p->send(c), static_cast<int>(c.size()));
  p->get_stats(&st);
  EXPECT_EQ(st.sent + st.held, a.size() + b.size() + c.size());
  EXPECT_EQ(st.peak_held, st.held);

  std::string want = a + b + c;
  ASSERT_TRUE(run_until([&] {
    pair.read_peer(got);
    return got.size() >= want.size();
  }));
  EXPECT_TRUE(got == want) << "bytes reordered or lost";
  run_idle();
  EXPECT_EQ(owner.ready, 1);
  p->get_stats(&st);
  EXPECT_EQ(st.held, 0u);
  EXPECT_EQ(st.sent, want.size());
  EXPECT_GE(st.peak_held, static_cast<uint32_t>(b.size() + c.size()));
  p->close();
}

TEST_F(BufPipe, OverflowReportsHeldPlusNew) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = buf_pipe_create(tcp_pipe_create(pair.give()), 16384);
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready == 1; }));
  p->suspend();  // only queue from here on
  EXPECT_EQ(p->send(pattern(16000)), 16000);
  EXPECT_EQ(owner.errors, 0);
  EXPECT_EQ(p->send(pattern(1000)), 0);
  EXPECT_EQ(owner.errors, 1);
  EXPECT_EQ(owner.error_context, "overflow");
  EXPECT_EQ(owner.error_code, 17000);
  io_stats st{};
  p->get_stats(&st);
  EXPECT_EQ(st.held, 16000u) << "none of the rejected bytes are queued";
  EXPECT_EQ(p->send(pattern(384)), 384) << "exactly the limit still fits";
  p->close();
}

TEST_F(BufPipe, SuspendQueuesAndResumeSendsInOrder) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = buf_pipe_create(tcp_pipe_create(pair.give()), 16384);
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready == 1; }));
  p->suspend();
  EXPECT_EQ(p->send("first,"), 6);
  EXPECT_EQ(p->send("second"), 6);
  run_idle();
  std::string got;
  pair.read_peer(got);
  EXPECT_EQ(got, "");
  pair.write_peer("incoming");
  run_idle();
  EXPECT_EQ(owner.data, "") << "no callbacks while suspended";
  p->resume();
  ASSERT_TRUE(run_until([&] {
    pair.read_peer(got);
    return got.size() >= 12 && owner.data.size() >= 8;
  }));
  EXPECT_EQ(got, "first,second");
  EXPECT_EQ(owner.data, "incoming");
  EXPECT_EQ(owner.ready, 1);
  p->close();
}

TEST_F(BufPipe, SendBeforeAttachAndAfterCloseTakeNothing) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = buf_pipe_create(tcp_pipe_create(pair.give()), 16384);
  EXPECT_EQ(p->send("early"), 0);
  int late = -1;
  owner.ready_action = [&] {
    p->close();
    late = p->send("late");
  };
  p->attach(&owner);
  ASSERT_TRUE(run_until([&] { return owner.ready == 1; }));
  EXPECT_EQ(late, 0);
  EXPECT_EQ(owner.errors, 0);
  std::string got;
  EXPECT_FALSE(pair.read_peer(got));
  EXPECT_EQ(got, "");
}

TEST_F(BufPipe, ErrorsAndEndOfStreamPassThrough) {
  tcp_pair pair;
  recorder owner;
  io_pipe *p = buf_pipe_create(tcp_pipe_create(pair.give()), 16384);
  p->attach(&owner);
  pair.write_peer("bye");
  shutdown(pair.peer, SHUT_WR);
  ASSERT_TRUE(run_until([&] { return owner.closed == 1; }));
  EXPECT_EQ(owner.data, "bye");
  p->close();
}

TEST_F(DgmPipe, FrameSplitAcrossChunksIsDeliveredWhole) {
  stack_fixture s;
  ASSERT_TRUE(run_until([&] { return s.owner.ready == 1; }));
  std::string f = frame(pattern(5000));
  s.pair.write_peer(f.substr(0, 2));
  ASSERT_TRUE(run_until([&] { return s.received() == 2; }));
  s.pair.write_peer(f.substr(2, 3000));
  ASSERT_TRUE(run_until([&] { return s.received() == 3002; }));
  EXPECT_TRUE(s.owner.chunks.empty());
  s.pair.write_peer(f.substr(3002));
  ASSERT_TRUE(run_until([&] { return !s.owner.chunks.empty(); }));
  ASSERT_EQ(s.owner.chunks.size(), 1u);
  EXPECT_TRUE(s.owner.chunks[0] == f);
  s.top->close();
}

TEST_F(DgmPipe, SeveralFramesInOneChunkAndTheRestLater) {
  stack_fixture s;
  std::string f1 = frame("one"), f2 = frame(pattern(700)), f3 = frame("three");
  std::string all = f1 + f2 + f3;
  size_t cut = f1.size() + f2.size() + 4;
  s.pair.write_peer(all.substr(0, cut));
  ASSERT_TRUE(run_until([&] { return s.received() == cut; }));
  ASSERT_EQ(s.owner.chunks.size(), 2u);
  EXPECT_EQ(s.owner.chunks[0], f1);
  EXPECT_EQ(s.owner.chunks[1], f2);
  s.pair.write_peer(all.substr(cut));
  ASSERT_TRUE(run_until([&] { return s.owner.chunks.size() == 3; }));
  EXPECT_EQ(s.owner.chunks[2], f3);
  s.top->close();
}

TEST_F(DgmPipe, ZeroLengthFrameIsTheHeaderAlone) {
  stack_fixture s;
  s.pair.write_peer(frame("") + frame("x"));
  ASSERT_TRUE(run_until([&] { return s.owner.chunks.size() == 2; }));
  EXPECT_EQ(s.owner.chunks[0], std::string(4, '\0'));
  EXPECT_EQ(s.owner.chunks[1], frame("x"));
  s.top->close();
}

TEST_F(DgmPipe, LengthAboveLimitIsTooBig) {
  stack_fixture s(1000);
  s.pair.write_peer(frame(pattern(1000)));
  ASSERT_TRUE(run_until([&] { return s.owner.chunks.size() == 1; }));
  EXPECT_EQ(s.owner.chunks[0].size(), 1004u) << "exactly the limit is accepted";
  std::string header{0, 0, 0x03, char(0xe9)};  // 1001
  s.pair.write_peer(header + pattern(1001));
  ASSERT_TRUE(run_until([&] { return s.owner.errors > 0; }));
  EXPECT_EQ(s.owner.error_context, "too big");
  EXPECT_EQ(s.owner.error_code, 1001);
  EXPECT_EQ(s.owner.chunks.size(), 1u);
  s.top->close();
}

TEST_F(DgmPipe, HugeAnnouncedLengthIsReportedAsPositiveSize) {
  stack_fixture s;
  s.pair.write_peer(std::string(4, char(0xff)));
  ASSERT_TRUE(run_until([&] { return s.owner.errors > 0; }));
  EXPECT_EQ(s.owner.error_context, "too big");
  EXPECT_GT(s.owner.error_code, 262144);
  s.top->close();
}

TEST_F(DgmPipe, CloseFromInsideOnDataStopsDelivery) {
  stack_fixture s;
  s.owner.data_action = [&](std::string &) { s.top->close(); };
  s.pair.write_peer(frame("a") + frame("b") + frame("c"));
  ASSERT_TRUE(run_until([&] { return !s.owner.chunks.empty(); }));
  run_idle();
  ASSERT_EQ(s.owner.chunks.size(), 1u);
  EXPECT_EQ(s.owner.chunks[0], frame("a"));
  EXPECT_EQ(dgm_pipe_gauge.current, 0);
  EXPECT_EQ(buf_pipe_gauge.current, 0);
  EXPECT_EQ(tcp_pipe_gauge.current, 0);
  std::string got;
  EXPECT_FALSE(s.pair.read_peer(got)) << "closing the top closes the socket";
}

TEST_F(DgmPipe, OwnerMayReplyAndCloseFromCallbacks) {
  stack_fixture s;
  s.owner.data_action = [&](std::string &f) {
    f[4] = 'X';  // the frame is the owner's to change
    EXPECT_EQ(s.top->send(f), static_cast<int>(f.size()));
    if (s.owner.chunks.size() == 2) s.top->close();
  };
  s.pair.write_peer(frame("ping") + frame("pong") + frame("never"));
  std::string got;
  ASSERT_TRUE(run_until([&] {
    return !s.pair.read_peer(got);
  }));
  EXPECT_EQ(got, frame("Xing") + frame("Xong"));
  EXPECT_EQ(s.owner.chunks.size(), 2u);
}

TEST_F(DgmPipe, EndOfStreamAndStatsPassThrough) {
  stack_fixture s;
  ASSERT_TRUE(run_until([&] { return s.owner.ready == 1; }));
  EXPECT_EQ(s.top->send(frame("hello")), 9);
  s.pair.write_peer(frame("abc"));
  shutdown(s.pair.peer, SHUT_WR);
  ASSERT_TRUE(run_until([&] { return s.owner.closed == 1; }));
  EXPECT_EQ(s.owner.chunks.size(), 1u);
  io_stats st{};
  s.top->get_stats(&st);
  EXPECT_EQ(st.sent, 9u);
  EXPECT_EQ(st.received, 7u);
  EXPECT_EQ(st.held, 0u);
  s.top->close();
}

}  // namespace
