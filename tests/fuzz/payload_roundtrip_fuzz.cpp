// Fuzzes encode-then-decode of VecF64, MatF64 (both element orders) and CloseStep. Byte 0
// picks the kind, the next bytes the shape, and the rest is cycled into the element bits (so
// shapes can exceed the input, reaching the encoder's tiled transpose). Every value must come
// back bit for bit, the encoding must have its exact size, and inconsistent shapes must be
// refused.
#include <algorithm>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "codec/payload.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace pen;

constexpr std::size_t MAX_ELEMENTS = 1 << 15;  // 256 KiB of doubles; still past one 8192-wide tile

// Element bits: the fuzz bytes, cycled, with the index mixed in so that cycles differ.
template <class T>
std::vector<T> elements(const std::vector<std::uint8_t>& seed, std::size_t n, std::size_t salt) {
  std::vector<T> out(n);
  if (n == 0) return out;
  std::vector<std::uint8_t> raw(n * sizeof(T));
  const std::size_t period = std::max<std::size_t>(seed.size(), 1);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::uint8_t s = seed.empty() ? 0 : seed[i % period];
    raw[i] = static_cast<std::uint8_t>(s ^ ((i / period + salt) * 0x9D));
  }
  std::memcpy(out.data(), raw.data(), raw.size());
  return out;
}

// Mostly small sizes, which run fast; now and then (and never by default) up to `max`.
std::size_t size_in(FuzzedDataProvider& in, std::size_t max) {
  const bool large = in.ConsumeIntegral<std::uint8_t>() >= 240;
  return in.ConsumeIntegralInRange<std::size_t>(0, large ? max : std::min<std::size_t>(max, 20));
}

template <class T>
bool same_bits(const std::vector<T>& a, const T* b, std::size_t n) {
  return a.size() == n && (n == 0 || std::memcmp(a.data(), b, n * sizeof(T)) == 0);
}

void vec(FuzzedDataProvider& in) {
  const auto n = size_in(in, MAX_ELEMENTS);
  const auto values = elements<double>(in.ConsumeRemainingBytes<std::uint8_t>(), n, 1);
  auto encoded = codec::encode_vec_f64(values);
  PEN_REQUIRE(encoded.ok() && encoded.value().size() == 4 + 8 * n);
  auto decoded = codec::decode_vec_f64(encoded.value());
  PEN_REQUIRE(decoded.ok());
  PEN_REQUIRE(same_bits(decoded.value().elements.to_vector(), values.data(), n));
}

void mat(FuzzedDataProvider& in) {
  const auto rows = size_in(in, 9000);
  const auto cols = size_in(in,
                            rows == 0 ? 9000 : std::min<std::size_t>(9000, MAX_ELEMENTS / rows));
  const bool column_major = in.ConsumeBool();
  const int skew = in.ConsumeIntegralInRange<int>(-1, 1);  // data one short, exact, one long
  const auto order = column_major ? codec::MatOrder::ColumnMajor : codec::MatOrder::RowMajor;
  const std::size_t count = rows * cols;
  const auto seed = in.ConsumeRemainingBytes<std::uint8_t>();

  if (skew != 0 && !(skew < 0 && count == 0)) {
    const auto wrong = elements<double>(seed, count + skew, 2);
    auto refused = codec::encode_mat_f64(rows, cols, wrong, order);
    PEN_REQUIRE(!refused.ok() &&
                refused.error().message.starts_with("MatF64 data length mismatch"));
  }
  const auto data = elements<double>(seed, count, 3);
  auto encoded = codec::encode_mat_f64(rows, cols, data, order);
  PEN_REQUIRE(encoded.ok() && encoded.value().size() == 8 + 8 * count);
  auto decoded = codec::decode_mat_f64(encoded.value());
  PEN_REQUIRE(decoded.ok());
  const auto& m = decoded.value();
  PEN_REQUIRE(m.rows == rows && m.cols == cols);
  std::vector<double> row_major = data;
  if (column_major) {
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t c = 0; c < cols; ++c) row_major[r * cols + c] = data[c * rows + r];
  }
  PEN_REQUIRE(same_bits(m.elements.to_vector(), row_major.data(), count));
}

void close_step(FuzzedDataProvider& in) {
  const auto n = size_in(in, MAX_ELEMENTS / 2);
  const auto n_actions = in.ConsumeBool() ? n : in.ConsumeIntegralInRange<std::size_t>(0, n + 1);
  const auto seed = in.ConsumeRemainingBytes<std::uint8_t>();
  const auto flags = elements<std::int32_t>(seed, n, 4);
  const auto actions = elements<std::int32_t>(seed, n_actions, 5);
  const auto ratios = elements<double>(seed, n, 6);
  auto encoded = codec::encode_close_step(flags, actions, ratios);
  if (n_actions != n) {
    PEN_REQUIRE(!encoded.ok() && encoded.error().message.starts_with("close_step shape mismatch"));
    return;
  }
  PEN_REQUIRE(encoded.ok() && encoded.value().size() == 4 + 16 * n);
  auto decoded = codec::decode_close_step(encoded.value());
  PEN_REQUIRE(decoded.ok());
  const auto& s = decoded.value();
  PEN_REQUIRE(same_bits(s.flags.to_vector(), flags.data(), n));
  PEN_REQUIRE(same_bits(s.actions.to_vector(), actions.data(), n));
  PEN_REQUIRE(same_bits(s.ratios.to_vector(), ratios.data(), n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: vec(in); break;
    case 1: mat(in); break;
    default: close_step(in); break;
  }
  return 0;
}
