// EngineShared: the handles an engine object holds and every task of that engine shares, and
// the wait for its first connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "call/async_mutex.hpp"
#include "call/connected_signal.hpp"
#include "call/wait_budget.hpp"
#include "codec/engine_error.hpp"
#include "codec/timeout.hpp"

namespace pen::call {

class Connection;

// What the connection slot holds: the connection and the number it was installed under, so
// that clean-up after a failed call removes only the connection that failed.
struct InstalledConnection {
  std::shared_ptr<Connection> conn;
  std::uint64_t generation = 0;
};

// What start() leaves running and close() ends: each listening socket, each socket still in its
// opening handshake and the installed connection registers how to close it. close() must reach
// them at once, without queueing for conn_slot, which a call may hold for its whole time-out.
// Also the address of the most recent listener, for bound_port and bound_address. Thread-safe.
class Lifecycle {
 public:
  using Closer = std::function<void()>;

  // Unregisters its closer when destroyed (a listener or an admission that ended by itself).
  class Entry {
   public:
    Entry(Lifecycle* owner, std::uint64_t id) : owner_(owner), id_(id) {}
    Entry(Entry&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)), id_(other.id_) {}
    Entry& operator=(Entry&&) = delete;
    ~Entry();

   private:
    Lifecycle* owner_;
    std::uint64_t id_;
  };

  [[nodiscard]] Entry on_close(Closer closer);
  // The installed connection's closer, replacing the previous connection's.
  void connection_installed(Closer closer);
  void listening(const boost::asio::ip::tcp::endpoint& local);
  std::optional<boost::asio::ip::tcp::endpoint> bound() const;

  // Runs every registered closer once, on the caller's thread (the engine's executor), and
  // forgets them and the bound address.
  void close_all();

 private:
  static constexpr std::uint64_t CONNECTION = 0;
  mutable std::mutex mu_;
  std::uint64_t next_id_ = CONNECTION + 1;
  std::map<std::uint64_t, Closer> closers_;
  std::optional<boost::asio::ip::tcp::endpoint> bound_;
};

struct EngineShared {
  EngineShared(boost::asio::any_io_executor executor, std::uint32_t start_seq);

  // Every task of this engine (accept loop, handshakes, calls, waits) runs on this executor,
  // the single-threaded context of one runtime worker, so its timers and cancellations never
  // race. The one thread besides it that touches a connection is a caller in the call path
  // (rpc.hpp), and only while it holds conn_slot.
  boost::asio::any_io_executor executor;
  AsyncMutex<std::optional<InstalledConnection>> conn_slot;
  AsyncMutex<std::uint32_t> seq_counter;
  ConnectedSignal connected_signal;
  const std::uint32_t start_seq;
  std::atomic<std::uint64_t> next_generation{1};
  Lifecycle lifecycle;

  // The call path (rpc.hpp): whether a caller may wait for its reply on its own thread, the
  // budget of that wait, and the calls begun and not yet ended (the connection is idle only
  // when there are none).
  std::atomic<bool> sync_wait{true};
  WaitBudget wait_budget;
  std::atomic<unsigned> calls_in_progress{0};
};

// Resolves once the slot holds a connection; RpcTransportError(None, None,
// "wait_connected timed out") when the optional time-out passes first.
boost::asio::awaitable<std::optional<EngineError>> wait_connected(
    std::shared_ptr<EngineShared> shared, std::optional<Timeout> timeout);

// Stops every accept loop of the engine (closing its listening socket), ends the handshakes in
// progress and closes the installed connection; the slot is then empty. Idempotent;
// start_listener may bind again afterwards. Never fails.
boost::asio::awaitable<std::optional<EngineError>> close_engine(
    std::shared_ptr<EngineShared> shared);

}  // namespace pen::call
