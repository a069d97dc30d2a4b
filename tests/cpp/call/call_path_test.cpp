// The call path: a call begun on the calling thread (start_call) settles there when its reply
// is in within the wait budget, and otherwise hands the rest to the worker at whatever point
// it has reached, with the same outcome as if the worker had run the call from the start.
#include "call/rpc.hpp"

#include "call/wait_budget.hpp"
#include "codec/frame.hpp"
#include "ws_test_support.hpp"

namespace pen::test {
namespace {

class CallPath : public ServerTest {
 protected:
  // The outcome of a started call: settled already, or by the rest, now running on the worker.
  std::future<Result<Bytes>> go_on(CallStart& started) {
    if (started.rest) return spawn(shared->executor, std::move(*started.rest));
    std::promise<Result<Bytes>> settled;
    settled.set_value(std::move(*started.done));
    return settled.get_future();
  }
  Result<Bytes> finish(CallStart& started) {
    auto f = go_on(started);
    return get(f, 2 * LIMIT);
  }
  std::uint32_t next_seq() { return *shared->seq_counter.try_lock(); }
  void expect_transport_error(const Result<Bytes>& r, const std::string& text) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "RpcTransportError(" + text);
  }
};

TEST_F(CallPath, ReplyAlreadyInSettlesOnTheCallingThread) {
  auto client = connect_installed();
  client->send(frame(2, 1, 15, bytes({9, 8})));  // the answer to the call below, sent early
  std::this_thread::sleep_for(50ms);             // let it reach the engine's socket
  CallStart started = start_call(shared, 15, bytes({1}), Timeout{0, 0});
  ASSERT_TRUE(started.done) << "handed over although the reply was in";
  ASSERT_TRUE(started.done->ok()) << started.done->error().text();
  EXPECT_EQ(started.done->value(), bytes({9, 8}));
  EXPECT_EQ(client->read().bytes(), frame(1, 1, 15, bytes({1})));
}

// Before sending: the connection is busy (here its lock is held, as by an installation) or the
// engine's synchronous wait is off; nothing is numbered or sent on the calling thread.
TEST_F(CallPath, BusyConnectionOrSwitchOffHandsOverBeforeSending) {
  auto client = connect_installed();
  for (const bool switch_off : {false, true}) {
    shared->sync_wait = !switch_off;
    std::optional<CallStart> started;
    const std::uint32_t seq = next_seq();
    {
      auto held = shared->conn_slot.try_lock();
      ASSERT_TRUE(held);
      started = start_call(shared, 5, {}, SECOND);
      ASSERT_TRUE(started->rest);
      EXPECT_EQ(next_seq(), seq) << "numbered on the calling thread";
    }
    auto f = spawn(shared->executor, std::move(*started->rest));
    EXPECT_EQ(seq_of(client->read().bytes()), seq);
    client->send(frame(2, seq, 5));
    EXPECT_TRUE(get(f).ok());
  }
}

TEST_F(CallPath, ReplyHalfReadByTheCallerIsFinishedByTheWorker) {
  auto client = connect_installed();
  const std::string reply = masked_frame(2, frame(2, 1, 15, Bytes(300, std::byte{7})));
  client->send_raw(reply.substr(0, 100));  // frame header, RPC header and some payload
  std::this_thread::sleep_for(50ms);
  CallStart started = start_call(shared, 15, {}, SECOND);
  ASSERT_TRUE(started.rest) << "settled without the rest of the reply";
  auto f = spawn(shared->executor, std::move(*started.rest));
  client->send_raw(reply.substr(100));
  Result<Bytes> r = get(f);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r.value(), Bytes(300, std::byte{7}));
}

TEST_F(CallPath, DeadlineBeforeTheBudgetEndsHandsOverAndTimesOut) {
  auto client = connect_installed();
  CallStart started = start_call(shared, 3, {}, Timeout{0, 0});
  ASSERT_TRUE(started.rest);
  expect_transport_error(finish(started), "seq=Some(1), fnId=Some(3)): timeout waiting response");
  EXPECT_EQ(seq_of(client->read().bytes()), 1u);
  EXPECT_TRUE(client->read().ec) << "the timed-out connection is still open";
}

// A transport failure seen on the calling thread, and one seen by the worker after the
// hand-over: both close the connection.
TEST_F(CallPath, TransportFailureOnEitherSideClosesTheConnection) {
  for (const bool before_call : {true, false}) {
    auto client = connect_installed();
    if (before_call) {
      client->send_raw(masked_frame(8, bytes({0x03, 0xE8})));  // Close, 1000
      std::this_thread::sleep_for(50ms);
    }
    CallStart started = start_call(shared, 2, {}, SECOND);
    EXPECT_EQ(started.done.has_value(), before_call);
    if (!before_call) client->send_raw(masked_frame(8, bytes({0x03, 0xE8})));
    expect_transport_error(finish(started), "seq=Some(1), fnId=Some(2)): websocket closed");
    CallStart next = start_call(shared, 2, {}, SECOND);
    expect_transport_error(finish(next), "seq=None, fnId=Some(2)): no websocket connected");
  }
}

