#include "wire/origin.hpp"

#include <algorithm>

namespace pen::wire {
namespace {

bool printable(std::string_view value) {
  return std::all_of(value.begin(), value.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b == '\t' || (b >= 0x20 && b <= 0x7E);
  });
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// What may follow an allowed prefix: nothing, a port (":" digits, then nothing or a path),
// or a path. Anything else would let another host name continue the prefix.
bool acceptable_rest(std::string_view rest) {
  if (rest.empty() || rest.front() == '/') return true;
  if (rest.front() != ':') return false;
  rest.remove_prefix(1);
  const auto digits = static_cast<std::size_t>(
      std::find_if_not(rest.begin(), rest.end(), is_digit) - rest.begin());
  if (digits == 0) return false;
  rest.remove_prefix(digits);
  return rest.empty() || rest.front() == '/';
}

}  // namespace

OriginVerdict check_origin(std::optional<std::string_view> first_origin) {
  std::string_view value = first_origin.value_or("");
  if (!printable(value)) value = {};
  while (!value.empty() && value.back() == '/') value.remove_suffix(1);

  OriginVerdict verdict{value.empty(), std::string(value)};
  for (std::string_view prefix : ALLOWED_ORIGIN_PREFIXES) {
    if (verdict.admitted) break;
    verdict.admitted = value.starts_with(prefix) && acceptable_rest(value.substr(prefix.size()));
  }
  return verdict;
}

}  // namespace pen::wire
