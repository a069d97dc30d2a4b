// Fuzzes the four payload decoders. Byte 0 picks the decoder, the rest is the payload. A
// decoder must succeed exactly when the length equals the length its counts imply (worked out
// here independently, in 128 bits), and its views must be copyable into buffers of exactly the
// reported sizes (ASan catches any view that reaches past the payload) holding the bytes at
// the documented offsets.
#include <cstring>
#include <vector>

#include "codec/payload.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace pen;
using u128 = unsigned __int128;

std::uint32_t u32_at(ByteView p, std::size_t at) { return load_le<std::uint32_t>(p.data() + at); }

// Copies the run into storage of exactly its size and compares with the payload bytes at `at`.
template <class Run, class T>
void check_run(const Run& run, ByteView p, std::size_t at) {
  PEN_REQUIRE(at + sizeof(T) * u128{run.count} <= p.size());
  std::vector<T> out(run.count);
  run.copy_to(out.data());
  PEN_REQUIRE(run.count == 0 || std::memcmp(out.data(), p.data() + at, sizeof(T) * run.count) == 0);
  const std::vector<T> again = run.to_vector();
  PEN_REQUIRE(
      again.size() == run.count &&
      (run.count == 0 || std::memcmp(again.data(), out.data(), sizeof(T) * run.count) == 0));
  if (run.count != 0) {
    const T last = run.at(run.count - 1);
    PEN_REQUIRE(std::memcmp(&last, p.data() + at + sizeof(T) * (run.count - 1), sizeof(T)) == 0);
  }
}

void vec(ByteView p) {
  auto r = codec::decode_vec_f64(p);
  const bool fits = p.size() >= 4 && 4 + 8 * u128{u32_at(p, 0)} == p.size();
  PEN_REQUIRE(r.ok() == fits);
  if (!fits) return PEN_REQUIRE(r.error().kind == ErrorKind::InvalidData);
  PEN_REQUIRE(r.value().elements.count == u32_at(p, 0));
  check_run<codec::F64Run, double>(r.value().elements, p, 4);
}

void mat(ByteView p) {
  auto r = codec::decode_mat_f64(p);
  const bool fits = p.size() >= 8 && 8 + 8 * u128{u32_at(p, 0)} * u32_at(p, 4) == p.size();
  PEN_REQUIRE(r.ok() == fits);
  if (!fits) return PEN_REQUIRE(r.error().kind == ErrorKind::InvalidData);
  const auto& m = r.value();
  PEN_REQUIRE(m.rows == u32_at(p, 0) && m.cols == u32_at(p, 4));
  PEN_REQUIRE(m.elements.count == std::uint64_t{m.rows} * m.cols);
  check_run<codec::F64Run, double>(m.elements, p, 8);
}

void vec_mat(ByteView p) {
  auto r = codec::decode_vec_mat_f64(p);
  bool fits = false;
  std::size_t mat_at = 0;
  if (p.size() >= 4) {
    const u128 header_end = 12 + 8 * u128{u32_at(p, 0)};
    if (header_end <= p.size()) {
      mat_at = 4 + 8 * std::size_t{u32_at(p, 0)};
      fits = header_end + 8 * u128{u32_at(p, mat_at)} * u32_at(p, mat_at + 4) == p.size();
    }
  }
  PEN_REQUIRE(r.ok() == fits);
  if (!fits) return PEN_REQUIRE(r.error().kind == ErrorKind::InvalidData);
  const auto& v = r.value();
  PEN_REQUIRE(v.vec.elements.count == u32_at(p, 0));
  PEN_REQUIRE(v.mat.rows == u32_at(p, mat_at) && v.mat.cols == u32_at(p, mat_at + 4));
  PEN_REQUIRE(v.mat.elements.count == std::uint64_t{v.mat.rows} * v.mat.cols);
  check_run<codec::F64Run, double>(v.vec.elements, p, 4);
  check_run<codec::F64Run, double>(v.mat.elements, p, mat_at + 8);
}

void close_step(ByteView p) {
  auto r = codec::decode_close_step(p);
  const bool fits = p.size() >= 4 && 4 + 16 * u128{u32_at(p, 0)} == p.size();
  PEN_REQUIRE(r.ok() == fits);
  if (!fits) return PEN_REQUIRE(r.error().kind == ErrorKind::InvalidData);
  const auto& s = r.value();
  const std::size_t n = u32_at(p, 0);
  PEN_REQUIRE(s.flags.count == n && s.actions.count == n && s.ratios.count == n);
  check_run<codec::I32Run, std::int32_t>(s.flags, p, 4);
  check_run<codec::I32Run, std::int32_t>(s.actions, p, 4 + 4 * n);
  check_run<codec::F64Run, double>(s.ratios, p, 4 + 8 * n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The payload gets its own allocation of exactly its size, so ASan sees its end.
  const std::vector<std::uint8_t> copy(data + 1, data + size);
  const ByteView p = fuzz::view(copy.data(), copy.size());
  switch (data[0] % 4) {
    case 0: vec(p); break;
    case 1: mat(p); break;
    case 2: vec_mat(p); break;
    default: close_step(p); break;
  }
  return 0;
}
