// EngineShared: the handles an engine object holds and every task of that engine shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <boost/asio/any_io_executor.hpp>

#include "ws/async_mutex.hpp"
#include "ws/connected_signal.hpp"
#include "ws/wait_budget.hpp"

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
  // a single-threaded context (one worker), so its timers and cancellations never race. The
  // one thread besides it that touches a connection is a caller in the call path, and only
  // while it holds conn_slot.
  boost::asio::any_io_executor executor;
  AsyncMutex<std::optional<InstalledConnection>> conn_slot;
  AsyncMutex<std::uint32_t> seq_counter;
  ConnectedSignal connected_signal;
  const std::uint32_t start_seq;
  std::atomic<std::uint64_t> next_generation{1};

  // The call path (rpc.hpp): whether a caller may wait for its reply on its own thread, the
  // budget of that wait, and the calls begun and not yet ended (the connection is idle only
  // when there are none).
  std::atomic<bool> sync_wait{true};
  WaitBudget wait_budget;
  std::atomic<unsigned> calls_in_progress{0};
};

}  // namespace pen::ws
