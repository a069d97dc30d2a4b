// The RPC frame: a 16-byte little-endian header and an opaque payload, one per Binary message.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>

#include "codec/bytes.hpp"
#include "codec/result.hpp"

namespace pen::codec {

inline constexpr std::uint8_t PROTOCOL_VERSION = 1;
inline constexpr std::size_t HEADER_LEN = 16;

// The function of a request, one per engine method that sends one. tests/python/standin.py
// (FN) and ui/PROTOCOL.md (section 5) hold the same table; a test checks that the three agree.
enum class FnId : std::uint16_t {
  StepNext = 2,
  GetTicketList = 10,
  GetSnapshot = 12,
  GetOhlc = 15,
  PlaceOrder = 20,
  PlaceTicket = 21,
  FetchEvents = 30,
  ClosePositions = 31,
  EndSession = 40,
  InitCandles = 100,
  ResetEpisode = 101,
  GetRlConfig = 102,
  GetSyncPolicy = 120,
  StepAndSync = 130,
};

enum class FrameKind : std::uint8_t {
  Request = 1,
  Response = 2,
  ErrorResponse = 3,
  Ping = 4,
  Pong = 5,
};

struct FrameHeader {
  std::uint8_t version = PROTOCOL_VERSION;
  std::uint8_t kind = 0;
  std::uint16_t frame_flags = 0;
  std::uint32_t seq = 0;
  std::uint16_t fn_id = 0;
  std::uint16_t reserved = 0;
  std::uint32_t payload_len = 0;
};

struct Frame {
  FrameHeader header;
  Bytes payload;  // its own copy, out of the received message
};

struct ErrorBody {
  std::uint16_t err = 0;
  std::uint16_t sub = 0;
  std::string message;  // UTF-8; invalid sequences replaced by U+FFFD
};

// A request frame of exactly 16 + payload.size() bytes. Payloads above 4 GiB - 1 are refused.
Result<Bytes> encode_request(std::uint32_t seq, std::uint16_t fn_id, ByteView payload);

// The 16-byte header of that frame alone, for sending the payload from where it lies.
using RequestHead = std::array<std::byte, HEADER_LEN>;
Result<RequestHead> encode_request_head(std::uint32_t seq, std::uint16_t fn_id,
                                        std::size_t payload_len);

// Checks 1 (length at least 16) and 2 (length == 16 + payload_len); copies the payload once.
Result<Frame> parse_frame(ByteView message);

// The answer to a Ping: kind 5, the Ping's seq, fnId and payload.
Bytes encode_pong(const FrameHeader& ping, ByteView payload);

// Never fails: short bodies give (0, 0, ""), an overlong length gives an empty message.
ErrorBody parse_error_body(ByteView payload);

// What one received Binary message means to a call waiting for request (seq, fn_id).
struct KeepWaiting {};  // an ignored kind
struct AnswerPing {     // send `pong` on the same connection, then keep waiting
  Bytes pong;
};
struct Settled {  // the call ends with this outcome
  Result<Bytes> outcome;
};
using ReplyStep = std::variant<KeepWaiting, AnswerPing, Settled>;

// The ordered checks: length, payload length, version, Ping, ignored kinds, seq, fnId,
// Response, ErrorResponse. Failures carry their final EngineError (InvalidData for the two
// length checks, RpcTransportError(seq, fn_id, ..) for version/seq/fnId, RpcError for an
// ErrorResponse).
ReplyStep classify_reply(ByteView message, std::uint32_t seq, std::uint16_t fn_id);

// The same checks on a message of `size` bytes held as its first bytes (`head`, up to 16) and
// the rest (`rest`), which becomes the Response's payload or the Ping's answer without a copy.
ReplyStep classify_reply(ByteView head, std::size_t size, Bytes&& rest, std::uint32_t seq,
                         std::uint16_t fn_id);

}  // namespace pen::codec
