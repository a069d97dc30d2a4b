// The call cycle: one request and its reply. Runs on shared->executor.
#pragma once

#include <cstdint>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "codec/bytes.hpp"
#include "codec/result.hpp"
#include "ws/engine_shared.hpp"
#include "codec/timeout.hpp"

namespace pen::ws {

// One request and its reply: presence check, numbering, framing, sending, waiting under the
// connection guard with one deadline, and closing the failed connection after a transport
// failure. Returns the reply payload or the EngineError of the failure.
boost::asio::awaitable<Result<Bytes>> rpc_call(std::shared_ptr<EngineShared> shared,
                                               std::uint16_t fn_id, Bytes payload,
                                               Timeout timeout);

}  // namespace pen::ws
