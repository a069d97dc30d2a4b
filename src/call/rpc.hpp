// The call cycle: one request and its reply, run on shared->executor (rpc_call) or begun on
// the calling thread (start_call).
#pragma once

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
