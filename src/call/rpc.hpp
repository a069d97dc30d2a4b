// The call cycle: one request and its reply, run on shared->executor (rpc_call) or begun on
// the calling thread (start_call).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include <boost/asio/awaitable.hpp>

#include "call/engine_shared.hpp"
#include "codec/bytes.hpp"
#include "codec/result.hpp"
#include "codec/timeout.hpp"

namespace pen::call {

// One request and its reply: presence check, numbering, framing, sending and waiting under
// the connection guard with one deadline from the moment the request is handed to the
// connection, and closing the failed connection after a transport failure (a time-out while
// sending included). Returns the reply payload or the EngineError of the failure.
boost::asio::awaitable<Result<Bytes>> rpc_call(std::shared_ptr<EngineShared> shared,
                                               std::uint16_t fn_id, Bytes payload, Timeout timeout);

// How a call left the thread that started it (start_call): settled there, or with the rest of
// its work to run on shared->executor, which then settles it.
struct CallStart {
  std::optional<Result<Bytes>> done;
  std::optional<boost::asio::awaitable<Result<Bytes>>> rest;
};

// A call whose request the calling thread has numbered and handed to the connection, which
// that thread holds exclusively until the call settles (begin_call). Driven from that thread
// with advance() while the socket is ready (poll(2) on socket(), for want_write() or reading),
// or handed to the worker with finish(). Dropping it unsettled closes nothing and reads
// nothing: whoever drops it hands it over first.
class HeldCall {
 public:
  HeldCall(HeldCall&&) noexcept;
  HeldCall& operator=(HeldCall&&) noexcept;
  ~HeldCall();

  int socket() const;
  bool want_write() const;  // what the last advance() stopped at: a full socket or no reply
  std::chrono::steady_clock::time_point deadline() const;

  // Sends and reads what the socket allows now; the outcome once the call settles, after
  // which the connection is released (and closed after a transport failure).
  std::optional<Result<Bytes>> advance();
  // The same rule as the worker's at the deadline: once past it, a short grace for a reply
  // already arriving, and after that the time-out (the connection closed).
  std::optional<Result<Bytes>> expire();
  // The rest of the call, for shared->executor, which then holds the connection.
  boost::asio::awaitable<Result<Bytes>> finish() &&;

  struct State;
  explicit HeldCall(std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

// How a call left begin_call: settled before anything was sent (nothing connected), held by
// the calling thread with its request queued, or as a whole for the worker (the synchronous
// wait is off, or the engine has another call in progress).
struct CallBegin {
  std::optional<Result<Bytes>> done;
  std::optional<HeldCall> held;
  std::optional<boost::asio::awaitable<Result<Bytes>>> rest;
};

// The steps of the call path up to the wait, without any wait: on the calling thread, without
// an executor.
CallBegin begin_call(std::shared_ptr<EngineShared> shared, std::uint16_t fn_id, Bytes payload,
                     Timeout timeout);

// The call path. Runs on the calling thread, without an executor (and without the interpreter
// lock). When shared->sync_wait is on and the connection is idle (no other call of this engine
// in progress, both locks free), this thread takes the connection lock, numbers, frames and
// sends the request and waits on the socket for the reply within the engine's WaitBudget and
// the call's deadline; a reply in by then settles the call here. Otherwise the rest (the whole
// of rpc_call when nothing began here) goes to the worker, holding what this thread held, and
// the outcome is the same as if rpc_call had run there from the start.
CallStart start_call(std::shared_ptr<EngineShared> shared, std::uint16_t fn_id, Bytes payload,
                     Timeout timeout);

}  // namespace pen::call
