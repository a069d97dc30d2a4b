// Admission of one accepted socket: the opening handshake, bounded as a whole, then the
// installation of the connection into the engine's slot.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "call/engine_shared.hpp"

namespace pen::server {

inline constexpr std::string_view PYTHON_LIBRARY_VERSION = "0.1.0";
inline constexpr std::string_view HANDSHAKE_TEMPLATE =
    R"({"type":"handshake","python_library_version":"{}"})";

// {"type":"handshake","python_library_version":"0.1.0"}
std::string handshake_message();

// From accept until the handshake message is sent; a slow or silent client is dropped then.
inline constexpr std::chrono::seconds HANDSHAKE_TIMEOUT{5};

// Runs concurrently with other admissions; only the installation takes turns (through
// conn_slot). Failures are logged, never thrown.
boost::asio::awaitable<void> admit(std::shared_ptr<call::EngineShared> shared,
                                   boost::asio::ip::tcp::socket socket,
                                   std::chrono::steady_clock::duration limit = HANDSHAKE_TIMEOUT);

}  // namespace pen::server
