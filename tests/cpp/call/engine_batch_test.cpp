// EngineBatch: one call on each of several engines, every request out before any reply is
// awaited, replies taken as they come, each call's failure kept to its own slot.
#include "call/engine_batch.hpp"

#include "ws_test_support.hpp"

namespace pen::test {
namespace {

using Clock = std::chrono::steady_clock;

class Batch : public ::testing::Test {
 protected:
  static constexpr std::size_t N = 4;

  Batch() {
    for (std::size_t i = 0; i < N; ++i) {
      engines.push_back(std::make_shared<EngineShared>(net::make_strand(io.ctx), 1));
      Listening l = run(engines[i]->executor, listen_and_serve(engines[i], "127.0.0.1", 0));
      if (l.error) throw std::runtime_error(l.error->text());
      clients.push_back(TestClient::connect(io.ctx, l.local.port()));
      EXPECT_FALSE(clients[i]->read().ec);  // the greeting
      EXPECT_FALSE(run(engines[i]->executor, wait_connected(engines[i], std::nullopt)));
    }
  }
  // Every outstanding call, settled within LIMIT.
  std::map<std::size_t, Result<Bytes>> recv_all(EngineBatch& batch) {
    std::map<std::size_t, Result<Bytes>> out;
    for (auto& s : batch.recv(N, Clock::now() + LIMIT)) out.emplace(s.index, std::move(s.outcome));
    return out;
  }

  IoThreads io;
  std::vector<std::shared_ptr<EngineShared>> engines;
  std::vector<std::unique_ptr<TestClient>> clients;
};

std::string text(const Result<Bytes>& r) { return r.ok() ? "ok" : r.error().text(); }

TEST_F(Batch, EveryRequestGoesOutFirstAndRepliesAreTakenAsTheyCome) {
  EngineBatch batch(engines);
  for (std::size_t i = 0; i < N; ++i) batch.send(i, 15, bytes({int(i)}), SECOND);
  for (std::size_t i = 0; i < N; ++i)  // all sent although nothing was awaited yet
    EXPECT_EQ(clients[i]->read().bytes(), frame(1, 1, 15, bytes({int(i)})));
  EXPECT_TRUE(batch.recv(1, Clock::now() + 20ms).empty());
  EXPECT_EQ(batch.outstanding_count(), N) << "a recv that timed out dropped a call";

  clients[2]->send(frame(2, 1, 15, bytes({20})));
  auto first = batch.recv(1, Clock::now() + LIMIT);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].index, 2u);
  EXPECT_FALSE(batch.outstanding(2));
  for (std::size_t i : {3, 0, 1}) clients[i]->send(frame(2, 1, 15, bytes({int(i) * 10})));
  auto rest = recv_all(batch);
  ASSERT_EQ(rest.size(), N - 1);
  for (auto& [i, r] : rest) {
    ASSERT_TRUE(r.ok()) << i << ": " << text(r);
    EXPECT_EQ(r.value(), bytes({int(i) * 10}));
  }
  EXPECT_EQ(batch.outstanding_count(), 0u);
}

// Nothing connected, a UI that never answers, a UI lost mid-batch: each fails its own slot as
// the same call alone would, and the healthy engine's call completes.
TEST_F(Batch, FailuresStayInTheirOwnSlot) {
  engines[0] = std::make_shared<EngineShared>(net::make_strand(io.ctx), 1);  // never listened
  EngineBatch batch(engines);
  for (std::size_t i = 0; i < N; ++i) batch.send(i, 2, {}, Timeout{0, 200'000'000});
  for (std::size_t i = 1; i < N; ++i) EXPECT_EQ(seq_of(clients[i]->read().bytes()), 1u);
  clients[2]->send_raw(masked_frame(8, bytes({0x03, 0xE8})));  // Close, 1000
  clients[3]->send(frame(2, 1, 2, bytes({7})));
  auto got = recv_all(batch);
  ASSERT_EQ(got.size(), N);
  EXPECT_EQ(text(got.at(0)), "RpcTransportError(seq=None, fnId=Some(2)): no websocket connected");
  EXPECT_EQ(text(got.at(1)),
            "RpcTransportError(seq=Some(1), fnId=Some(2)): timeout waiting response");
  EXPECT_EQ(text(got.at(2)), "RpcTransportError(seq=Some(1), fnId=Some(2)): websocket closed");
  ASSERT_EQ(text(got.at(3)), "ok");
  EXPECT_EQ(got.at(3).value(), bytes({7}));
  EXPECT_TRUE(clients[1]->read().ec) << "the timed-out connection is still open";
}

// An engine with a call of its own in progress: the batch's call queues behind it on the
// worker, and the UI answers both in order.
TEST_F(Batch, BusyEngineIsHandedToItsWorkerBehindTheCallInProgress) {
  CallStart ahead = start_call(engines[0], 1, {}, SECOND);
  ASSERT_TRUE(ahead.rest);
  auto f = spawn(engines[0]->executor, std::move(*ahead.rest));
  EXPECT_EQ(seq_of(clients[0]->read().bytes()), 1u);
  EngineBatch batch(std::vector{engines[0]});
  batch.send(0, 2, {}, SECOND);
  clients[0]->send(frame(2, 1, 1));
  EXPECT_EQ(seq_of(clients[0]->read().bytes()), 2u);
  clients[0]->send(frame(2, 2, 2, bytes({5})));
  EXPECT_TRUE(get(f).ok());
  auto got = recv_all(batch);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(text(got.at(0)), "ok");
  EXPECT_EQ(got.at(0).value(), bytes({5}));
}

// A batch dropped with a call unanswered hands it to the worker, which takes its reply, so
// the engine's next call gets its own.
TEST_F(Batch, DroppedBatchLeavesNoReplyUnread) {
  std::optional<EngineBatch> batch(std::in_place, engines);
  batch->send(0, 2, {}, SECOND);
  EXPECT_EQ(seq_of(clients[0]->read().bytes()), 1u);
  batch.reset();
  clients[0]->send(frame(2, 1, 2));
  EngineBatch next(engines);
  next.send(0, 3, {}, SECOND);
  EXPECT_EQ(seq_of(clients[0]->read().bytes()), 2u);
  clients[0]->send(frame(2, 2, 3, bytes({9})));
  auto got = recv_all(next);
  ASSERT_EQ(text(got.at(0)), "ok");
  EXPECT_EQ(got.at(0).value(), bytes({9}));
}

}  // namespace
}  // namespace pen::test
