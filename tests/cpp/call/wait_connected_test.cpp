// wait_connected: resolves once a connection is installed, or times out.
#include "call/rpc.hpp"
#include "ws_test_support.hpp"

namespace pen::test {
namespace {

using WaitConnected = ServerTest;

TEST_F(WaitConnected, TimesOutWithoutClient) {
  for (Timeout t : {Timeout{0, 0}, Timeout{0, 50'000'000}}) {
    auto r = run(shared->executor, wait_connected(shared, t));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text(), "RpcTransportError(seq=None, fnId=None): wait_connected timed out");
  }
}

TEST_F(WaitConnected, WakesEveryWaiterWhenAClientIsInstalled) {
  std::vector<std::future<std::optional<EngineError>>> waiting;
  waiting.push_back(spawn(shared->executor, wait_connected(shared, std::nullopt)));
  waiting.push_back(spawn(shared->executor, wait_connected(shared, Timeout{30, 0})));
  std::this_thread::sleep_for(20ms);
  for (auto& w : waiting) EXPECT_EQ(w.wait_for(0s), std::future_status::timeout);

  auto client = TestClient::connect(io.ctx, port);
  for (auto& w : waiting) EXPECT_FALSE(get(w));
  // Once installed, even a zero time-out succeeds at once.
  EXPECT_FALSE(run(shared->executor, wait_connected(shared, Timeout{0, 0})));
}

TEST_F(WaitConnected, CancelledWaitLeavesTheEngineUsable) {
  net::cancellation_signal cancel;
  auto w = spawn(shared->executor, wait_connected(shared, std::nullopt), cancel.slot());
  std::this_thread::sleep_for(20ms);
  net::post(shared->executor, [&] { cancel.emit(net::cancellation_type::terminal); });
  EXPECT_THROW(get(w), boost::system::system_error);
  auto client = connect_installed();
}

}  // namespace
}  // namespace pen::test
