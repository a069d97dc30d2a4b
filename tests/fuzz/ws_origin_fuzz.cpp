// Fuzzes the Origin admission rule. Byte 0 chooses between an absent header and a value (the
// rest, possibly starting with one of the allowed prefixes, so the fuzzer need not find them
// itself). The verdict is compared with the rule worked out here: a value with a byte outside
// HTAB and 0x20-0x7E counts as empty; trailing "/" go; empty is admitted; otherwise an allowed
// prefix followed by nothing, "/...", or ":" digits then nothing or "/...".
#include <algorithm>
#include <string>

#include "fuzz_support.hpp"
#include "wire/origin.hpp"

namespace {

using pen::wire::ALLOWED_ORIGIN_PREFIXES;

bool rest_ok(std::string_view rest) {
  if (rest.empty() || rest[0] == '/') return true;
  if (rest[0] != ':') return false;
  std::size_t i = 1;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
  return i > 1 && (i == rest.size() || rest[i] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  if (mode == 0xFF) {
    const auto verdict = pen::wire::check_origin(std::nullopt);
    PEN_REQUIRE(verdict.admitted && verdict.trimmed.empty());
    return 0;
  }
  std::string value;
  if (mode % 8 < ALLOWED_ORIGIN_PREFIXES.size()) value = ALLOWED_ORIGIN_PREFIXES[mode % 8];
  value.append(reinterpret_cast<const char*>(data + 1), size - 1);

  const auto verdict = pen::wire::check_origin(value);

  std::string_view expected = value;
  const bool printable = std::all_of(value.begin(), value.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b == '\t' || (b >= 0x20 && b <= 0x7E);
  });
  if (!printable) expected = {};
  while (!expected.empty() && expected.back() == '/') expected.remove_suffix(1);
  PEN_REQUIRE(verdict.trimmed == expected);

  bool admit = expected.empty();
  for (std::string_view prefix : ALLOWED_ORIGIN_PREFIXES)
    admit = admit || (expected.starts_with(prefix) && rest_ok(expected.substr(prefix.size())));
  PEN_REQUIRE(verdict.admitted == admit);
  if (verdict.admitted && !verdict.trimmed.empty()) {
    PEN_REQUIRE(std::any_of(ALLOWED_ORIGIN_PREFIXES.begin(), ALLOWED_ORIGIN_PREFIXES.end(),
                            [&](std::string_view p) { return verdict.trimmed.starts_with(p); }));
  }
  return 0;
}
