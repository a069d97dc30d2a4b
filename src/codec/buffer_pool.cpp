// Large byte buffers kept for reuse.
//
// A block of at least POOLED_FROM bytes is rounded up to a power of two and, when freed, kept
// in its size class for the next buffer of that class (a reply of the same shape usually
// follows), within a cap on the bytes kept. Its pages stay mapped, so the socket writes into
// memory that faults no more; glibc would otherwise return such a block to the system on free
// (or trim its heap) and fault it in again on the next reply.
#include <array>
#include <bit>
#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

#include "codec/bytes.hpp"

namespace pen::buffer_pool {
namespace {

constexpr std::size_t POOLED_FROM = std::size_t{64} << 10;   // 64 KiB
constexpr std::size_t LARGEST_KEPT = std::size_t{64} << 20;  // a block of 64 MiB
constexpr std::size_t KEPT_BYTES = std::size_t{128} << 20;   // at most this much kept in all
constexpr std::size_t KEPT_PER_CLASS = 4;
constexpr int FIRST_CLASS = std::countr_zero(POOLED_FROM);
constexpr int CLASSES = std::countr_zero(LARGEST_KEPT) - FIRST_CLASS + 1;

struct Pool {
  Pool() {
    for (auto& list : free) list.reserve(KEPT_PER_CLASS);  // giving back never allocates
  }
  std::mutex mutex;
  std::array<std::vector<void*>, CLASSES> free;
  std::size_t kept = 0;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: buffers may be freed during static teardown
  return *p;
}

}  // namespace

void* take(std::size_t bytes) {
  if (bytes < POOLED_FROM) return ::operator new(bytes);
  const std::size_t size = std::bit_ceil(bytes);
  const int cls = std::countr_zero(size) - FIRST_CLASS;
  if (size <= LARGEST_KEPT) {
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    auto& list = p.free[static_cast<std::size_t>(cls)];
    if (!list.empty()) {
      void* block = list.back();
      list.pop_back();
      p.kept -= size;
      return block;
    }
  }
  return ::operator new(size);
}

void give(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < POOLED_FROM) {
    ::operator delete(block);
    return;
  }
  const std::size_t size = std::bit_ceil(bytes);
  if (size <= LARGEST_KEPT) {
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    auto& list = p.free[static_cast<std::size_t>(std::countr_zero(size) - FIRST_CLASS)];
    if (list.size() < KEPT_PER_CLASS && p.kept + size <= KEPT_BYTES) {
      list.push_back(block);
      p.kept += size;
      return;
    }
  }
  ::operator delete(block);
}

}  // namespace pen::buffer_pool
