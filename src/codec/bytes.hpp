// Byte buffers and little-endian field access shared by the codec and the frame format.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace pen {

using Bytes = std::vector<std::byte>;
using ByteView = std::span<const std::byte>;

// Every wire format here is little-endian; on a little-endian host a field is a plain memcpy.
static_assert(std::endian::native == std::endian::little, "big-endian hosts are not supported");

template <class T>
inline T load_le(const std::byte* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
inline void store_le(std::byte* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// Appends raw bytes without zero-filling first (a reserved vector grows in one pass).
inline void append_bytes(Bytes& out, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::byte*>(data);
  out.insert(out.end(), p, p + n);
}

template <class T>
inline void append_le(Bytes& out, T v) {
  append_bytes(out, &v, sizeof v);
}

inline ByteView as_bytes_view(const char* s, std::size_t n) noexcept {
  return {reinterpret_cast<const std::byte*>(s), n};
}

}  // namespace pen
