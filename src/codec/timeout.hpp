// Call time-outs: float seconds to an exact duration, and deadlines that never overflow.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

namespace pen {

// A non-negative duration with nanosecond resolution and a 64-bit count of seconds.
struct Timeout {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below 1e9

  bool operator==(const Timeout&) const = default;
};

inline constexpr double DEFAULT_TIMEOUT_SECS = 10.0;
inline constexpr double SYNC_POLICY_TIMEOUT_SECS = 5.0;
// Used when now + timeout cannot be represented: 30 years ahead.
inline constexpr std::chrono::seconds FAR_FUTURE{946'080'000};

// Rounds to the nearest nanosecond, halfway cases to even. A negative value (-inf included)
// gives "cannot convert float seconds to Duration: value is negative"; NaN, +inf and 2^64
// seconds or more give "cannot convert float seconds to Duration: value is either too big or
// NaN". -0.0 is zero. The refusal is text, not an EngineError (see result.hpp).
std::variant<Timeout, std::string> timeout_from_secs(double secs);

// now + t on the steady clock, or now + FAR_FUTURE when the sum cannot be represented.
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point now,
                                                     const Timeout& t);

}  // namespace pen
