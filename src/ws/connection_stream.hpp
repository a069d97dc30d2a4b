// The Beast stream behind a Connection, for the code that performs the opening handshake.
#pragma once

#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "ws/frame_limit_stream.hpp"

namespace pen::ws {

using WebSocket = boost::beast::websocket::stream<FrameLimitStream>;

struct WsStream {
  explicit WsStream(boost::asio::ip::tcp::socket socket) : ws(std::move(socket)) {}
  boost::asio::ip::tcp::socket& socket() { return ws.next_layer().next_layer(); }
  WebSocket ws;
};

inline constexpr std::size_t READ_MESSAGE_MAX = std::size_t{64} << 20;  // 64 MiB
inline constexpr std::size_t WRITE_BUFFER_BYTES = std::size_t{128} << 10;  // 128 KiB

// Settings of every admitted connection: 64 MiB messages and 16 MiB frames in, 128 KiB write buffer, one frame
// per outgoing message, no compression (Beast offers none unless asked), no idle time-out or
// keep-alive pings of its own (the opening handshake has its own bound). Beast rejects
// unmasked client frames by itself.
void apply_connection_settings(WebSocket& ws);

}  // namespace pen::ws
