// An 8 MiB MatF64 (1024 x 1024 doubles): decode and encode beside plain memcpy of the same size.
// And a reply buffer of 1 to 64 MiB filled as the socket fills it, in a block the buffer pool
// kept (ReplyBufferKept) or in fresh pages, as after the pool gave its blocks back
// (ReplyBufferFresh): what keeping a block saves, per size.
//
// Decode copies into a reused destination, so it is compared with memcpy into a reused,
// pre-touched buffer. Encode allocates its output every time, so it is compared with memcpy into
// a freshly allocated buffer (allocation and page faults included).
#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <vector>

#include "codec/payload.hpp"

namespace {

constexpr std::size_t kRows = 1024;
constexpr std::size_t kCols = 1024;
constexpr std::size_t kCount = kRows * kCols;
constexpr std::size_t kBytes = 8 * kCount;

std::vector<double> make_values() {
  std::vector<double> v(kCount);
  for (std::size_t i = 0; i < kCount; ++i) v[i] = static_cast<double>(i) * 0.5;
  return v;
}

void BM_MemcpyReused(benchmark::State& state) {
  const auto src = make_values();
  std::vector<double> dst(kCount, 1.0);  // pre-touched
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_MemcpyFresh(benchmark::State& state) {
  const auto src = make_values();
  for (auto _ : state) {
    std::unique_ptr<std::byte[]> dst(new std::byte[kBytes + 8]);  // same size as a payload
    std::memcpy(dst.get() + 8, src.data(), kBytes);
    benchmark::DoNotOptimize(dst.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_DecodeMatF64(benchmark::State& state) {
  const auto values = make_values();
  const pen::Bytes payload = pen::codec::encode_mat_f64(kRows, kCols, values).value();
  std::vector<double> dst(kCount, 1.0);  // pre-touched, like memcpy's reused buffer
  for (auto _ : state) {
    auto view = pen::codec::decode_mat_f64(payload);
    view.value().elements.copy_to(dst.data());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_EncodeMatF64(benchmark::State& state) {
  const auto values = make_values();
  for (auto _ : state) {
    auto out = pen::codec::encode_mat_f64(kRows, kCols, values);
    benchmark::DoNotOptimize(out.value().data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_EncodeMatF64ColumnMajor(benchmark::State& state) {
  const auto values = make_values();  // read as Fortran order
  for (auto _ : state) {
    auto out = pen::codec::encode_mat_f64(kRows, kCols, values, pen::codec::MatOrder::ColumnMajor);
    benchmark::DoNotOptimize(out.value().data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_ReplyBufferKept(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0)) << 20;
  for (auto _ : state) {
    pen::Bytes reply(size);
    std::memset(reply.data(), 0x5a, size);
    benchmark::DoNotOptimize(reply.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_ReplyBufferFresh(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0)) << 20;
  for (auto _ : state) {
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::memset(block, 0x5a, size);
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
    munmap(block, size);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

BENCHMARK(BM_ReplyBufferKept)->RangeMultiplier(4)->Range(1, 64);
BENCHMARK(BM_ReplyBufferFresh)->RangeMultiplier(4)->Range(1, 64);
BENCHMARK(BM_MemcpyReused);
BENCHMARK(BM_DecodeMatF64);
BENCHMARK(BM_MemcpyFresh);
BENCHMARK(BM_EncodeMatF64);
BENCHMARK(BM_EncodeMatF64ColumnMajor);

}  // namespace

BENCHMARK_MAIN();
