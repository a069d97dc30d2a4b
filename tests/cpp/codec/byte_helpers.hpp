// Builders for expected byte strings and readers for results, shared by the codec tests.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/bytes.hpp"
#include "codec/result.hpp"

namespace pen::test {

// "01 00 ff" -> bytes; spaces are optional separators.
inline Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char ch : text) {
    if (ch == ' ') continue;
    const int v = ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::byte>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

// Little-endian byte string assembled field by field.
class Le {
 public:
  Le& u8(std::uint8_t v) { return put(v); }
  Le& u16(std::uint16_t v) { return put(v); }
  Le& u32(std::uint32_t v) { return put(v); }
  Le& i32(std::int32_t v) { return put(v); }
  Le& f64(double v) { return put(v); }
  Le& raw(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Le& text(std::string_view s) {
    append_bytes(bytes_, s.data(), s.size());
    return *this;
  }
  operator Bytes() const { return bytes_; }
  const Bytes& bytes() const { return bytes_; }

 private:
  template <class T>
  Le& put(T v) {
    append_le(bytes_, v);
    return *this;
  }
  Bytes bytes_;
};

// A frame header followed by `payload`, with payload_len set to the payload's size.
inline Bytes frame(std::uint8_t version, std::uint8_t kind, std::uint32_t seq, std::uint16_t fn_id,
                   const Bytes& payload = {}) {
  return Le()
      .u8(version)
      .u8(kind)
      .u16(0)
      .u32(seq)
      .u16(fn_id)
      .u16(0)
      .u32(static_cast<std::uint32_t>(payload.size()))
      .raw(payload);
}

template <class T>
std::string error_message(const Result<T>& r) {
  return r.ok() ? "<ok>" : r.error().message;
}

inline std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

}  // namespace pen::test
