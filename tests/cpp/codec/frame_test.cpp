// The RPC frame: outgoing layouts, the error body, lossy UTF-8, and the ordered reply checks.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "byte_helpers.hpp"
#include "codec/frame.hpp"
#include "codec/utf8.hpp"

namespace pen::codec {
namespace {

using test::error_message;
using test::frame;
using test::hex;
using test::Le;

TEST(EncodeRequest, EmptyPayloadIsBareHeader) {
  EXPECT_EQ(encode_request(0x01020304, 0xABCD, {}).value(),
            hex("01 01 00 00 04 03 02 01 CD AB 00 00 00 00 00 00"));
}

TEST(EncodeRequest, HeaderFieldsThenPayload) {
  EXPECT_EQ(encode_request(7, 100, hex("AA BB CC")).value(),
            hex("01 01 00 00 07 00 00 00 64 00 00 00 03 00 00 00 AA BB CC"));
}

TEST(EncodeRequest, RefusesPayloadBeyondU32WithoutReadingIt) {
  const std::byte tiny[1] = {};
  const ByteView huge(tiny, std::size_t{1} << 32);
  EXPECT_EQ(error_message(encode_request(1, 2, huge)),
            "request payload too long: 4294967296 bytes do not fit the u32 payload_len");
}

TEST(EncodePong, EchoesSeqFnIdAndPayload) {
  FrameHeader ping;
  ping.kind = 4;
  ping.frame_flags = 0xFFFF;  // not echoed
  ping.seq = 9;
  ping.fn_id = 3;
  ping.reserved = 0x1234;  // not echoed
  ping.payload_len = 2;
  EXPECT_EQ(encode_pong(ping, hex("AB CD")),
            hex("01 05 00 00 09 00 00 00 03 00 00 00 02 00 00 00 AB CD"));
}

TEST(ParseFrame, ReadsEveryHeaderFieldAndCopiesPayload) {
  const Bytes msg = hex("01 02 34 12 05 00 00 00 14 00 78 56 02 00 00 00 EE FF");
  auto f = parse_frame(msg);
  ASSERT_TRUE(f.ok());
  const FrameHeader& h = f.value().header;
  EXPECT_EQ(std::tuple(h.version, h.kind, h.frame_flags, h.seq, h.fn_id, h.reserved, h.payload_len),
            std::tuple(1, 2, 0x1234, 5u, 20, 0x5678, 2u));
  EXPECT_EQ(f.value().payload, hex("EE FF"));
  EXPECT_NE(f.value().payload.data(), msg.data() + 16);
}

// ---- error body --------------------------------------------------------------------------

struct ErrorBodyCase {
  const char* name;
  Bytes payload;
  std::uint16_t err, sub;
  std::string message;
};

void PrintTo(const ErrorBodyCase& c, std::ostream* os) { *os << c.name; }

const std::vector<ErrorBodyCase> kErrorBodies = {
    {"empty", {}, 0, 0, ""},
    {"five_bytes", hex("05 00 01 00 00"), 0, 0, ""},
    {"seven_bytes", hex("05 00 01 00 00 00 00"), 0, 0, ""},
    {"plain", Le().u16(5).u16(1).u32(9).text("bad price"), 5, 1, "bad price"},
    {"bytes_after_message_ignored", Le().u16(2).u16(3).u32(2).text("okXYZ"), 2, 3, "ok"},
    {"length_past_end", Le().u16(7).u16(8).u32(100).raw(Bytes(20, std::byte{'a'})), 7, 8, ""},
    {"length_max", Le().u16(1).u16(2).u32(0xFFFFFFFF).text("abc"), 1, 2, ""},
    {"empty_message", Le().u16(0xFFFF).u16(0xFFFE).u32(0), 0xFFFF, 0xFFFE, ""},
    {"invalid_utf8", Le().u16(1).u16(0).u32(5).raw(hex("61 FF 62 C3 28")), 1, 0, "a\uFFFDb\uFFFD("},
};

class ErrorBodyTest : public testing::TestWithParam<ErrorBodyCase> {};

TEST_P(ErrorBodyTest, Parses) {
  const ErrorBody body = parse_error_body(GetParam().payload);
  EXPECT_EQ(body.err, GetParam().err);
  EXPECT_EQ(body.sub, GetParam().sub);
  EXPECT_EQ(body.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Frame, ErrorBodyTest, testing::ValuesIn(kErrorBodies),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- lossy UTF-8: one U+FFFD per maximal invalid subsequence -------------------------------

struct Utf8Case {
  const char* name;
  Bytes input;
  std::string output;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

const std::vector<Utf8Case> kUtf8 = {
    {"ascii", hex("68 69"), "hi"},
    {"valid_multibyte", hex("C3 A9 E2 82 AC F0 9F 98 80"), "\u00E9\u20AC\U0001F600"},
    {"boundaries", hex("C2 80 EF BF BF F4 8F BF BF"), "\u0080\uFFFF\U0010FFFF"},
    {"lone_continuation", hex("80 41"), "\uFFFDA"},
    {"overlong_two_byte", hex("C0 AF"), "\uFFFD\uFFFD"},
    {"overlong_three_byte", hex("E0 80 AF"), "\uFFFD\uFFFD\uFFFD"},
    {"overlong_four_byte", hex("F0 80 80 AF"), "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"surrogate", hex("ED A0 80"), "\uFFFD\uFFFD\uFFFD"},
    {"above_max", hex("F4 90 80 80"), "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"f5_lead", hex("F5 80"), "\uFFFD\uFFFD"},
    {"truncated_three_at_end", hex("41 E2 82"), "A\uFFFD"},
    {"truncated_four_at_end", hex("F0 9F 98"), "\uFFFD"},
    {"truncated_then_ascii", hex("E2 82 41"), "\uFFFDA"},
    {"lead_then_lead", hex("C3 C3 A9"), "\uFFFD\u00E9"},
    {"ff", hex("FF FE"), "\uFFFD\uFFFD"},
};

class Utf8LossyTest : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8LossyTest, Replaces) { EXPECT_EQ(utf8_lossy(GetParam().input), GetParam().output); }

INSTANTIATE_TEST_SUITE_P(Frame, Utf8LossyTest, testing::ValuesIn(kUtf8),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- classify_reply: the ordered checks, for a call waiting on seq 7, fnId 20 ------------------

constexpr std::uint32_t S = 7;
constexpr std::uint16_t F = 20;

struct ReplyCase {
  const char* name;
  Bytes message;
  // Expected: "wait", "pong:<hex>", "ok:<hex>", or the error's text().
  std::string outcome;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

std::string to_hex(const Bytes& b) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string s;
  for (std::byte x : b) {
    s += digits[std::to_integer<int>(x) >> 4];
    s += digits[std::to_integer<int>(x) & 15];
  }
  return s;
}

std::string describe(const ReplyStep& step) {
  if (std::holds_alternative<KeepWaiting>(step)) return "wait";
  if (auto* p = std::get_if<AnswerPing>(&step)) return "pong:" + to_hex(p->pong);
  const auto& outcome = std::get<Settled>(step).outcome;
  return outcome.ok() ? "ok:" + to_hex(outcome.value()) : outcome.error().text();
}

Bytes with_payload_len(Bytes header16, std::uint32_t len, std::size_t actual_payload) {
  store_le(header16.data() + 12, len);
  header16.resize(16 + actual_payload);
  return header16;
}

const Bytes kErrBody = Le().u16(5).u16(1).u32(9).text("bad price");

const std::vector<ReplyCase> kReplies = {
    {"empty", {}, "frame too short: 0 < 16"},
    {"fifteen_bytes", Bytes(15), "frame too short: 15 < 16"},
    {"payload_len_too_big", with_payload_len(frame(1, 2, S, F), 8, 4),
     "payload length mismatch: expected 24, got 20"},
    {"payload_len_too_small", with_payload_len(frame(1, 2, S, F), 0, 1),
     "payload length mismatch: expected 16, got 17"},
    {"payload_len_max", with_payload_len(frame(1, 2, S, F), 0xFFFFFFFF, 0),
     "payload length mismatch: expected 4294967311, got 16"},
    // A length error wins over a bad version.
    {"length_before_version", with_payload_len(frame(2, 2, S, F), 1, 0),
     "payload length mismatch: expected 17, got 16"},
    {"version_2_response", frame(2, 2, S, F),
     "RpcTransportError(seq=Some(7), fnId=Some(20)): protocol version mismatch: got 2, expected 1"},
    {"version_2_ignored_kind", frame(2, 6, 99, 99),
     "RpcTransportError(seq=Some(7), fnId=Some(20)): protocol version mismatch: got 2, expected 1"},
    {"version_0_ping", frame(0, 4, S, F),
     "RpcTransportError(seq=Some(7), fnId=Some(20)): protocol version mismatch: got 0, expected 1"},
    {"ping_other_numbers", frame(1, 4, 9, 3, hex("AB CD")),
     "pong:01050000090000000300000002000000ABCD"},
    {"kind_0", frame(1, 0, S, F), "wait"},
    {"kind_1_request_echo", frame(1, 1, S, F), "wait"},
    {"kind_5_pong", frame(1, 5, 1, 1), "wait"},
    {"kind_6", frame(1, 6, S, F), "wait"},
    {"kind_255_wrong_seq", frame(1, 255, 3, 3), "wait"},
    {"seq_mismatch", frame(1, 2, 6, F),
     "RpcTransportError(seq=Some(7), fnId=Some(20)): seq mismatch: expected 7, got 6"},
    {"seq_before_fnid", frame(1, 3, 8, 21, kErrBody),
     "RpcTransportError(seq=Some(7), fnId=Some(20)): seq mismatch: expected 7, got 8"},
    {"fnid_mismatch", frame(1, 2, S, 21),
     "RpcTransportError(seq=Some(7), fnId=Some(20)): fnId mismatch: expected 20, got 21"},
    {"response", frame(1, 2, S, F, hex("01 02 03")), "ok:010203"},
    {"response_empty", frame(1, 2, S, F), "ok:"},
    {"response_ignores_flags_and_reserved",
     hex("01 02 FF FF 07 00 00 00 14 00 EE EE 01 00 00 00 5A"), "ok:5A"},
    {"error_response", frame(1, 3, S, F, kErrBody),
     "RpcError(seq=7, fnId=20, err=5, sub=1): bad price"},
    {"error_response_short_body", frame(1, 3, S, F, hex("05 00 01 00 00")),
     "RpcError(seq=7, fnId=20, err=0, sub=0): "},
};

class ClassifyReplyTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ClassifyReplyTest, Decides) {
  EXPECT_EQ(describe(classify_reply(GetParam().message, S, F)), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Frame, ClassifyReplyTest, testing::ValuesIn(kReplies),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ClassifyReply, ErrorKindsAndNumbers) {
  const auto settled = [](const Bytes& m) { return std::get<Settled>(classify_reply(m, S, F)); };

  const EngineError short_frame = settled(Bytes(10)).outcome.error();
  EXPECT_EQ(short_frame, EngineError::invalid_data("frame too short: 10 < 16"));

  const EngineError mismatch = settled(frame(1, 2, 6, F)).outcome.error();
  EXPECT_EQ(mismatch, EngineError::transport(S, F, "seq mismatch: expected 7, got 6"));

  const EngineError rpc = settled(frame(1, 3, S, F, kErrBody)).outcome.error();
  EXPECT_EQ(rpc, EngineError::rpc(S, F, 5, 1, "bad price"));
}

}  // namespace
}  // namespace pen::codec
