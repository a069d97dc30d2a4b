// The exception text of each error kind.
#include <gtest/gtest.h>

#include "codec/engine_error.hpp"

namespace pen {
namespace {

struct TextCase {
  EngineError error;
  const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.text; }

class EngineErrorTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(EngineErrorTextTest, Renders) { EXPECT_EQ(GetParam().error.text(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    EngineError, EngineErrorTextTest,
    testing::Values(
        TextCase{EngineError::invalid_data("VecF64 payload too short"), "VecF64 payload too short"},
        TextCase{EngineError::rpc(3, 20, 5, 1, "bad price"),
                 "RpcError(seq=3, fnId=20, err=5, sub=1): bad price"},
        TextCase{EngineError::rpc(4294967295u, 65535, 65535, 0, ""),
                 "RpcError(seq=4294967295, fnId=65535, err=65535, sub=0): "},
        TextCase{EngineError::transport(7, 100, "timeout waiting response"),
                 "RpcTransportError(seq=Some(7), fnId=Some(100)): timeout waiting response"},
        TextCase{EngineError::transport(std::nullopt, 100, "no websocket connected"),
                 "RpcTransportError(seq=None, fnId=Some(100)): no websocket connected"},
        TextCase{EngineError::transport(std::nullopt, std::nullopt, "wait_connected timed out"),
                 "RpcTransportError(seq=None, fnId=None): wait_connected timed out"},
        TextCase{EngineError::transport(0, 0, "x"),
                 "RpcTransportError(seq=Some(0), fnId=Some(0)): x"}));

}  // namespace
}  // namespace pen
