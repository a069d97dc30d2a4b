// The RPC frame: header layout, request and pong building, and the ordered checks that a
// received Binary message passes while a call waits for its reply.
#include "codec/frame.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "codec/utf8.hpp"

namespace pen::codec {
namespace {

constexpr std::uint64_t MAX_PAYLOAD_LEN = std::numeric_limits<std::uint32_t>::max();

// Both outgoing kinds share one layout; flags and reserved are always written as zero.
RequestHead encode_head(FrameKind kind, std::uint32_t seq, std::uint16_t fn_id,
                        std::size_t payload_len) {
  RequestHead header = {};
  store_le(header.data(), PROTOCOL_VERSION);
  store_le(header.data() + 1, static_cast<std::uint8_t>(kind));
  store_le(header.data() + 4, seq);
  store_le(header.data() + 8, fn_id);
  store_le(header.data() + 12, static_cast<std::uint32_t>(payload_len));
  return header;
}

Bytes encode_frame(FrameKind kind, std::uint32_t seq, std::uint16_t fn_id, ByteView payload) {
  const RequestHead header = encode_head(kind, seq, fn_id, payload.size());
  // encode_request refuses larger payloads and a Ping's payload came through a u32 length, so
  // this never fires; stating the bound also spares GCC 12 a false -Wstringop-overflow below.
  if (payload.size() > MAX_PAYLOAD_LEN) std::abort();
  Bytes out;
  out.reserve(HEADER_LEN + payload.size());
  append_bytes(out, header.data(), HEADER_LEN);
  append_bytes(out, payload.data(), payload.size());
  return out;
}

FrameHeader read_header(const std::byte* p) {
  FrameHeader h;
  h.version = load_le<std::uint8_t>(p);
  h.kind = load_le<std::uint8_t>(p + 1);
  h.frame_flags = load_le<std::uint16_t>(p + 2);
  h.seq = load_le<std::uint32_t>(p + 4);
  h.fn_id = load_le<std::uint16_t>(p + 8);
  h.reserved = load_le<std::uint16_t>(p + 10);
  h.payload_len = load_le<std::uint32_t>(p + 12);
  return h;
}

std::string mismatch(const char* what, std::uint64_t expected, std::uint64_t got) {
  return std::string(what) + " mismatch: expected " + std::to_string(expected) + ", got " +
         std::to_string(got);
}

// Checks 1 and 2 on a message of `size` bytes whose first bytes are `head`.
Result<FrameHeader> checked_header(ByteView head, std::size_t size) {
  if (size < HEADER_LEN) {
    return EngineError::invalid_data("frame too short: " + std::to_string(size) + " < " +
                                     std::to_string(HEADER_LEN));
  }
  const FrameHeader header = read_header(head.data());
  const std::uint64_t expected = HEADER_LEN + std::uint64_t{header.payload_len};
  if (expected != size)
    return EngineError::invalid_data(mismatch("payload length", expected, size));
  return header;
}

}  // namespace

Result<RequestHead> encode_request_head(std::uint32_t seq, std::uint16_t fn_id,
                                        std::size_t payload_len) {
  if (payload_len > MAX_PAYLOAD_LEN) {
    return EngineError::invalid_data("request payload too long: " + std::to_string(payload_len) +
                                     " bytes do not fit the u32 payload_len");
  }
  return encode_head(FrameKind::Request, seq, fn_id, payload_len);
}

Result<Bytes> encode_request(std::uint32_t seq, std::uint16_t fn_id, ByteView payload) {
  if (auto head = encode_request_head(seq, fn_id, payload.size()); !head) {
    return std::move(head).error();
  }
  return encode_frame(FrameKind::Request, seq, fn_id, payload);
}

Result<Frame> parse_frame(ByteView message) {
  auto header = checked_header(message, message.size());
  if (!header) return std::move(header).error();
  const auto payload = message.subspan(HEADER_LEN);
  return Frame{header.value(), Bytes(payload.begin(), payload.end())};
}

Bytes encode_pong(const FrameHeader& ping, ByteView payload) {
  return encode_frame(FrameKind::Pong, ping.seq, ping.fn_id, payload);
}

ErrorBody parse_error_body(ByteView payload) {
  ErrorBody body;
  if (payload.size() < 8) return body;
  body.err = load_le<std::uint16_t>(payload.data());
  body.sub = load_le<std::uint16_t>(payload.data() + 2);
  const std::uint64_t len = load_le<std::uint32_t>(payload.data() + 4);
  if (8 + len <= payload.size()) body.message = utf8_lossy(payload.subspan(8, len));
  return body;
}

ReplyStep classify_reply(ByteView message, std::uint32_t seq, std::uint16_t fn_id) {
  const std::size_t head_len = std::min(message.size(), HEADER_LEN);
  const auto rest = message.subspan(head_len);
  return classify_reply(message.first(head_len), message.size(), Bytes(rest.begin(), rest.end()),
                        seq, fn_id);
}

ReplyStep classify_reply(ByteView head, std::size_t size, Bytes&& rest, std::uint32_t seq,
                         std::uint16_t fn_id) {
  auto checked = checked_header(head, size);
  if (!checked) return Settled{std::move(checked).error()};
  const FrameHeader& h = checked.value();

  auto transport = [&](std::string text) {
    return Settled{EngineError::transport(seq, fn_id, std::move(text))};
  };
  if (h.version != PROTOCOL_VERSION) {
    return transport("protocol version mismatch: got " + std::to_string(h.version) + ", expected " +
                     std::to_string(PROTOCOL_VERSION));
  }
  if (h.kind == static_cast<std::uint8_t>(FrameKind::Ping)) return AnswerPing{encode_pong(h, rest)};
  const bool response = h.kind == static_cast<std::uint8_t>(FrameKind::Response);
  const bool error_response = h.kind == static_cast<std::uint8_t>(FrameKind::ErrorResponse);
  if (!response && !error_response) return KeepWaiting{};
  if (h.seq != seq) return transport(mismatch("seq", seq, h.seq));
  if (h.fn_id != fn_id) return transport(mismatch("fnId", fn_id, h.fn_id));
  if (response) return Settled{std::move(rest)};

  ErrorBody body = parse_error_body(rest);
  return Settled{EngineError::rpc(seq, fn_id, body.err, body.sub, std::move(body.message))};
}

}  // namespace pen::codec
