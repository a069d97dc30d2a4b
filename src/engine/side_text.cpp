#include "engine/side_text.hpp"

#include <cstdint>

namespace pen::engine {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Length of the (valid) UTF-8 sequence starting with lead byte b.
std::size_t sequence_length(unsigned char b) {
  return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

char32_t decode_at(std::string_view s, std::size_t i, std::size_t n) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  switch (n) {
    case 1: return b(0);
    case 2: return (char32_t(b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return (char32_t(b(0) & 0x0F) << 12) | (char32_t(b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default:
      return (char32_t(b(0) & 0x07) << 18) | (char32_t(b(1) & 0x3F) << 12) |
             (char32_t(b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

}  // namespace

// The input comes from a Python str, so it is valid UTF-8.
std::string normalised_choice(std::string_view s) {
  std::size_t begin = 0, end = 0;
  bool seen = false;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = sequence_length(static_cast<unsigned char>(s[i]));
    if (i + n > s.size()) n = s.size() - i;
    if (!is_white_space(decode_at(s, i, n))) {
      if (!seen) begin = i;
      seen = true;
      end = i + n;
    }
    i += n;
  }
  std::string out(seen ? s.substr(begin, end - begin) : std::string_view{});
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace pen::engine
