// The listening side: binding, and the accept loop that hands each socket to `admit`.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "call/engine_shared.hpp"
#include "codec/engine_error.hpp"
#include "server/handshake.hpp"

namespace pen::server {

struct ListenOptions {
  std::chrono::steady_clock::duration handshake_timeout = HANDSHAKE_TIMEOUT;
};

struct Listening {
  std::optional<EngineError> error;      // "bind failed on {host}:{port}: {text}"
  boost::asio::ip::tcp::endpoint local;  // the bound address, when there is no error
};

// start_listener with the bound endpoint reported (port 0 picks an ephemeral port) and the
// handshake bound adjustable; for tests and tools. start_listener is this with defaults.
boost::asio::awaitable<Listening> listen_and_serve(std::shared_ptr<call::EngineShared> shared,
                                                   std::string host, std::uint16_t port,
                                                   ListenOptions options = {});

// Binds host:port, spawns the accept loop on shared->executor and returns; on failure an
// RpcTransportError(None, None, "bind failed on {host}:{port}: {text}").
boost::asio::awaitable<std::optional<EngineError>> start_listener(
    std::shared_ptr<call::EngineShared> shared, std::string host, std::uint16_t port);

}  // namespace pen::server
