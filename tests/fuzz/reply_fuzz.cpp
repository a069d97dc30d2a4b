// Fuzzes what a waiting call does with one received Binary message (classify_reply), and the
// error body and lossy UTF-8 decoding beneath it. Input: byte 0 picks how the waiting
// (seq, fnId) relate to the frame's own, bytes 1..8 supply other numbers, the rest is the
// message. Each outcome is checked against the order of checks a reply goes through.
#include <cstring>
#include <string>
#include <variant>

#include "codec/frame.hpp"
#include "codec/utf8.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace pen;
using pen::codec::AnswerPing;
using pen::codec::KeepWaiting;
using pen::codec::Settled;

void check_error_body(ByteView payload) {
  const codec::ErrorBody body = codec::parse_error_body(payload);
  PEN_REQUIRE(fuzz::valid_utf8(body.message));
  if (payload.size() < 8) {
    PEN_REQUIRE(body.err == 0 && body.sub == 0 && body.message.empty());
    return;
  }
  PEN_REQUIRE(body.err == load_le<std::uint16_t>(payload.data()));
  PEN_REQUIRE(body.sub == load_le<std::uint16_t>(payload.data() + 2));
  const std::uint64_t len = load_le<std::uint32_t>(payload.data() + 4);
  if (8 + len > payload.size()) {
    PEN_REQUIRE(body.message.empty());
    return;
  }
  const std::string_view text(reinterpret_cast<const char*>(payload.data() + 8), len);
  if (fuzz::valid_utf8(text)) PEN_REQUIRE(body.message == text);
}

void check_lossy(ByteView bytes) {
  const std::string out = codec::utf8_lossy(bytes);
  PEN_REQUIRE(fuzz::valid_utf8(out));
  PEN_REQUIRE(out.size() <= 3 * bytes.size());  // at worst one U+FFFD per byte
  const std::string_view in(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (fuzz::valid_utf8(in))
    PEN_REQUIRE(out == in);
  else
    PEN_REQUIRE(out.find("\xEF\xBF\xBD") != std::string::npos);
}

void check_reply(ByteView msg, std::uint32_t seq, std::uint16_t fn_id) {
  const codec::ReplyStep step = codec::classify_reply(msg, seq, fn_id);

  if (msg.size() < codec::HEADER_LEN ||
      codec::HEADER_LEN + std::uint64_t{load_le<std::uint32_t>(msg.data() + 12)} != msg.size()) {
    const auto* settled = std::get_if<Settled>(&step);
    PEN_REQUIRE(settled && !settled->outcome.ok());
    const EngineError& e = settled->outcome.error();
    PEN_REQUIRE(e.kind == ErrorKind::InvalidData && !e.seq && !e.fn_id);
    const bool short_frame = msg.size() < codec::HEADER_LEN;
    PEN_REQUIRE(
        e.message.starts_with(short_frame ? "frame too short: " : "payload length mismatch: "));
    return;
  }
  const auto version = std::to_integer<std::uint8_t>(msg[0]);
  const auto kind = std::to_integer<std::uint8_t>(msg[1]);
  const auto frame_seq = load_le<std::uint32_t>(msg.data() + 4);
  const auto frame_fn = load_le<std::uint16_t>(msg.data() + 8);
  const ByteView payload = msg.subspan(codec::HEADER_LEN);

  auto transport_error = [&](const char* prefix) {
    const auto* settled = std::get_if<Settled>(&step);
    PEN_REQUIRE(settled && !settled->outcome.ok());
    const EngineError& e = settled->outcome.error();
    PEN_REQUIRE(e.kind == ErrorKind::RpcTransportError && e.seq == seq && e.fn_id == fn_id);
    PEN_REQUIRE(e.message.starts_with(prefix));
  };
  if (version != codec::PROTOCOL_VERSION) return transport_error("protocol version mismatch: ");
  if (kind == 4) {
    const auto* ping = std::get_if<AnswerPing>(&step);
    PEN_REQUIRE(ping && ping->pong.size() == msg.size());
    Bytes expected(msg.begin(), msg.end());  // same seq, fnId, length and payload
    expected[1] = std::byte{5};
    expected[2] = expected[3] = expected[10] = expected[11] = std::byte{0};
    PEN_REQUIRE(ping->pong == expected);
    return;
  }
  if (kind != 2 && kind != 3) {
    PEN_REQUIRE(std::holds_alternative<KeepWaiting>(step));
    return;
  }
  if (frame_seq != seq) return transport_error("seq mismatch: ");
  if (frame_fn != fn_id) return transport_error("fnId mismatch: ");
  const auto* settled = std::get_if<Settled>(&step);
  PEN_REQUIRE(settled != nullptr);
  if (kind == 2) {
    PEN_REQUIRE(settled->outcome.ok());
    const Bytes& got = settled->outcome.value();
    PEN_REQUIRE(got.size() == payload.size() &&
                (got.empty() || std::memcmp(got.data(), payload.data(), got.size()) == 0));
    return;
  }
  PEN_REQUIRE(!settled->outcome.ok());
  const EngineError& e = settled->outcome.error();
  const codec::ErrorBody body = codec::parse_error_body(payload);
  PEN_REQUIRE(e.kind == ErrorKind::RpcError && e.seq == seq && e.fn_id == fn_id);
  PEN_REQUIRE(e.err == body.err && e.sub == body.sub && e.message == body.message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  const std::uint8_t mode = data[0];
  const auto other_seq = load_le<std::uint32_t>(reinterpret_cast<const std::byte*>(data + 1));
  const auto other_fn = load_le<std::uint16_t>(reinterpret_cast<const std::byte*>(data + 5));
  const ByteView msg = fuzz::view(data + 9, size - 9);

  // Mostly wait for the frame's own numbers, so the later checks are reached too.
  std::uint32_t seq = other_seq;
  std::uint16_t fn_id = other_fn;
  if (msg.size() >= codec::HEADER_LEN) {
    if ((mode & 0x3) != 0) seq = load_le<std::uint32_t>(msg.data() + 4);
    if ((mode & 0xC) != 0) fn_id = load_le<std::uint16_t>(msg.data() + 8);
  }
  check_reply(msg, seq, fn_id);
  check_error_body(msg);
  if (msg.size() > codec::HEADER_LEN) check_error_body(msg.subspan(codec::HEADER_LEN));
  check_lossy(msg);
  return 0;
}
