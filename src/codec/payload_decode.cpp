// Decoders: fixed prefix, counts, exact length, then views. Nothing is allocated or copied here;
// the caller copies the elements once into its own storage.
#include <cstring>
#include <string>

#include "codec/payload.hpp"

namespace pen::codec {
namespace {

using u128 = unsigned __int128;

// Implied lengths are formed in 128 bits: rows * cols * 8 alone can exceed 2^64 - 1, and such a
// header must be reported as a mismatch rather than wrap around to a plausible size.
std::string to_decimal(u128 v) {
  if (v == 0) return "0";
  char buf[40];
  char* p = buf + sizeof buf;
  while (v != 0) {
    *--p = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  }
  return std::string(p, buf + sizeof buf);
}

EngineError too_short(const char* kind) {
  return EngineError::invalid_data(std::string(kind) + " payload too short");
}

EngineError length_mismatch(const char* kind, u128 expected, std::size_t got) {
  return EngineError::invalid_data(std::string(kind) + " length mismatch: expected " +
                                   to_decimal(expected) + ", got " + std::to_string(got));
}

F64Run f64_run(ByteView payload, std::size_t offset, std::size_t count) {
  return {payload.data() + offset, count};
}

std::size_t element_count(std::uint32_t rows, std::uint32_t cols) {
  return static_cast<std::size_t>(rows) * cols;  // fits: the exact length check has passed
}

}  // namespace

void F64Run::copy_to(double* out) const noexcept {
  if (count != 0) std::memcpy(out, data, 8 * count);
}

std::vector<double> F64Run::to_vector() const {
  std::vector<double> v(count);
  copy_to(v.data());
  return v;
}

void I32Run::copy_to(std::int32_t* out) const noexcept {
  if (count != 0) std::memcpy(out, data, 4 * count);
}

std::vector<std::int32_t> I32Run::to_vector() const {
  std::vector<std::int32_t> v(count);
  copy_to(v.data());
  return v;
}

Result<VecF64View> decode_vec_f64(ByteView payload) {
  if (payload.size() < 4) return too_short("VecF64");
  const std::uint32_t n = load_le<std::uint32_t>(payload.data());
  const u128 implied = 4 + u128{8} * n;
  if (implied != payload.size()) return length_mismatch("VecF64", implied, payload.size());
  return VecF64View{f64_run(payload, 4, n)};
}

Result<MatF64View> decode_mat_f64(ByteView payload) {
  if (payload.size() < 8) return too_short("MatF64");
  const auto rows = load_le<std::uint32_t>(payload.data());
  const auto cols = load_le<std::uint32_t>(payload.data() + 4);
  const u128 implied = 8 + u128{8} * rows * cols;
  if (implied != payload.size()) return length_mismatch("MatF64", implied, payload.size());
  return MatF64View{rows, cols, f64_run(payload, 8, element_count(rows, cols))};
}

Result<VecMatF64View> decode_vec_mat_f64(ByteView payload) {
  if (payload.size() < 4) return too_short("VecMatF64");
  const std::uint32_t n = load_le<std::uint32_t>(payload.data());
  const u128 header_end = 12 + u128{8} * n;
  if (payload.size() < header_end) {
    return EngineError::invalid_data("VecMatF64 missing matrix header");
  }
  const std::size_t mat_at = 4 + 8 * static_cast<std::size_t>(n);
  const auto rows = load_le<std::uint32_t>(payload.data() + mat_at);
  const auto cols = load_le<std::uint32_t>(payload.data() + mat_at + 4);
  const u128 implied = header_end + u128{8} * rows * cols;
  if (implied != payload.size()) return length_mismatch("VecMatF64", implied, payload.size());
  return VecMatF64View{
      VecF64View{f64_run(payload, 4, n)},
      MatF64View{rows, cols, f64_run(payload, mat_at + 8, element_count(rows, cols))}};
}

Result<CloseStepView> decode_close_step(ByteView payload) {
  if (payload.size() < 4) return too_short("CloseStep");
  const std::uint32_t n = load_le<std::uint32_t>(payload.data());
  const u128 implied = 4 + u128{16} * n;
  if (implied != payload.size()) return length_mismatch("CloseStep", implied, payload.size());
  const std::byte* p = payload.data() + 4;
  return CloseStepView{I32Run{p, n}, I32Run{p + 4 * std::size_t{n}, n},
                       F64Run{p + 8 * std::size_t{n}, n}};
}

}  // namespace pen::codec
