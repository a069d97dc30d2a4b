// Large byte buffers kept for reuse.
//
// A block of at least POOLED_FROM bytes is rounded up to a power of two and, when freed, kept
// in its size class for the next buffer of that class (a reply of the same shape usually
// follows), within a cap on the bytes kept. Its pages stay mapped, so the socket writes into
// memory that faults no more; a block given back to the system is faulted in again, page by
// page, by the next reply.
//
// What is kept is given back to the system when the pool has not been used for IDLE_TRIM (a
// thread started with the first kept block waits for that), and at once when a peer's message
// is refused (trim()): a refused message must not leave the process holding the blocks it grew
// through.
//
// Blocks come straight from the system (mmap), so that giving one back returns its pages at
// once: freed through the C library, a block may stay for good at the top of a worker thread's
// heap (glibc trims those only above a threshold that grows with the largest block freed).
// Under AddressSanitizer they come from operator new, which it checks for overruns.
#include <array>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <sys/mman.h>

#include "codec/bytes.hpp"

namespace pen::buffer_pool {
namespace {

using Clock = std::chrono::steady_clock;

// The caps. `build/codec_bench --benchmark_filter=ReplyBuffer` fills a reply buffer as the
// socket does, in a kept block or in fresh pages (as after a trim). Fresh pages cost 0.6 to
// 0.8 ms of CPU per MiB more on this VM, at every size (kept vs fresh: 1 MiB 17 us vs 0.61 ms,
// 4 MiB 50 us vs 2.8 ms, 16 MiB 0.39 ms vs 12.6 ms; 64 MiB, above LARGEST_KEPT, 49 ms both),
// more than twice the raw TCP round trip of an 800 KB reply (about 0.25 ms): keeping pays at
// every size, so the cap bounds memory only. A reply frame is at most 16 MiB: larger blocks
// serve only fragmented messages (and those a refused peer grows through) and are not kept.
// Four blocks per class serve callers whose replies overlap; 64 MiB in all holds four of the
// largest.
constexpr std::size_t POOLED_FROM = std::size_t{64} << 10;   // 64 KiB
constexpr std::size_t LARGEST_KEPT = std::size_t{16} << 20;  // a block of 16 MiB
constexpr std::size_t KEPT_BYTES = std::size_t{64} << 20;    // at most this much kept in all
constexpr std::size_t KEPT_PER_CLASS = 4;
constexpr auto IDLE_TRIM = std::chrono::seconds(3);
constexpr int FIRST_CLASS = std::countr_zero(POOLED_FROM);
constexpr int CLASSES = std::countr_zero(LARGEST_KEPT) - FIRST_CLASS + 1;

struct Pool {
  Pool() {
    for (auto& list : free) list.reserve(KEPT_PER_CLASS);  // giving back never allocates
  }
  std::mutex mutex;
  std::condition_variable kept_some;  // the trimmer waits on it while nothing is kept
  std::array<std::vector<void*>, CLASSES> free;
  std::size_t kept = 0;
  Clock::time_point last_use;
  bool trimmer_started = false;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: buffers may be freed during static teardown
  return *p;
}

std::size_t class_of(std::size_t size) {
  return static_cast<std::size_t>(std::countr_zero(size) - FIRST_CLASS);
}

#if defined(__SANITIZE_ADDRESS__)  // GCC's mark; Clang's below
#define PEN_POOL_FROM_HEAP
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PEN_POOL_FROM_HEAP
#endif
#endif

#ifdef PEN_POOL_FROM_HEAP
void* new_block(std::size_t size) { return ::operator new(size); }
void free_block(void* block, std::size_t) noexcept { ::operator delete(block); }
#else
void* new_block(std::size_t size) {
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  return block;
}
void free_block(void* block, std::size_t size) noexcept { munmap(block, size); }
#endif

// Takes every kept block out of the pool (the lock held); the caller frees them unlocked.
std::vector<std::pair<void*, std::size_t>> take_all(Pool& p) {
  std::vector<std::pair<void*, std::size_t>> blocks;
  for (std::size_t cls = 0; cls < p.free.size(); ++cls) {
    for (void* block : p.free[cls]) blocks.emplace_back(block, POOLED_FROM << cls);
    p.free[cls].clear();  // keeps its capacity
  }
  p.kept = 0;
  return blocks;
}

void free_all(const std::vector<std::pair<void*, std::size_t>>& blocks) {
  for (const auto& [block, size] : blocks) free_block(block, size);
}

// The pool's thread: while blocks are kept, trims them once the pool has been idle long enough.
[[noreturn]] void run_trimmer() {
  Pool& p = pool();
  for (;;) {
    {
      std::unique_lock lock(p.mutex);
      p.kept_some.wait(lock, [&] { return p.kept > 0; });
      p.kept_some.wait_until(lock, p.last_use + IDLE_TRIM);
    }
    trim_if_idle(Clock::now());
  }
}

}  // namespace

void* take(std::size_t bytes) {
  if (bytes < POOLED_FROM) return ::operator new(bytes);
  const std::size_t size = std::bit_ceil(bytes);
  if (size <= LARGEST_KEPT) {
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    p.last_use = Clock::now();
    auto& list = p.free[class_of(size)];
    if (!list.empty()) {
      void* block = list.back();
      list.pop_back();
      p.kept -= size;
      return block;
    }
  }
  return new_block(size);
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
    std::unique_lock lock(p.mutex);
    p.last_use = Clock::now();
    auto& list = p.free[class_of(size)];
    if (list.size() < KEPT_PER_CLASS && p.kept + size <= KEPT_BYTES) {
      list.push_back(block);
      if (p.kept == 0) p.kept_some.notify_one();
      p.kept += size;
      if (!p.trimmer_started) {
        try {
          std::thread(run_trimmer).detach();
          p.trimmer_started = true;
        } catch (...) {  // no thread: blocks are then given back by trim() alone
        }
      }
      return;
    }
  }
  free_block(block, size);
}

std::size_t kept_bytes() noexcept {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  return p.kept;
}

void trim() {
  Pool& p = pool();
  std::unique_lock lock(p.mutex);
  const auto blocks = take_all(p);
  lock.unlock();
  free_all(blocks);
}

bool trim_if_idle(std::chrono::steady_clock::time_point now) {
  Pool& p = pool();
  std::unique_lock lock(p.mutex);
  if (p.kept == 0 || now < p.last_use + IDLE_TRIM) return false;
  const auto blocks = take_all(p);
  lock.unlock();
  free_all(blocks);
  return true;
}

}  // namespace pen::buffer_pool
