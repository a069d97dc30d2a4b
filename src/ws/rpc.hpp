// The operations an engine method awaits. Each runs on shared->executor.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "codec/bytes.hpp"
#include "codec/result.hpp"
#include "ws/engine_shared.hpp"
#include "codec/timeout.hpp"

namespace pen::ws {

// Binds host:port, spawns the accept loop on shared->executor and returns; on failure an
// RpcTransportError(None, None, "bind failed on {host}:{port}: {text}").
boost::asio::awaitable<std::optional<EngineError>> start_listener(
    std::shared_ptr<EngineShared> shared, std::string host, std::uint16_t port);

// Resolves once the slot holds a connection; RpcTransportError(None, None,
// "wait_connected timed out") when the optional time-out passes first.
boost::asio::awaitable<std::optional<EngineError>> wait_connected(
    std::shared_ptr<EngineShared> shared, std::optional<Timeout> timeout);

// One request and its reply: presence check, numbering, framing, sending, waiting under the
// connection guard with one deadline, and closing the failed connection after a transport
// failure. Returns the reply payload or the EngineError of the failure.
boost::asio::awaitable<Result<Bytes>> rpc_call(std::shared_ptr<EngineShared> shared,
                                               std::uint16_t fn_id, Bytes payload,
                                               Timeout timeout);

}  // namespace pen::ws
