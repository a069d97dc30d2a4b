#include <chrono>

#include <boost/asio/use_awaitable.hpp>

#include "ws/connection.hpp"
#include "ws/rpc.hpp"

namespace pen::ws {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

net::awaitable<std::optional<EngineError>> wait_connected(std::shared_ptr<EngineShared> shared,
                                                          std::optional<Timeout> timeout) {
  // Registered before the slot is tested, so an installation in between is not missed.
  auto registration = shared->connected_signal.subscribe();
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (slot->has_value()) co_return std::nullopt;
  }
  const auto deadline = timeout ? deadline_after(Clock::now(), *timeout) : Clock::time_point::max();
  if (co_await registration.wait_until(deadline)) co_return std::nullopt;
  co_return EngineError::transport(std::nullopt, std::nullopt, "wait_connected timed out");
}

}  // namespace pen::ws
