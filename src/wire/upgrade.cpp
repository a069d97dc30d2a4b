#include "wire/upgrade.hpp"

#include <algorithm>
#include <string_view>

#include <boost/beast/http/rfc7230.hpp>

namespace pen::wire {

namespace http = boost::beast::http;
using boost::beast::websocket::error;

namespace {

bool has_token(const UpgradeRequest& req, http::field name, const char* token) {
  for (auto it = req.find(name); it != req.end() && it->name() == name; ++it) {
    if (http::token_list{it->value()}.exists(token)) return true;
  }
  return false;
}

// The key must be the base64 form of 16 bytes: 22 alphabet characters, then "==". Beast checks
// only that it is not longer than that.
bool valid_key(std::string_view key) {
  const auto base64 = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
  };
  return key.size() == 24 && key.ends_with("==") && std::all_of(key.begin(), key.end() - 2, base64);
}

}  // namespace

std::optional<error> check_upgrade_request(const UpgradeRequest& req) {
  if (req.method() != http::verb::get) return error::bad_method;
  if (req.version() < 11) return error::bad_http_version;
  if (!has_token(req, http::field::connection, "upgrade")) return error::no_connection_upgrade;
  if (!has_token(req, http::field::upgrade, "websocket")) return error::no_upgrade_websocket;
  auto version = req.find(http::field::sec_websocket_version);
  if (version == req.end() || version->value() != "13") return error::no_sec_version;
  auto key = req.find(http::field::sec_websocket_key);
  if (key == req.end()) return error::no_sec_key;
  if (!valid_key(key->value())) return error::bad_sec_key;
  return std::nullopt;
}

void relax_for_accept(UpgradeRequest& req) {
  req.version(11);
  if (req.find(http::field::host) == req.end()) req.set(http::field::host, "");
}

}  // namespace pen::wire
