// Helpers shared by the libFuzzer harnesses: a failed property aborts with its text, so
// libFuzzer records the input as a crash; plus a strict UTF-8 check written independently of
// the codec's own decoder.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "codec/bytes.hpp"

namespace pen::fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "property violated at %s:%d: %s\n", file, line, what);
  std::abort();
}

#define PEN_REQUIRE(cond) ((cond) ? (void)0 : ::pen::fuzz::fail(#cond, __FILE__, __LINE__))

inline ByteView view(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const std::byte*>(data), size};
}

inline ByteView view(std::string_view s) { return as_bytes_view(s.data(), s.size()); }

// Decodes code points and checks their values (no overlongs, no surrogates, at most
// U+10FFFF), rather than the byte-range table the codec uses.
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      len = 1;
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      len = 2;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      len = 3;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      len = 4;
      cp = lead & 0x07;
    } else
      return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t MIN_FOR_LEN[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < MIN_FOR_LEN[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace pen::fuzz
