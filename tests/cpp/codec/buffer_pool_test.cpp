#include <gtest/gtest.h>

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

}  // namespace
}  // namespace pen
