// Byte buffers and little-endian field access shared by the codec and the frame format.
#pragma once

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace pen {

namespace buffer_pool {
// Storage for byte buffers: large blocks are kept for reuse (see buffer_pool.cpp), the rest
// come from operator new. `give` takes the size that `take` was asked for.
void* take(std::size_t bytes);
void give(void* block, std::size_t bytes) noexcept;
// The bytes of the blocks kept now.
std::size_t kept_bytes() noexcept;
// Gives every kept block back to the system (after a refused message: what it grew through).
void trim();
// The same when nothing was taken or given for a few seconds before `now`; true if it trimmed.
// A thread of the pool calls it when that time is up; `now` may be any later time.
bool trim_if_idle(std::chrono::steady_clock::time_point now);
}  // namespace buffer_pool

// The allocator of Bytes. Growing a buffer does not zero its new bytes (a reply buffer is
// sized from the frame header and then filled by the socket), and large buffers come from the
// pool, whose memory is already mapped: on a virtual machine every first touch of a fresh page
// is a fault, and an 800 KB reply in fresh memory costs more than the round trip itself.
template <class T>
struct BufferAllocator {
  using value_type = T;

  BufferAllocator() noexcept = default;
  template <class U>
  BufferAllocator(const BufferAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return static_cast<T*>(buffer_pool::take(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { buffer_pool::give(p, n * sizeof(T)); }

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialised: no zero fill
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const BufferAllocator<U>&) const noexcept {
    return true;
  }
};

using Bytes = std::vector<std::byte, BufferAllocator<std::byte>>;
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
