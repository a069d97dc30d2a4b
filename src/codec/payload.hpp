// The four binary payload kinds: VecF64, MatF64, VecMatF64 and CloseStep.
//
// Decoders check the exact length first and return views into the caller's bytes, so the
// caller copies every element exactly once, straight into its own storage (a NumPy array, a
// vector). Encoders allocate their output once, at its final size, and write it in one pass.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/bytes.hpp"
#include "codec/result.hpp"

namespace pen::codec {

// n little-endian f64 values starting at `data` (no alignment assumed).
struct F64Run {
  const std::byte* data = nullptr;
  std::size_t count = 0;

  double at(std::size_t i) const noexcept { return load_le<double>(data + 8 * i); }
  void copy_to(double* out) const noexcept;  // count elements, bit for bit
  std::vector<double> to_vector() const;
};

// n little-endian i32 values starting at `data`.
struct I32Run {
  const std::byte* data = nullptr;
  std::size_t count = 0;

  std::int32_t at(std::size_t i) const noexcept { return load_le<std::int32_t>(data + 4 * i); }
  void copy_to(std::int32_t* out) const noexcept;
  std::vector<std::int32_t> to_vector() const;
};

struct VecF64View {
  F64Run elements;
};

struct MatF64View {
  std::uint32_t rows = 0;
  std::uint32_t cols = 0;
  F64Run elements;  // rows * cols values, row-major
};

struct VecMatF64View {
  VecF64View vec;
  MatF64View mat;
};

struct CloseStepView {
  I32Run flags;
  I32Run actions;
  F64Run ratios;
};

// The views refer to `payload`, which must outlive them.
Result<VecF64View> decode_vec_f64(ByteView payload);
Result<MatF64View> decode_mat_f64(ByteView payload);
Result<VecMatF64View> decode_vec_mat_f64(ByteView payload);
Result<CloseStepView> decode_close_step(ByteView payload);

// Element order of the data given to encode_mat_f64. The payload is always row-major.
enum class MatOrder { RowMajor, ColumnMajor };

// Counts that do not fit a u32 are refused; nothing else fails.
Result<Bytes> encode_vec_f64(std::span<const double> values);
Result<Bytes> encode_mat_f64(std::uint64_t rows, std::uint64_t cols, std::span<const double> data,
                             MatOrder order = MatOrder::RowMajor);
Result<Bytes> encode_close_step(std::span<const std::int32_t> flags,
                                std::span<const std::int32_t> actions,
                                std::span<const double> ratios);

}  // namespace pen::codec
