// Float seconds to an exact, correctly rounded duration; deadlines that never overflow.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "codec/timeout.hpp"

namespace pen {
namespace {

constexpr char kNegative[] = "cannot convert float seconds to Duration: value is negative";
constexpr char kTooBig[] =
    "cannot convert float seconds to Duration: value is either too big or NaN";
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Conversion {
  const char* name;
  double secs;
  std::variant<Timeout, std::string> expected;
};

void PrintTo(const Conversion& c, std::ostream* os) { *os << c.name; }

// Rounding is to the nearest nanosecond of the double's exact value, halfway cases to even.
// Decimal literals such as 2.5e-9 are not ties: the double lies slightly off the midpoint.
const std::vector<Conversion> kConversions = {
    {"zero", 0.0, Timeout{0, 0}},
    {"negative_zero", -0.0, Timeout{0, 0}},
    {"one_tenth_ns", 1e-10, Timeout{0, 0}},
    {"smallest_subnormal", std::bit_cast<double>(std::uint64_t{1}), Timeout{0, 0}},
    {"just_below_half_ns", 0x1.0p-31, Timeout{0, 0}},  // 0.4657 ns
    {"literal_0_5ns_above_tie", 0.5e-9, Timeout{0, 1}},
    {"literal_1_5ns_below_tie", 1.5e-9, Timeout{0, 1}},
    {"literal_2_5ns_above_tie", 2.5e-9, Timeout{0, 3}},
    {"rounds_up", 0.999e-9, Timeout{0, 1}},
    // k / 1024 s is exactly (k * 1953125 / 2) ns: true ties for odd k.
    {"tie_to_even_down", 1.0 / 1024, Timeout{0, 976562}},
    {"tie_to_even_up", 3.0 / 1024, Timeout{0, 2929688}},
    {"tie_to_even_down_again", 5.0 / 1024, Timeout{0, 4882812}},
    {"tie_with_seconds", 1.0 + 1.0 / 1024, Timeout{1, 976562}},
    {"point_three_exact", 0.3, Timeout{0, 300000000}},
    {"carry_into_second", 0.9999999999, Timeout{1, 0}},
    {"ten", 10.0, Timeout{10, 0}},
    {"two_point_seven", 2.7, Timeout{2, 700000000}},
    {"large_fraction", 123456.789, Timeout{123456, 789000000}},
    {"largest_below_2_64", 1.8446744073709550e19, Timeout{18446744073709549568ull, 0}},
    {"two_to_64", 18446744073709551615.0, std::string(kTooBig)},
    {"huge", 1e300, std::string(kTooBig)},
    {"inf", kInf, std::string(kTooBig)},
    {"nan", std::nan(""), std::string(kTooBig)},
    {"negative_nan", -std::nan(""), std::string(kTooBig)},
    {"minus_one", -1.0, std::string(kNegative)},
    {"tiny_negative", -1e-300, std::string(kNegative)},
    {"minus_inf", -kInf, std::string(kNegative)},
};

class TimeoutFromSecsTest : public testing::TestWithParam<Conversion> {};

TEST_P(TimeoutFromSecsTest, Converts) {
  EXPECT_EQ(timeout_from_secs(GetParam().secs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Timeout, TimeoutFromSecsTest, testing::ValuesIn(kConversions),
                         [](const auto& info) { return std::string(info.param.name); });

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

TEST(DeadlineAfter, AddsTimeoutWhenRepresentable) {
  const Clock::time_point now{nanoseconds(1'000)};
  EXPECT_EQ(deadline_after(now, Timeout{2, 5}), now + nanoseconds(2'000'000'005));
  EXPECT_EQ(deadline_after(now, Timeout{0, 0}), now);
}

TEST(DeadlineAfter, FallsBackToFarFutureOnOverflow) {
  const Clock::time_point now{nanoseconds(1'000)};
  EXPECT_EQ(deadline_after(now, Timeout{std::numeric_limits<std::uint64_t>::max(), 999999999}),
            now + FAR_FUTURE);
  // Just past the clock's range, by one nanosecond.
  const auto room = Clock::time_point::max() - now;
  const Timeout over{static_cast<std::uint64_t>(room.count() / 1'000'000'000),
                     static_cast<std::uint32_t>(room.count() % 1'000'000'000) + 1};
  EXPECT_EQ(deadline_after(now, over), now + FAR_FUTURE);
  const Timeout exact{over.secs, over.nanos - 1};
  EXPECT_EQ(deadline_after(now, exact), Clock::time_point::max());
}

TEST(DeadlineAfter, SaturatesWhenEvenFarFutureOverflows) {
  const Clock::time_point late = Clock::time_point::max() - nanoseconds(10);
  EXPECT_EQ(deadline_after(late, Timeout{1, 0}), Clock::time_point::max());
  EXPECT_EQ(deadline_after(late, Timeout{0, 10}), Clock::time_point::max());
}

TEST(DeadlineAfter, WorksFromTheRealClock) {
  const auto now = Clock::now();
  EXPECT_EQ(deadline_after(now, Timeout{10, 0}), now + std::chrono::seconds(10));
  EXPECT_EQ(deadline_after(now, Timeout{~std::uint64_t{0}, 0}), now + FAR_FUTURE);
}

}  // namespace
}  // namespace pen
