// Fuzzes FrameScanner, which follows the client's WebSocket frame headers through the raw byte
// stream to enforce the per-frame size limit. Byte 0 picks the limit, byte 1 the chunking; the
// rest is the stream. The scanner, fed chunk by chunk, must agree with a whole-buffer walk over
// the same frames: refuse exactly when some complete header announces more than the limit.
#include <vector>

#include "fuzz_support.hpp"
#include "ws/frame_limit_stream.hpp"

namespace {

constexpr std::uint64_t LIMITS[] = {0, 1, 125, 126, 127, 65535, 65536, pen::ws::MAX_FRAME_BYTES};

// RFC 6455 base framing: 7-bit length, or 126 + 16-bit, or 127 + 64-bit (network byte order),
// then a 4-byte masking key when the mask bit is set.
bool reference_accepts(const std::uint8_t* p, std::size_t n, std::uint64_t limit) {
  std::size_t at = 0;
  while (n - at >= 2) {
    const unsigned len7 = p[at + 1] & 0x7F;
    const std::size_t ext = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
    const std::size_t header = 2 + ext + ((p[at + 1] & 0x80) ? 4 : 0);
    if (n - at < header) return true;  // the header is not complete yet
    std::uint64_t len = len7 < 126 ? len7 : 0;
    for (std::size_t i = 0; i < ext; ++i) len = len << 8 | p[at + 2 + i];
    if (len > limit) return false;
    at += header;
    if (len >= n - at) return true;  // the stream ends inside this payload
    at += static_cast<std::size_t>(len);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint64_t limit = LIMITS[data[0] % std::size(LIMITS)];
  const std::size_t chunk = data[1] == 0 ? size : data[1] % 17 + 1;
  const std::vector<std::uint8_t> stream(data + 2, data + size);  // ASan sees its exact end

  pen::ws::FrameScanner scanner(limit);
  bool accepted = true;
  for (std::size_t at = 0; accepted && at < stream.size(); at += chunk)
    accepted = scanner.feed(stream.data() + at, std::min(chunk, stream.size() - at));
  PEN_REQUIRE(accepted == reference_accepts(stream.data(), stream.size(), limit));
  return 0;
}