TEST_F(CallPath, ReconnectWhileTheWorkerWaitsIsInstalledAfterTheCall) {
  auto first = connect_installed();
  CallStart started = start_call(shared, 1, {}, SECOND);
  ASSERT_TRUE(started.rest);
  auto f = spawn(shared->executor, std::move(*started.rest));
  const std::uint32_t seq = seq_of(first->read().bytes());

  auto second = TestClient::connect(io.ctx, port);
  ASSERT_FALSE(second->read().ec);  // greeted; its installation waits for the call
  first->send(frame(2, seq, 1, bytes({4})));
  Result<Bytes> r = get(f);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r.value(), bytes({4}));
  EXPECT_TRUE(first->read().ec) << "the replaced connection is still open";

  CallStart next = start_call(shared, 1, {}, SECOND);
  auto g = go_on(next);
  EXPECT_EQ(seq_of(second->read().bytes()), 1u) << "numbering did not restart";
  second->send(frame(2, 1, 1));
  EXPECT_TRUE(get(g).ok());
}

// A call behind one that the worker cannot finish (its UI has not answered) waits for it only
// for a while, then hands over unnumbered; the UI answers both, in order.
TEST_F(CallPath, CallBehindAnUnansweredCallHandsOverAfterAWhile) {
  auto client = connect_installed();
  CallStart first = start_call(shared, 1, {}, SECOND);
  ASSERT_TRUE(first.rest);
  auto f = spawn(shared->executor, std::move(*first.rest));
  EXPECT_EQ(seq_of(client->read().bytes()), 1u);
  CallStart second = start_call(shared, 2, {}, SECOND);
  ASSERT_TRUE(second.rest) << "settled although the call ahead was not answered";
  EXPECT_EQ(next_seq(), 2u) << "numbered on the calling thread";
  auto g = spawn(shared->executor, std::move(*second.rest));
  client->send(frame(2, 1, 1));
  EXPECT_EQ(seq_of(client->read().bytes()), 2u);
  client->send(frame(2, 2, 2));
  EXPECT_TRUE(get(f).ok());
  EXPECT_TRUE(get(g).ok());
}

// A UI that stops reading: the send cannot end, the call's deadline still does, and the
// connection is closed so that the next UI is installed.
TEST_F(CallPath, PeerThatStopsReadingCannotHoldTheConnectionPastTheDeadline) {
  std::unique_ptr<TestClient> previous;
  for (const bool sync_wait : {true, false}) {
    shared->sync_wait = sync_wait;
    auto stalled = connect_installed(previous.get());
    CallStart started = start_call(shared, 100, Bytes(40 << 20), Timeout{0, 300'000'000});
    ASSERT_TRUE(started.rest);
    expect_transport_error(finish(started),
                           "seq=Some(1), fnId=Some(100)): timeout waiting response");
    previous = connect_installed();
    CallStart call = start_call(shared, 1, {}, SECOND);
    auto f = go_on(call);
    EXPECT_EQ(seq_of(previous->read().bytes()), 1u);
    previous->send(frame(2, 1, 1));
    EXPECT_TRUE(get(f).ok());
  }
}

TEST(WaitBudget, TwoMissesPauseTheWaitForLongerEachTime) {
  WaitBudget budget;
  EXPECT_EQ(budget.next(), WaitBudget::LONGEST);
  budget.miss();
  EXPECT_EQ(budget.next(), WaitBudget::LONGEST) << "one miss is not a pattern";
  for (unsigned pause : {8u, 16u, 32u}) {
    budget.miss();
    for (unsigned i = 0; i < pause; ++i) EXPECT_EQ(budget.next(), WaitBudget::Duration::zero());
    EXPECT_GT(budget.next(), WaitBudget::Duration::zero()) << "no wait tried after the pause";
  }
  budget.hit(std::chrono::microseconds(10));
  EXPECT_EQ(budget.next(), WaitBudget::SHORTEST);
  budget.miss();
  EXPECT_GT(budget.next(), WaitBudget::Duration::zero()) << "a hit did not reset the misses";
}

TEST(WaitBudget, FollowsTheUsualAnswerTimeWithinItsBounds) {
  WaitBudget budget;
  for (int i = 0; i < 64; ++i) budget.hit(std::chrono::microseconds(50));
  EXPECT_EQ(budget.next(), std::chrono::microseconds(200));
  for (int i = 0; i < 64; ++i) budget.hit(std::chrono::milliseconds(1));
  EXPECT_EQ(budget.next(), WaitBudget::LONGEST);
}

}  // namespace
}  // namespace pen::test
