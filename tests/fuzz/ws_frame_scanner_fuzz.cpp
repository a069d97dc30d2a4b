// Fuzzes FrameReader, which reads the client's WebSocket frames from the raw byte stream after
// the handshake: frame headers, the per-frame size limit, unmasking, fragmented messages and
// control frames. Byte 0 picks the limit, byte 1 the chunking; the rest is the stream. Read
// chunk by chunk (a socket with little data at a time), the reader must produce exactly what
// it produces from the whole stream at once, and it may refuse a frame as too large only when
// a complete header announces more than the limit.
#include <vector>

#include "../cpp/wire/window_source.hpp"
#include "fuzz_support.hpp"
#include "wire/wire.hpp"

namespace {

using pen::test::WindowSource;
using pen::wire::FrameReader;
using pen::wire::Incoming;

constexpr std::uint64_t LIMITS[] = {0, 1, 125, 126, 127, 65535, 65536, pen::wire::MAX_FRAME_BYTES};

// RFC 6455 base framing: 7-bit length, or 126 + 16-bit, or 127 + 64-bit (network byte order),
// then a 4-byte masking key when the mask bit is set.
bool some_header_over(const std::uint8_t* p, std::size_t n, std::uint64_t limit) {
  std::size_t at = 0;
  while (n - at >= 2) {
    const unsigned len7 = p[at + 1] & 0x7F;
    const std::size_t ext = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
    const std::size_t header = 2 + ext + ((p[at + 1] & 0x80) ? 4 : 0);
    if (n - at < header) return false;  // the header is not complete yet
    std::uint64_t len = len7 < 126 ? len7 : 0;
    for (std::size_t i = 0; i < ext; ++i) len = len << 8 | p[at + 2 + i];
    if (len > limit) return true;
    at += header;
    if (len >= n - at) return false;  // the stream ends inside this payload
    at += static_cast<std::size_t>(len);
  }
  return false;
}

// What the reader made of the stream, one line per item.
std::vector<std::string> read_all(const std::vector<std::uint8_t>& stream, std::size_t chunk,
                                  std::uint64_t limit, bool& too_big) {
  FrameReader reader(limit);
  WindowSource source{stream};
  std::vector<std::string> items;
  too_big = false;
  while (source.window_end < stream.size()) {
    source.window_end = std::min(stream.size(), source.window_end + chunk);
    Incoming item;
    while (reader.read(WindowSource::read, &source, item) == FrameReader::Status::Item) {
      std::string line = std::to_string(static_cast<int>(item.type)) + ":";
      line.append(reinterpret_cast<const char*>(item.head.data()),
                  std::min(item.size, item.head.size()));
      line.append(reinterpret_cast<const char*>(item.body.data()), item.body.size());
      line += ":" + std::to_string(item.size) + ":" + std::to_string(item.close_code);
      items.push_back(line + ":" + item.error.message());
      if (item.type == Incoming::Type::Failed) {
        too_big = item.error == pen::wire::frame_too_big_error();
        return items;
      }
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

  bool whole_too_big = false, chunked_too_big = false;
  const auto whole = read_all(stream, stream.size() + 1, limit, whole_too_big);
  const auto chunked = read_all(stream, chunk, limit, chunked_too_big);
  PEN_REQUIRE(whole == chunked);
  if (whole_too_big) PEN_REQUIRE(some_header_over(stream.data(), stream.size(), limit));
  return 0;
}
