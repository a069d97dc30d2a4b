// ConnectedSignal: a broadcast that wakes every task registered at the moment it is raised and
// stores nothing for tasks that register later. Register first, then test the condition, then
// wait: an installation that happens between the test and the wait is not missed.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

namespace pen::call {

class ConnectedSignal {
  struct Waiter {
    explicit Waiter(const boost::asio::any_io_executor& ex) : timer(ex) {}
    boost::asio::steady_timer timer;  // runs to the deadline; cancelled by raise()
    bool raised = false;              // guarded by the signal's mutex
  };

 public:
  class Registration {
   public:
    Registration(Registration&& other) noexcept
        : signal_(std::exchange(other.signal_, nullptr)), pos_(other.pos_) {}
    Registration& operator=(Registration&&) = delete;
    ~Registration();

    // True when the signal was raised after registration, false when `deadline` came first.
    // Honours cancellation of the awaiting coroutine (throws operation_aborted).
    boost::asio::awaitable<bool> wait_until(std::chrono::steady_clock::time_point deadline);

   private:
    friend class ConnectedSignal;
    Registration(ConnectedSignal* signal, std::list<std::shared_ptr<Waiter>>::iterator pos)
        : signal_(signal), pos_(pos) {}
    ConnectedSignal* signal_;
    std::list<std::shared_ptr<Waiter>>::iterator pos_;
  };

  // Waiters' timers run on `executor` (the engine's worker).
  explicit ConnectedSignal(boost::asio::any_io_executor executor)
      : executor_(std::move(executor)) {}
  ConnectedSignal(const ConnectedSignal&) = delete;
  ConnectedSignal& operator=(const ConnectedSignal&) = delete;

  Registration subscribe();

  // Wakes every current registration. Call on the signal's executor.
  void raise();

 private:
  bool is_raised(const Waiter& w);

  boost::asio::any_io_executor executor_;
  std::mutex mu_;
  std::list<std::shared_ptr<Waiter>> waiters_;
};

}  // namespace pen::call
