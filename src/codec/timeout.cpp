// Float seconds to an exact nanosecond duration, and deadlines that saturate instead of
// overflowing the steady clock.
#include "codec/timeout.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

namespace pen {
namespace {

using u128 = unsigned __int128;

constexpr char NEGATIVE[] = "cannot convert float seconds to Duration: value is negative";
constexpr char TOO_BIG[] =
    "cannot convert float seconds to Duration: value is either too big or NaN";
constexpr std::uint64_t NANOS_PER_SEC = 1'000'000'000;

// value / 2^shift rounded to nearest, halfway cases to even.
u128 shift_right_rounded(u128 value, int shift) {
  if (shift == 0) return value;
  if (shift >= 127) return 0;  // callers pass value < 2^83: far below half of 2^shift
  const u128 quotient = value >> shift;
  const u128 remainder = value & ((u128{1} << shift) - 1);
  const u128 half = u128{1} << (shift - 1);
  const bool round_up = remainder > half || (remainder == half && (quotient & 1) != 0);
  return quotient + (round_up ? 1 : 0);
}

}  // namespace

std::variant<Timeout, std::string> timeout_from_secs(double secs) {
  if (std::isnan(secs)) return std::string(TOO_BIG);
  if (secs < 0) return std::string(NEGATIVE);
  if (secs >= 0x1p64) return std::string(TOO_BIG);  // +inf included

  // secs = mantissa * 2^exponent exactly; then secs * 1e9 is an exact 128-bit integer
  // shifted by the exponent, and only the final shift rounds.
  const auto bits = std::bit_cast<std::uint64_t>(secs);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent = -1074;  // subnormals and zero
  if (biased != 0) {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  const u128 scaled = u128{mantissa} * NANOS_PER_SEC;  // < 2^83
  // secs < 2^64 bounds the exponent to at most 11, so the left shift stays below 2^94.
  const u128 total = exponent >= 0 ? scaled << exponent : shift_right_rounded(scaled, -exponent);

  const u128 whole_secs = total / NANOS_PER_SEC;
  if (whole_secs > std::numeric_limits<std::uint64_t>::max()) return std::string(TOO_BIG);
  return Timeout{static_cast<std::uint64_t>(whole_secs),
                 static_cast<std::uint32_t>(total % NANOS_PER_SEC)};
}

std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point now,
                                                     const Timeout& t) {
  using clock = std::chrono::steady_clock;
  static_assert(std::is_same_v<clock::duration, std::chrono::nanoseconds>);
  using Rep = clock::rep;

  // Headroom before the clock's largest value, in 128 bits (now may even be negative).
  const __int128 headroom = static_cast<__int128>(std::numeric_limits<Rep>::max()) -
                            now.time_since_epoch().count();
  const __int128 wanted = static_cast<__int128>(t.secs) * NANOS_PER_SEC + t.nanos;
  if (wanted <= headroom) return now + clock::duration(static_cast<Rep>(wanted));

  const __int128 far = static_cast<__int128>(FAR_FUTURE.count()) * NANOS_PER_SEC;
  if (far <= headroom) return now + clock::duration(static_cast<Rep>(far));
  return clock::time_point::max();
}

}  // namespace pen
