// EngineShared: the handles an engine object holds and every task of that engine shares, and
// the wait for its first connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "codec/engine_error.hpp"
#include "codec/timeout.hpp"

#include "ws/async_mutex.hpp"
#include "ws/connected_signal.hpp"

namespace pen::ws {

class Connection;

// What the connection slot holds: the connection and the number it was installed under, so
// that clean-up after a failed call removes only the connection that failed.
struct InstalledConnection {
  std::shared_ptr<Connection> conn;
  std::uint64_t generation = 0;
};

struct EngineShared {
  EngineShared(boost::asio::any_io_executor executor, std::uint32_t start_seq);

  // Every task of this engine (accept loop, handshakes, calls, waits) runs on this executor,
  // the single-threaded context of one runtime worker, so a connection's operations, timers
  // and cancellations never race.
  boost::asio::any_io_executor executor;
  AsyncMutex<std::optional<InstalledConnection>> conn_slot;
  AsyncMutex<std::uint32_t> seq_counter;
  ConnectedSignal connected_signal;
  const std::uint32_t start_seq;
  std::atomic<std::uint64_t> next_generation{1};
};

// Resolves once the slot holds a connection; RpcTransportError(None, None,
// "wait_connected timed out") when the optional time-out passes first.
boost::asio::awaitable<std::optional<EngineError>> wait_connected(
    std::shared_ptr<EngineShared> shared, std::optional<Timeout> timeout);

}  // namespace pen::ws
