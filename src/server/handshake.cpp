#include "server/handshake.hpp"

#include <optional>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "call/connection.hpp"
#include "server/diagnostics.hpp"
#include "wire/error_text.hpp"
#include "wire/origin.hpp"
#include "wire/upgrade.hpp"

namespace pen::server {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;
using tcp = net::ip::tcp;

constexpr std::uint32_t REQUEST_HEADER_LIMIT = 16 * 1024;
constexpr std::string_view FORBIDDEN_RESPONSE = "HTTP/1.1 403 Forbidden\r\n\r\n";
constexpr std::string_view FORBIDDEN_TEXT = "HTTP error: 403 Forbidden";
constexpr std::string_view TIMED_OUT_TEXT = "IO error: handshake timed out";

using WebSocket = websocket::stream<tcp::socket>;

// One socket on its way to becoming a connection. The watchdog closes the socket when the
// time limit passes; every pending operation then fails and the handshake gives up.
struct Pending {
  explicit Pending(tcp::socket socket) : ws(std::move(socket)) {}
  WebSocket ws;
  bool finished = false;
  bool timed_out = false;
  bool engine_closed = false;  // close_engine() ran meanwhile: the connection is not installed
};

// Beast runs the upgrade and sends the greeting; after that the connection speaks the wire
// itself (wire.hpp), so Beast's reading settings do not matter. No compression is offered or
// accepted, and Beast keeps no time-out or keep-alive pings of its own (the watchdog bounds
// the handshake).
void apply_handshake_settings(WebSocket& ws) {
  websocket::permessage_deflate no_compression;
  no_compression.server_enable = false;
  no_compression.client_enable = false;
  ws.set_option(no_compression);
  ws.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                websocket::stream_base::none(), false});
}

net::awaitable<void> refuse_origin(tcp::socket& socket) {
  (void)co_await net::async_write(socket,
                                  net::buffer(FORBIDDEN_RESPONSE.data(), FORBIDDEN_RESPONSE.size()),
                                  net::as_tuple(net::use_awaitable));
  error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
}

// The HTTP upgrade: read the request, admit its Origin, validate it, answer 101. Returns the
// handshake error text on failure.
net::awaitable<std::optional<std::string>> open_websocket(WebSocket& ws) {
  tcp::socket& socket = ws.next_layer();
  beast::flat_buffer buffer;
  http::request_parser<http::empty_body> parser;
  parser.header_limit(REQUEST_HEADER_LIMIT);
  if (auto [ec, n] = co_await http::async_read(socket, buffer, parser,
                                               net::as_tuple(net::use_awaitable));
      ec) {
    co_return wire::handshake_error_text(ec);
  }
  wire::UpgradeRequest req = parser.release();

  auto origin = req.find(http::field::origin);
  wire::OriginVerdict verdict = wire::check_origin(
      origin == req.end() ? std::nullopt : std::optional<std::string_view>(origin->value()));
  if (!verdict.admitted) {
    log_line("rejected origin: " + verdict.trimmed);
    co_await refuse_origin(socket);
    co_return std::string(FORBIDDEN_TEXT);
  }

  if (auto violation = wire::check_upgrade_request(req))
    co_return wire::handshake_error_text(websocket::make_error_code(*violation));
  wire::relax_for_accept(req);
  apply_handshake_settings(ws);
  if (auto [ec] = co_await ws.async_accept(req, net::as_tuple(net::use_awaitable)); ec)
    co_return wire::handshake_error_text(ec);
  co_return std::nullopt;
}

// The new connection replaces whatever the slot held; numbering restarts at start_seq and
// every task waiting for a connection wakes up. Lock order: conn_slot, then seq_counter.
net::awaitable<void> install(call::EngineShared& shared, std::shared_ptr<call::Connection> conn,
                             const Pending& pending) {
  auto slot = co_await shared.conn_slot.async_lock(net::use_awaitable);
  if (pending.engine_closed) co_return;  // `conn` closes its socket here
  shared.lifecycle.connection_installed([weak = std::weak_ptr<call::Connection>(conn)] {
    if (auto installed = weak.lock()) installed->close();
  });
  std::shared_ptr<call::Connection> replaced;
  if (slot->has_value()) replaced = std::move((*slot)->conn);
  *slot = call::InstalledConnection{std::move(conn), shared.next_generation.fetch_add(1)};
  replaced.reset();  // closes the old socket now
  {
    auto counter = co_await shared.seq_counter.async_lock(net::use_awaitable);
    *counter = shared.start_seq;
    shared.connected_signal.raise();
  }
}

}  // namespace

std::string handshake_message() {
  std::string text(HANDSHAKE_TEMPLATE);
  text.replace(text.rfind("{}"), 2, PYTHON_LIBRARY_VERSION);
  return text;
}

net::awaitable<void> admit(std::shared_ptr<call::EngineShared> shared, tcp::socket socket,
                           std::chrono::steady_clock::duration limit) {
  auto pending = std::make_shared<Pending>(std::move(socket));
  auto registration = shared->lifecycle.on_close([pending] {
    pending->engine_closed = true;
    error_code ignored;
    pending->ws.next_layer().close(ignored);  // a no-op once the connection took it
  });
  net::steady_timer watchdog(shared->executor, limit);
  watchdog.async_wait([pending](error_code ec) {
    if (ec || pending->finished) return;
    pending->timed_out = true;
    error_code ignored;
    pending->ws.next_layer().close(ignored);
  });

  auto& ws = pending->ws;
  std::optional<std::string> failure = co_await open_websocket(ws);
  if (!failure) {
    const std::string greeting = handshake_message();
    ws.text(true);
    auto [ec, n] = co_await ws.async_write(net::buffer(greeting),
                                           net::as_tuple(net::use_awaitable));
    if (ec && !pending->timed_out && !pending->engine_closed)
      log_line("handshake send failed: " + wire::error_text(ec));
  }
  pending->finished = true;
  watchdog.cancel();
  if (pending->timed_out) failure = std::string(TIMED_OUT_TEXT);
  if (pending->engine_closed) co_return;  // a failure of the closing itself, not reported
  if (failure) {
    log_accept_failed(*failure);
    co_return;  // the socket closes with `pending`
  }
  co_await install(*shared, std::make_shared<call::Connection>(std::move(ws.next_layer())),
                   *pending);
}

}  // namespace pen::server
