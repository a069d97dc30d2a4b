// Origin admission for the opening handshake.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace pen::wire {

// Admitted origins, tested in this order: the loopback development servers, then the two
// hosted builds of the web application.
inline constexpr std::array<std::string_view, 6> ALLOWED_ORIGIN_PREFIXES = {
    "http://127.0.0.1",
    "http://localhost",
    "https://127.0.0.1",
    "https://localhost",
    "https://app.tradelab.studio",
    "https://backtest.tradelab.cloud",
};
static_assert(ALLOWED_ORIGIN_PREFIXES[4].size() == 27 && ALLOWED_ORIGIN_PREFIXES[5].size() == 31);

struct OriginVerdict {
  bool admitted = false;
  std::string trimmed;  // the value after trailing "/" were removed (for the rejection line)
};

// `first_origin` is the raw value of the request's first Origin header, absent if none. A
// value with a byte outside HTAB and 0x20-0x7E counts as absent. After trailing "/" are
// removed, an empty value is admitted; otherwise the value must start with an allowed prefix
// (case-sensitive) followed by nothing, by ":" and a port number (then optionally "/..."), or
// by "/...". So "http://localhost.attacker.example" is refused.
OriginVerdict check_origin(std::optional<std::string_view> first_origin);

}  // namespace pen::wire
