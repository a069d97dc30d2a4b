// UTF-8, walked one sequence at a time: the codec decodes error messages with it (lossy), the
// engine trims the white space of a str argument with it.
#pragma once

#include <cstddef>
#include <string>

#include "codec/bytes.hpp"

namespace pen::codec {

struct Utf8Step {
  std::size_t length = 0;   // bytes of the sequence, or of the maximal invalid prefix (>= 1)
  char32_t code_point = 0;  // U+FFFD where no valid sequence starts
  bool valid = false;
};

// The sequence that starts at s[i], i < s.size(). Overlong forms, surrogates and values above
// U+10FFFF are invalid.
Utf8Step utf8_step(ByteView s, std::size_t i);

// Replaces invalid UTF-8 sequences with U+FFFD, as a lossy decoder does.
std::string utf8_lossy(ByteView bytes);

}  // namespace pen::codec
