#include "wire/error_text.hpp"

#include <netdb.h>

#include <system_error>

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>

namespace pen::wire {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;

const char* upgrade_error_text(websocket::error e) {
  using enum websocket::error;
  switch (e) {
    case bad_method: return "Unsupported HTTP method used - only GET is allowed";
    case bad_http_version: return "HTTP version must be 1.1 or higher";
    case no_connection:
    case no_connection_upgrade: return "No \"Connection: upgrade\" header";
    case no_upgrade:
    case no_upgrade_websocket: return "No \"Upgrade: websocket\" header";
    case no_sec_version:
    case bad_sec_version: return "No \"Sec-WebSocket-Version: 13\" header";
    case no_sec_key: return "No \"Sec-WebSocket-Key\" header";
    case bad_sec_key: return "Invalid \"Sec-WebSocket-Key\" header";
    default: return nullptr;
  }
}

}  // namespace

std::string os_error_text(int err) {
  return std::system_category().message(err) + " (os error " + std::to_string(err) + ")";
}

std::string error_text(const boost::system::error_code& ec) {
  if (ec.category() == boost::system::system_category()) return os_error_text(ec.value());
  return ec.message();
}

std::string handshake_error_text(const boost::system::error_code& ec) {
  const auto& ws_category = websocket::make_error_code(websocket::error::closed).category();
  const auto& http_category = http::make_error_code(http::error::end_of_stream).category();
  if (ec.category() == ws_category) {
    const char* text = upgrade_error_text(static_cast<websocket::error>(ec.value()));
    return std::string("WebSocket protocol error: ") + (text ? text : ec.message());
  }
  if (ec.category() == http_category && ec != http::error::end_of_stream &&
      ec != http::error::partial_message) {
    return "HTTP format error: " + ec.message();
  }
  return "IO error: " + error_text(ec);
}

std::string resolver_error_text(const boost::system::error_code& ec) {
  // Asio folds getaddrinfo's EAI_* codes into its own; undo that for the familiar wording.
  if (ec == net::error::host_not_found) return ::gai_strerror(EAI_NONAME);
  if (ec == net::error::host_not_found_try_again) return ::gai_strerror(EAI_AGAIN);
  if (ec == net::error::no_recovery) return ::gai_strerror(EAI_FAIL);
  if (ec == net::error::service_not_found) return ::gai_strerror(EAI_SERVICE);
  if (ec == net::error::no_memory) return ::gai_strerror(EAI_MEMORY);
  return error_text(ec);
}

}  // namespace pen::wire
