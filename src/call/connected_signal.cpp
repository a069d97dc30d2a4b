#include "call/connected_signal.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace pen::call {

namespace net = boost::asio;

ConnectedSignal::Registration ConnectedSignal::subscribe() {
  auto waiter = std::make_shared<Waiter>(executor_);
  std::lock_guard lock(mu_);
  return Registration(this, waiters_.insert(waiters_.end(), std::move(waiter)));
}

ConnectedSignal::Registration::~Registration() {
  if (!signal_) return;
  std::lock_guard lock(signal_->mu_);
  signal_->waiters_.erase(pos_);
}

void ConnectedSignal::raise() {
  std::lock_guard lock(mu_);
  for (auto& w : waiters_) {
    w->raised = true;
    w->timer.cancel();
  }
}

bool ConnectedSignal::is_raised(const Waiter& w) {
  std::lock_guard lock(mu_);
  return w.raised;
}

net::awaitable<bool> ConnectedSignal::Registration::wait_until(
    std::chrono::steady_clock::time_point deadline) {
  auto& waiter = **pos_;
  if (signal_->is_raised(waiter)) co_return true;
  waiter.timer.expires_at(deadline);
  auto [ec] = co_await waiter.timer.async_wait(net::as_tuple(net::use_awaitable));
  if (signal_->is_raised(waiter)) co_return true;
  if (ec == net::error::operation_aborted)
    throw boost::system::system_error(ec, "connected signal wait");  // the caller was cancelled
  co_return false;
}

}  // namespace pen::call
