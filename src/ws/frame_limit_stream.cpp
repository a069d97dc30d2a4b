#include "ws/frame_limit_stream.hpp"

#include <algorithm>
#include <string>

namespace pen::ws {
namespace {

class FrameLimitCategory final : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "pen.ws.frame_limit"; }
  std::string message(int) const override { return "WebSocket frame larger than 16 MiB"; }
};

}  // namespace

boost::system::error_code frame_too_big_error() {
  static const FrameLimitCategory category;
  return {1, category};
}

bool FrameScanner::feed(const unsigned char* data, std::size_t n) {
  while (n > 0) {
    if (payload_left_ > 0) {
      const auto skip = static_cast<std::size_t>(std::min<std::uint64_t>(payload_left_, n));
      payload_left_ -= skip;
      data += skip;
      n -= skip;
      continue;
    }
    header_[have_++] = *data++;
    --n;
    if (have_ == 2) {
      const unsigned len7 = header_[1] & 0x7F;
      const bool masked = (header_[1] & 0x80) != 0;
      need_ = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (masked ? 4 : 0);
    }
    if (have_ < 2 || have_ < need_) continue;

    const unsigned len7 = header_[1] & 0x7F;
    std::uint64_t len = len7;
    if (len7 >= 126) {
      const std::size_t width = len7 == 126 ? 2 : 8;
      len = 0;
      for (std::size_t i = 0; i < width; ++i) len = (len << 8) | header_[2 + i];  // big-endian
    }
    if (len > max_payload_) return false;
    payload_left_ = len;
    have_ = 0;
    need_ = 2;
  }
  return true;
}

}  // namespace pen::ws
