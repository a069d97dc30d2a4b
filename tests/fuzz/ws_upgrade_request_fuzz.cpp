// Fuzzes the opening request as the handshake sees it: Beast's HTTP parser (with the header
// limit the server sets) fed in growing windows, then the Origin admission and the upgrade
// checks on whatever request comes out. A request that passes must be one the handshake may
// answer with 101, and relax_for_accept must leave it in the shape Beast's accept insists on.
#include <string_view>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>

#include "fuzz_support.hpp"
#include "wire/origin.hpp"
#include "wire/upgrade.hpp"

namespace {

namespace http = boost::beast::http;
using pen::wire::UpgradeRequest;

constexpr std::uint32_t REQUEST_HEADER_LIMIT = 16 * 1024;  // as in the handshake

bool has_token(const UpgradeRequest& req, http::field name, const char* token) {
  for (const auto& f : req)
    if (f.name() == name && http::token_list{f.value()}.exists(token)) return true;
  return false;
}

void check(UpgradeRequest req) {
  const auto origin = req.find(http::field::origin);
  const auto verdict = pen::wire::check_origin(
      origin == req.end() ? std::nullopt : std::optional<std::string_view>(origin->value()));
  if (!verdict.admitted) PEN_REQUIRE(origin != req.end() && !verdict.trimmed.empty());

  if (pen::wire::check_upgrade_request(req)) return;
  PEN_REQUIRE(req.method() == http::verb::get && req.version() >= 11);
  PEN_REQUIRE(has_token(req, http::field::connection, "upgrade"));
  PEN_REQUIRE(has_token(req, http::field::upgrade, "websocket"));
  PEN_REQUIRE(req[http::field::sec_websocket_version] == "13");
  const auto key = req[http::field::sec_websocket_key];  // base64 of 16 bytes
  PEN_REQUIRE(key.size() == 24 && key.ends_with("==") &&
              key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                    "0123456789+/") == 22);
  pen::wire::relax_for_accept(req);
  PEN_REQUIRE(req.version() == 11 && req.find(http::field::host) != req.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t step = data[0] % 64 + 1;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  http::request_parser<http::empty_body> parser;
  parser.header_limit(REQUEST_HEADER_LIMIT);
  boost::system::error_code ec;
  std::size_t used = 0, window = 0;
  while (!parser.is_done()) {
    if (window >= input.size() - used) {
      parser.put_eof(ec);
      break;
    }
    window = std::min(window + step, input.size() - used);
    const std::size_t n = parser.put(boost::asio::buffer(input.data() + used, window), ec);
    if (ec == http::error::need_more) {
      ec = {};
      continue;  // the parser took nothing; offer a larger window
    }
    if (ec || n == 0) break;
    used += n;
    window = 0;
  }
  if (!ec && parser.is_done()) check(parser.release());
  return 0;
}
