#include "codec/utf8.hpp"

namespace pen::codec {

Utf8Step utf8_step(ByteView s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return std::to_integer<unsigned>(s[k]); };
  const unsigned lead = byte(i);
  if (lead < 0x80) return {1, lead, true};
  const Utf8Step invalid = {1, U'\uFFFD', false};
  std::size_t need = 0;
  unsigned lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    code_point = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates D800-DFFF
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    code_point = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return invalid;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {k, invalid.code_point, false};
    const unsigned b = byte(i + k);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return {k, invalid.code_point, false};
    code_point = (code_point << 6) | (b & 0x3F);
  }
  return {need + 1, code_point, true};
}

std::string utf8_lossy(ByteView bytes) {
  static constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  std::size_t run_start = 0;  // valid bytes are copied in runs, not one by one
  while (i < bytes.size()) {
    const Utf8Step step = utf8_step(bytes, i);
    if (!step.valid) {
      out.append(reinterpret_cast<const char*>(bytes.data()) + run_start, i - run_start);
      out.append(REPLACEMENT, 3);
      run_start = i + step.length;
    }
    i += step.length;
  }
  out.append(reinterpret_cast<const char*>(bytes.data()) + run_start, i - run_start);
  return out;
}

}  // namespace pen::codec
