#include "call/engine_shared.hpp"

#include <chrono>

#include <boost/asio/use_awaitable.hpp>

#include "call/connection.hpp"

namespace pen::call {

namespace net = boost::asio;

EngineShared::EngineShared(boost::asio::any_io_executor executor_, std::uint32_t start_seq_)
    : executor(std::move(executor_)),
      conn_slot(std::nullopt),
      seq_counter(start_seq_),
      connected_signal(executor),
      start_seq(start_seq_) {}

net::awaitable<std::optional<EngineError>> wait_connected(std::shared_ptr<EngineShared> shared,
                                                          std::optional<Timeout> timeout) {
  // Registered before the slot is tested, so an installation in between is not missed.
  auto registration = shared->connected_signal.subscribe();
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (slot->has_value()) co_return std::nullopt;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = timeout ? deadline_after(Clock::now(), *timeout) : Clock::time_point::max();
  if (co_await registration.wait_until(deadline)) co_return std::nullopt;
  co_return EngineError::transport(std::nullopt, std::nullopt, "wait_connected timed out");
}

Lifecycle::Entry::~Entry() {
  if (!owner_) return;
  std::lock_guard lock(owner_->mu_);
  owner_->closers_.erase(id_);  // nothing to do when close_all() already ran it
}

Lifecycle::Entry Lifecycle::on_close(Closer closer) {
  std::lock_guard lock(mu_);
  const std::uint64_t id = next_id_++;
  closers_.emplace(id, std::move(closer));
  return Entry(this, id);
}

void Lifecycle::connection_installed(Closer closer) {
  std::lock_guard lock(mu_);
  closers_.insert_or_assign(CONNECTION, std::move(closer));
}

void Lifecycle::listening(const boost::asio::ip::tcp::endpoint& local) {
  std::lock_guard lock(mu_);
  bound_ = local;
}

std::optional<boost::asio::ip::tcp::endpoint> Lifecycle::bound() const {
  std::lock_guard lock(mu_);
  return bound_;
}

void Lifecycle::close_all() {
  std::map<std::uint64_t, Closer> closers;
  {
    std::lock_guard lock(mu_);
    closers.swap(closers_);
    bound_.reset();
  }
  // Outside the lock: a closer may end a task that unregisters its own entry.
  for (auto& [id, close] : closers) close();
}

net::awaitable<std::optional<EngineError>> close_engine(std::shared_ptr<EngineShared> shared) {
  // Listeners stop, handshakes in progress end without installing, and the installed
  // connection's socket closes: a call waiting on it ends with "websocket closed".
  shared->lifecycle.close_all();
  // Queued behind the calls that hold the slot, which end now; later calls then find it empty.
  auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
  slot->reset();
  co_return std::nullopt;
}

}  // namespace pen::call
