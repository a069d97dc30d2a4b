// check_origin: which Origin values the opening handshake admits.
#include "wire/origin.hpp"

#include <gtest/gtest.h>

namespace pen::wire {
namespace {

struct OriginCase {
  const char* name;
  std::optional<std::string_view> origin;
  bool admitted;
  std::string_view trimmed;
};

const OriginCase ORIGIN_CASES[] = {
    {"no_header", std::nullopt, true, ""},
    {"empty", "", true, ""},
    {"only_slashes", "///", true, ""},
    {"non_ascii_counts_as_absent", "http://\xc3\xa9vil.example", true, ""},
    {"control_byte_counts_as_absent", "http://evil.example\x01", true, ""},
    {"localhost_with_port", "http://localhost:5173", true, "http://localhost:5173"},
    {"loopback_port_and_slash", "http://127.0.0.1:8080/", true, "http://127.0.0.1:8080"},
    {"bare_https_localhost", "https://localhost", true, "https://localhost"},
    {"https_loopback_path", "https://127.0.0.1/app/index.html", true,
     "https://127.0.0.1/app/index.html"},
    {"port_then_path", "http://localhost:3000/x", true, "http://localhost:3000/x"},
    {"tab_is_printable", "http://localhost/\t", true, "http://localhost/\t"},
    {"web_app", "https://app.tradelab.studio", true, "https://app.tradelab.studio"},
    {"second_web_app_port", "https://backtest.tradelab.cloud:443", true,
     "https://backtest.tradelab.cloud:443"},
    {"attacker_after_localhost", "http://localhost.attacker.example", false,
     "http://localhost.attacker.example"},
    {"attacker_after_loopback", "http://127.0.0.1.attacker.example", false,
     "http://127.0.0.1.attacker.example"},
    {"attacker_after_web_app", "https://app.tradelab.studio.evil", false,
     "https://app.tradelab.studio.evil"},
    {"userinfo_trick", "http://localhost@evil.example", false, "http://localhost@evil.example"},
    {"colon_without_port", "http://localhost:", false, "http://localhost:"},
    {"port_then_letters", "http://localhost:80evil", false, "http://localhost:80evil"},
    {"capitals", "HTTP://LOCALHOST", false, "HTTP://LOCALHOST"},
    {"capital_host", "http://LocalHost:5173", false, "http://LocalHost:5173"},
    {"shorter_than_prefix", "http://127.0.0", false, "http://127.0.0"},
    {"null", "null", false, "null"},
    {"other_host_trailing_slashes", "https://evil.example//", false, "https://evil.example"},
    {"wrong_scheme", "ws://localhost", false, "ws://localhost"},
    {"leading_space", " http://localhost", false, " http://localhost"},
};

void PrintTo(const OriginCase& c, std::ostream* os) { *os << c.name; }

class CheckOrigin : public ::testing::TestWithParam<OriginCase> {};

TEST_P(CheckOrigin, AdmitsOnlyAllowedOrigins) {
  const OriginCase& c = GetParam();
  const OriginVerdict verdict = check_origin(c.origin);
  EXPECT_EQ(verdict.admitted, c.admitted);
  EXPECT_EQ(verdict.trimmed, c.trimmed);
}

INSTANTIATE_TEST_SUITE_P(Table, CheckOrigin, ::testing::ValuesIn(ORIGIN_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pen::wire
