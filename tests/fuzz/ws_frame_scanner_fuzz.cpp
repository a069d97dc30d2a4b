// Fuzzes FrameReader, which reads the client's WebSocket frames from the raw byte stream after
// the handshake: frame headers, the frame and message size limits, unmasking, fragmented
// messages and control frames. Byte 0 picks the frame limit, byte 1 the chunking; the rest is
// the stream. The oracle is a small model of RFC 6455 base framing written apart from the
// reader: the reader must produce the messages the model produces, and refuse the first frame
// header that breaks a rule with that rule's error, at once. Read chunk by chunk (a socket with
// little data at a time), the reader must produce exactly what it produces from the whole
// stream.
#include <boost/beast/websocket/error.hpp>
#include <string>
#include <vector>

#include "../cpp/wire/window_source.hpp"
#include "fuzz_support.hpp"
#include "wire/wire.hpp"

namespace {

using boost::system::error_code;
using pen::test::WindowSource;
using pen::wire::FrameReader;
using pen::wire::Incoming;
namespace ws_error = boost::beast::websocket;

constexpr std::uint64_t LIMITS[] = {0, 1, 125, 126, 127, 65535, 65536, pen::wire::MAX_FRAME_BYTES};
constexpr std::uint64_t MESSAGE_LIMIT = std::uint64_t{64} << 20;

struct Item {
  explicit Item(Incoming::Type t, std::string b = {}, std::uint64_t n = 0)
      : type(t), bytes(std::move(b)), size(n) {}
  Incoming::Type type;
  std::string bytes;       // Binary: the message; Ping: its data
  std::uint64_t size = 0;  // Text: the message's length
  error_code error;        // Failed
  bool operator==(const Item&) const = default;
};

// What the model expects: these items, then (with `refusal`) a Failed item with that error.
// From `open` on (a Close frame, or a text message in fragments, cut off or not valid UTF-8),
// the model expects nothing more precise: close payloads are the WebSocket library's to judge.
struct Expected {
  std::vector<Item> items;
  error_code refusal;
  bool open = false;
  bool bad_text = false;  // the open part holds a complete text message that is not UTF-8
};

// Network byte order, 7-bit length or 126 + 16 bits or 127 + 64 bits, then a 4-byte masking
// key when the mask bit is set; client frames must be masked; lengths in the shortest form;
// control frames unfragmented and at most 125 bytes; continuation only inside a message, a new
// message only outside one; reserved bits and opcodes refused.
Expected model(const std::uint8_t* p, std::size_t n, std::uint64_t limit) {
  Expected e;
  std::size_t at = 0;
  bool in_message = false, binary = false;
  std::string message;
  while (n - at >= 2) {
    const bool fin = p[at] & 0x80, rsv = p[at] & 0x70, masked = p[at + 1] & 0x80;
    const unsigned op = p[at] & 0x0F, len7 = p[at + 1] & 0x7F;
    const std::size_t ext = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
    const std::size_t header = 2 + ext + (masked ? 4 : 0);
    if (n - at < header) break;
    std::uint64_t len = ext == 0 ? len7 : 0;
    for (std::size_t i = 0; i < ext; ++i) len = len << 8 | p[at + 2 + i];
    const bool control = op >= 8, data = op <= 2;
    const auto refuse = [&](error_code ec) {
      e.refusal = ec;
      return e;
    };
    if (len > limit) return refuse(pen::wire::frame_too_big_error());
    if (!data && !(control && op <= 10)) return refuse(ws_error::error::bad_opcode);
    if (op == 0 && !in_message) return refuse(ws_error::error::bad_continuation);
    if ((op == 1 || op == 2) && in_message) return refuse(ws_error::error::bad_data_frame);
    if (control && !fin) return refuse(ws_error::error::bad_control_fragment);
    if (control && len7 > 125) return refuse(ws_error::error::bad_control_size);
    if (rsv) return refuse(ws_error::error::bad_reserved_bits);
    if (!masked) return refuse(ws_error::error::bad_unmasked_frame);
    if ((len7 == 126 && len < 126) || (len7 == 127 && len < 65536))
      return refuse(ws_error::error::bad_size);
    const std::uint64_t before = op == 0 ? message.size() : 0;
    if (data && before + len > MESSAGE_LIMIT) return refuse(ws_error::error::message_too_big);
    // A text message in fragments, or cut off, may be refused as soon as its bytes so far
    // cannot start valid UTF-8.
    if (op == 1 && (!fin || len > n - at - header)) {
      e.open = true;
      return e;
    }
    if (len > n - at - header) break;  // the payload is cut off
    const std::uint8_t* key = p + at + header - 4;
    std::string payload(reinterpret_cast<const char*>(p + at + header), len);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= static_cast<char>(key[i % 4]);
    at += header + len;
    if (op == 8) {
      e.open = true;
      return e;
    }
    if (op == 9) e.items.emplace_back(Incoming::Type::Ping, payload);
    if (!data) continue;
    if (op != 0) {
      in_message = true;
      binary = op == 2;
      message.clear();
    }
    message += payload;
    if (!fin) continue;
    in_message = false;
    if (!binary && !pen::fuzz::valid_utf8(message)) {
      e.open = e.bad_text = true;
      return e;
    }
    if (binary)
      e.items.emplace_back(Incoming::Type::Binary, message);
    else
      e.items.emplace_back(Incoming::Type::Text, std::string(), message.size());
  }
  return e;
}

// What the reader made of the stream, read `chunk` bytes at a time.
std::vector<Item> read_all(const std::vector<std::uint8_t>& stream, std::size_t chunk,
                           std::uint64_t limit) {
  FrameReader reader(limit);
  WindowSource source{stream};
  std::vector<Item> items;
  while (source.window_end < stream.size()) {
    source.window_end = std::min(stream.size(), source.window_end + chunk);
    Incoming in;
    while (reader.read(WindowSource::read, &source, in) == FrameReader::Status::Item) {
      Item item(in.type);
      if (in.type == Incoming::Type::Binary)
        item.bytes.assign(reinterpret_cast<const char*>(in.head.data()),
                          std::min(in.size, in.head.size()));
      if (in.type == Incoming::Type::Text) item.size = in.size;
      item.bytes.append(reinterpret_cast<const char*>(in.body.data()), in.body.size());
      item.error = in.error;
      items.push_back(std::move(item));
      if (in.type == Incoming::Type::Failed) return items;
    }
  }
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint64_t limit = LIMITS[data[0] % std::size(LIMITS)];
  const std::size_t chunk = data[1] == 0 ? size : data[1] % 17 + 1;
  const std::vector<std::uint8_t> stream(data + 2, data + size);  // ASan sees its exact end

  const auto whole = read_all(stream, stream.size() + 1, limit);
  PEN_REQUIRE(whole == read_all(stream, chunk, limit));

  const Expected e = model(stream.data(), stream.size(), limit);
  const std::size_t known = e.items.size();
  PEN_REQUIRE(whole.size() >= known);
  PEN_REQUIRE(std::equal(e.items.begin(), e.items.end(), whole.begin()));
  if (e.open) {
    if (e.bad_text) {
      PEN_REQUIRE(whole.size() > known);
      PEN_REQUIRE(whole.back().type == Incoming::Type::Failed);
      PEN_REQUIRE(whole.back().error == ws_error::error::bad_frame_payload);
    }
    return 0;
  }
  PEN_REQUIRE(whole.size() == known + (e.refusal ? 1 : 0));
  if (e.refusal) PEN_REQUIRE(whole.back().error == e.refusal);
  return 0;
}
