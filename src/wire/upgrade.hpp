// Validation of the HTTP request that opens a WebSocket connection (RFC 6455 section 4.2.1).
#pragma once

#include <optional>

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/websocket/error.hpp>

namespace pen::wire {

using UpgradeRequest = boost::beast::http::request<boost::beast::http::empty_body>;

// The first violation among: a method other than GET, a version older than HTTP/1.1, no
// "Connection: upgrade", no "Upgrade: websocket", no "Sec-WebSocket-Version: 13", no
// "Sec-WebSocket-Key", a key that is not the base64 form of 16 bytes. The target (path and
// query) is not examined.
std::optional<boost::beast::websocket::error> check_upgrade_request(const UpgradeRequest& req);

// Beast's accepting side insists on exactly HTTP/1.1 and on a Host header, which this server
// does not require; adjust a request that passed check_upgrade_request accordingly.
void relax_for_accept(UpgradeRequest& req);

}  // namespace pen::wire
