// AsyncMutex: first-come-first-served hand-off and cancellation that never loses the lock.
#include "call/async_mutex.hpp"

#include <atomic>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "ws_test_support.hpp"

namespace pen::test {
namespace {

using Mutex = AsyncMutex<std::vector<int>>;

net::awaitable<void> take_and_record(Mutex& m, int id) {
  auto guard = co_await m.async_lock(net::use_awaitable);
  guard->push_back(id);
}

net::awaitable<Mutex::Guard> take(Mutex& m) { co_return co_await m.async_lock(net::use_awaitable); }

// Waits (bounded) until `n` waiters are queued.
void await_waiters(const Mutex& m, std::size_t n) {
  const auto until = std::chrono::steady_clock::now() + LIMIT;
  while (m.waiting() != n && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(m.waiting(), n);
}

TEST(AsyncMutex, HandsTheLockToWaitersInArrivalOrder) {
  IoThreads io;
  auto strand = net::make_strand(io.ctx);
  Mutex m;
  auto held = run(strand, take(m));
  std::vector<std::future<void>> done;
  for (int id = 0; id < 8; ++id) {
    done.push_back(spawn(strand, take_and_record(m, id)));
    await_waiters(m, static_cast<std::size_t>(id + 1));
  }
  held = {};  // release: the queue drains in order
  for (auto& f : done) get(f);
  auto guard = run(strand, take(m));
  EXPECT_EQ(*guard, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(AsyncMutex, CancelledWaiterLeavesTheQueue) {
  IoThreads io;
  auto strand = net::make_strand(io.ctx);
  Mutex m;
  auto held = run(strand, take(m));
  net::cancellation_signal cancel;
  auto cancelled = spawn(strand, take_and_record(m, 1), cancel.slot());
  await_waiters(m, 1);
  auto second = spawn(strand, take_and_record(m, 2));
  await_waiters(m, 2);

  net::post(strand, [&] { cancel.emit(net::cancellation_type::terminal); });
  EXPECT_THROW(get(cancelled), boost::system::system_error);
  EXPECT_EQ(m.waiting(), 1u);

  held = {};
  get(second);
  EXPECT_EQ(*run(strand, take(m)), std::vector<int>{2});
}

// The lock reaches a waiter whose cancellation arrives right after the hand-off; the guard it
// was given must move on to the next waiter rather than vanish.
TEST(AsyncMutex, GuardHandedToACancelledWaiterIsPassedOn) {
  IoThreads io;
  auto strand = net::make_strand(io.ctx);
  Mutex m;
  auto held = std::make_shared<Mutex::Guard>(run(strand, take(m)));
  net::cancellation_signal cancel;
  auto doomed = [](Mutex& m) -> net::awaitable<void> {
    auto guard = co_await m.async_lock(net::use_awaitable);
    co_await net::post(co_await net::this_coro::executor, net::use_awaitable);  // throws
    guard->push_back(1);
  };
  auto first = spawn(strand, doomed(m), cancel.slot());
  await_waiters(m, 1);
  auto second = spawn(strand, take_and_record(m, 2));
  await_waiters(m, 2);

  // Hand-off and cancellation in one strand turn: the cancellation finds the waiter gone.
  net::post(strand, [&] {
    *held = {};
    cancel.emit(net::cancellation_type::terminal);
  });
  EXPECT_THROW(get(first), boost::system::system_error);
  get(second);
  EXPECT_EQ(*run(strand, take(m)), std::vector<int>{2});
}

// Many tasks on separate strands (two threads) lock, yield inside the critical section and
// unlock, while half of their attempts race a short timer that cancels the wait.
TEST(AsyncMutex, StaysExclusiveAndLive_UnderConcurrentCancellation) {
  using namespace net::experimental::awaitable_operators;
  IoThreads io;
  AsyncMutex<int> m(0);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  constexpr int TASKS = 8, ROUNDS = 200;

  auto worker = [&](int id) -> net::awaitable<int> {
    int entered = 0;
    auto ex = co_await net::this_coro::executor;
    for (int round = 0; round < ROUNDS; ++round) {
      std::optional<AsyncMutex<int>::Guard> guard;
      if ((round + id) % 2 == 0) {
        guard.emplace(co_await m.async_lock(net::use_awaitable));
      } else {
        net::steady_timer timer(ex, std::chrono::microseconds(50 * (round % 5)));
        auto won = co_await (m.async_lock(net::use_awaitable) ||
                             timer.async_wait(net::use_awaitable));
        if (won.index() == 1) continue;
        guard.emplace(std::move(std::get<0>(won)));
      }
      if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
      co_await net::post(ex, net::use_awaitable);
      ++**guard;
      inside.fetch_sub(1);
      ++entered;
    }
    co_return entered;
  };

  std::vector<std::future<int>> tasks;
  for (int id = 0; id < TASKS; ++id) tasks.push_back(spawn(net::make_strand(io.ctx), worker(id)));
  int entered = 0;
  for (auto& t : tasks) entered += get(t, 30s);

  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GE(entered, TASKS * ROUNDS / 2);
  auto check = [&]() -> net::awaitable<int> {
    co_return *co_await m.async_lock(net::use_awaitable);
  };
  EXPECT_EQ(run(net::make_strand(io.ctx), check()), entered);
  EXPECT_EQ(m.waiting(), 0u);
}

}  // namespace
}  // namespace pen::test
