#include "ws/engine_shared.hpp"

#include <chrono>

#include <boost/asio/use_awaitable.hpp>

#include "ws/connection.hpp"

namespace pen::ws {

EngineShared::EngineShared(boost::asio::any_io_executor executor_, std::uint32_t start_seq_)
    : executor(std::move(executor_)),
      conn_slot(std::nullopt),
      seq_counter(start_seq_),
      connected_signal(executor),
      start_seq(start_seq_) {}

namespace net = boost::asio;

net::awaitable<std::optional<EngineError>> wait_connected(std::shared_ptr<EngineShared> shared,
                                                          std::optional<Timeout> timeout) {
  // Registered before the slot is tested, so an installation in between is not missed.
  auto registration = shared->connected_signal.subscribe();
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (slot->has_value()) co_return std::nullopt;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      timeout ? deadline_after(Clock::now(), *timeout) : Clock::time_point::max();
  if (co_await registration.wait_until(deadline)) co_return std::nullopt;
  co_return EngineError::transport(std::nullopt, std::nullopt, "wait_connected timed out");
}

}  // namespace pen::ws
