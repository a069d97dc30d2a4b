// Encoders: every check runs before the output is allocated (and before any element is read),
// then the output is reserved at its final size and filled front to back.
#include <algorithm>
#include <limits>
#include <string>

#include "codec/payload.hpp"

namespace pen::codec {
namespace {

constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

// The format cannot hold such a count; writing it truncated would corrupt the payload.
EngineError count_too_large(const char* what, std::uint64_t count, const char* unit) {
  return EngineError::invalid_data(std::string(what) + ": " + std::to_string(count) + " " + unit +
                                   " do not fit a u32 count");
}

template <class T>
void append_run(Bytes& out, std::span<const T> values) {
  append_bytes(out, values.data(), values.size_bytes());
}

// Appends a column-major (Fortran order) matrix in row-major order. Up to 8 rows are gathered
// at a time through a stack tile, so each source cache line (8 doubles of one column) serves 8
// output rows, and the output still grows strictly front to back.
void append_transposed(Bytes& out, std::size_t rows, std::size_t cols, const double* data) {
  constexpr std::size_t TILE = 8192;  // doubles: 64 KiB on the stack
  double tile[TILE];
  const auto* src = reinterpret_cast<const std::byte*>(data);  // may be unaligned: bytes only
  auto load = [&](std::size_t r, std::size_t c) {
    return load_le<double>(src + 8 * (c * rows + r));
  };

  if (cols <= TILE) {
    const std::size_t block = std::min<std::size_t>(8, TILE / cols);
    for (std::size_t r0 = 0; r0 < rows; r0 += block) {
      const std::size_t b_end = std::min(block, rows - r0);
      for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t b = 0; b < b_end; ++b) tile[b * cols + c] = load(r0 + b, c);
      }
      append_bytes(out, tile, 8 * b_end * cols);
    }
    return;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c0 = 0; c0 < cols; c0 += TILE) {
      const std::size_t n = std::min(TILE, cols - c0);
      for (std::size_t i = 0; i < n; ++i) tile[i] = load(r, c0 + i);
      append_bytes(out, tile, 8 * n);
    }
  }
}

}  // namespace

Result<Bytes> encode_vec_f64(std::span<const double> values) {
  if (values.size() > U32_MAX) {
    return count_too_large("VecF64 too long", values.size(), "elements");
  }
  Bytes out;
  out.reserve(4 + values.size_bytes());
  append_le(out, static_cast<std::uint32_t>(values.size()));
  append_run(out, values);
  return out;
}

Result<Bytes> encode_mat_f64(std::uint64_t rows, std::uint64_t cols, std::span<const double> data,
                             MatOrder order) {
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(rows, cols, &count)) {
    return EngineError::invalid_data("rows*cols overflow");
  }
  if (data.size() != count) {
    return EngineError::invalid_data("MatF64 data length mismatch: expected " +
                                     std::to_string(count) + ", got " +
                                     std::to_string(data.size()));
  }
  if (rows > U32_MAX) return count_too_large("MatF64 too large", rows, "rows");
  if (cols > U32_MAX) return count_too_large("MatF64 too large", cols, "columns");

  Bytes out;
  out.reserve(8 + data.size_bytes());
  append_le(out, static_cast<std::uint32_t>(rows));
  append_le(out, static_cast<std::uint32_t>(cols));
  if (order == MatOrder::RowMajor || rows <= 1 || cols <= 1) {
    append_run(out, data);  // a single row or column reads the same in either order
  } else {
    append_transposed(out, rows, cols, data.data());
  }
  return out;
}

Result<Bytes> encode_close_step(std::span<const std::int32_t> flags,
                                std::span<const std::int32_t> actions,
                                std::span<const double> ratios) {
  if (flags.size() != actions.size() || flags.size() != ratios.size()) {
    return EngineError::invalid_data(
        "close_step shape mismatch: flags=" + std::to_string(flags.size()) + ", actions=" +
        std::to_string(actions.size()) + ", ratios=" + std::to_string(ratios.size()));
  }
  if (flags.size() > U32_MAX) {
    return count_too_large("CloseStep too long", flags.size(), "entries");
  }

  Bytes out;
  out.reserve(4 + flags.size_bytes() + actions.size_bytes() + ratios.size_bytes());
  append_le(out, static_cast<std::uint32_t>(flags.size()));
  append_run(out, flags);
  append_run(out, actions);
  append_run(out, ratios);
  return out;
}

}  // namespace pen::codec
