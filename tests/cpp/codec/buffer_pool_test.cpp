#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "codec/bytes.hpp"

namespace pen {
namespace {

// A large buffer freed is the storage of the next one of its size class, so a reply of the
// same shape lands in memory that is already mapped; its contents survive a move.
TEST(BufferPool, LargeBuffersAreReusedAcrossVectors) {
  const std::byte* first = nullptr;
  {
    Bytes reply;
    reply.resize(800'000);
    std::memset(reply.data(), 0x5a, reply.size());
    first = reply.data();
    Bytes moved = std::move(reply);
    EXPECT_EQ(moved.data(), first);
    EXPECT_EQ(moved[799'999], std::byte{0x5a});
  }
  Bytes next;
  next.resize(700'000);  // same power-of-two class (1 MiB)
  EXPECT_EQ(next.data(), first);
}

TEST(BufferPool, SizeClassesAndSmallBuffersAreKeptApart) {
  void* big = buffer_pool::take(3 << 20);  // 4 MiB class
  buffer_pool::give(big, 3 << 20);
  void* other = buffer_pool::take(100'000);  // 128 KiB class: not the 4 MiB block
  EXPECT_NE(other, big);
  buffer_pool::give(other, 100'000);
  void* again = buffer_pool::take(4 << 20);
  EXPECT_EQ(again, big);
  buffer_pool::give(again, 4 << 20);
  void* small = buffer_pool::take(100);
  buffer_pool::give(small, 100);  // operator delete; ASan checks the pairing
}

// A block serves every request of its class: one kept from a 600 kB buffer holds a 1 MB one
// (a block sized to the request would overflow here, which ASan reports).
TEST(BufferPool, AKeptBlockHoldsTheLargestRequestOfItsClass) {
  buffer_pool::trim();
  void* block = buffer_pool::take(600'000);
  buffer_pool::give(block, 600'000);
  void* again = buffer_pool::take(1 << 20);
  ASSERT_EQ(again, block);
  std::memset(again, 0x5a, 1 << 20);
  buffer_pool::give(again, 1 << 20);
}

// Round after round the same block comes back, and what is kept is counted out as well as in.
TEST(BufferPool, KeepsReusingRoundAfterRound) {
  buffer_pool::trim();
  void* first = buffer_pool::take(3 << 20);
  for (int round = 0; round < 40; ++round) {
    buffer_pool::give(first, 3 << 20);
    ASSERT_EQ(buffer_pool::kept_bytes(), std::size_t{4} << 20) << "round " << round;
    ASSERT_EQ(buffer_pool::take(3 << 20), first) << "round " << round;
    ASSERT_EQ(buffer_pool::kept_bytes(), 0u);
  }
  buffer_pool::give(first, 3 << 20);
}

// What is kept goes back to the system on trim(), and after a few seconds without use; not
// while the pool is in use.
TEST(BufferPool, TrimsOnRequestAndWhenIdle) {
  using std::chrono::seconds;
  for (const bool on_request : {true, false}) {
    buffer_pool::trim();
    Bytes a(1 << 20), b(200'000);
    a = Bytes{};
    b = Bytes{};
    ASSERT_EQ(buffer_pool::kept_bytes(), (std::size_t{1} << 20) + (256 << 10));
    const auto now = std::chrono::steady_clock::now();
    if (on_request) {
      buffer_pool::trim();
    } else {
      EXPECT_FALSE(buffer_pool::trim_if_idle(now));
      EXPECT_NE(buffer_pool::kept_bytes(), 0u);
      EXPECT_TRUE(buffer_pool::trim_if_idle(now + seconds(10)));
    }
    EXPECT_EQ(buffer_pool::kept_bytes(), 0u);
  }
}

}  // namespace
}  // namespace pen
