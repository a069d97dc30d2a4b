// The four payload kinds: exact layouts, the ordered decode checks and their messages, encoder
// refusals, and bit-exact round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "byte_helpers.hpp"
#include "codec/payload.hpp"

namespace pen::codec {
namespace {

using test::bits_of;
using test::error_message;
using test::hex;
using test::Le;

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

// ---- decode failures ---------------------------------------------------------------------

enum class Kind { Vec, Mat, VecMat, Step };

std::string decode_error(Kind kind, const Bytes& b) {
  switch (kind) {
    case Kind::Vec: return error_message(decode_vec_f64(b));
    case Kind::Mat: return error_message(decode_mat_f64(b));
    case Kind::VecMat: return error_message(decode_vec_mat_f64(b));
    case Kind::Step: return error_message(decode_close_step(b));
  }
  return {};
}

struct DecodeFailure {
  const char* name;
  Kind kind;
  Bytes payload;
  const char* message;
};

void PrintTo(const DecodeFailure& c, std::ostream* os) { *os << c.name; }

const std::vector<DecodeFailure> kDecodeFailures = {
    {"vec_empty", Kind::Vec, {}, "VecF64 payload too short"},
    {"vec_3_bytes", Kind::Vec, hex("01 00 00"), "VecF64 payload too short"},
    {"vec_trailing_byte", Kind::Vec, Le().u32(1).f64(1.0).u8(0),
     "VecF64 length mismatch: expected 12, got 13"},
    {"vec_cut_element", Kind::Vec, Le().u32(1).u32(0),
     "VecF64 length mismatch: expected 12, got 8"},
    {"vec_n_max", Kind::Vec, Le().u32(U32_MAX),
     "VecF64 length mismatch: expected 34359738364, got 4"},
    {"mat_7_bytes", Kind::Mat, hex("02 00 00 00 03 00 00"), "MatF64 payload too short"},
    {"mat_2x3_in_40", Kind::Mat, Le().u32(2).u32(3).raw(Bytes(32)),
     "MatF64 length mismatch: expected 56, got 40"},
    {"mat_trailing_byte", Kind::Mat, Le().u32(0).u32(5).u8(0),
     "MatF64 length mismatch: expected 8, got 9"},
    // 8 + 8 * (2^32 - 1)^2 exceeds 2^64 - 1: reported exactly, never wrapped or allocated.
    {"mat_max_dims", Kind::Mat, Le().u32(U32_MAX).u32(U32_MAX),
     "MatF64 length mismatch: expected 147573952520956936208, got 8"},
    {"vecmat_3_bytes", Kind::VecMat, hex("00 00 00"), "VecMatF64 payload too short"},
    {"vecmat_vector_only", Kind::VecMat, Le().u32(1).f64(2.0), "VecMatF64 missing matrix header"},
    {"vecmat_cut_header", Kind::VecMat, Le().u32(1).f64(2.0).u32(0).u16(0).u8(0),
     "VecMatF64 missing matrix header"},
    {"vecmat_n_max", Kind::VecMat, Le().u32(U32_MAX).u32(0).u32(0),
     "VecMatF64 missing matrix header"},
    {"vecmat_cut_matrix", Kind::VecMat, Le().u32(0).u32(1).u32(1),
     "VecMatF64 length mismatch: expected 20, got 12"},
    {"vecmat_trailing_byte", Kind::VecMat, Le().u32(1).f64(2.0).u32(0).u32(0).u8(9),
     "VecMatF64 length mismatch: expected 20, got 21"},
    {"vecmat_max_dims", Kind::VecMat, Le().u32(0).u32(U32_MAX).u32(U32_MAX),
     "VecMatF64 length mismatch: expected 147573952520956936212, got 12"},
    {"step_3_bytes", Kind::Step, hex("02 00 00"), "CloseStep payload too short"},
    {"step_n2_in_35", Kind::Step, Le().u32(2).raw(Bytes(31)),
     "CloseStep length mismatch: expected 36, got 35"},
    {"step_n_max", Kind::Step, Le().u32(U32_MAX),
     "CloseStep length mismatch: expected 68719476724, got 4"},
};

class DecodeFailureTest : public testing::TestWithParam<DecodeFailure> {};

TEST_P(DecodeFailureTest, FailsWithExactMessage) {
  EXPECT_EQ(decode_error(GetParam().kind, GetParam().payload), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Payload, DecodeFailureTest, testing::ValuesIn(kDecodeFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- decode successes --------------------------------------------------------------------

TEST(DecodeVecF64, ReadsCountAndElements) {
  auto empty = decode_vec_f64(hex("00 00 00 00"));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().elements.count, 0u);

  const Bytes payload = Le().u32(2).f64(1.0).f64(-2.5);
  auto two = decode_vec_f64(payload);
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(two.value().elements.to_vector(), (std::vector<double>{1.0, -2.5}));
}

TEST(DecodeMatF64, ZeroColumnsIsAValidEmptyMatrix) {
  auto m = decode_mat_f64(hex("02 00 00 00 00 00 00 00"));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().rows, 2u);
  EXPECT_EQ(m.value().cols, 0u);
  EXPECT_EQ(m.value().elements.count, 0u);
}

TEST(DecodeMatF64, ElementRowColumnLiesAtRowMajorOffset) {
  Le b;
  b.u32(2).u32(3);
  for (int i = 0; i < 6; ++i) b.f64(10.0 * (i / 3) + i % 3);  // value = 10*r + c
  auto m = decode_mat_f64(b.bytes());
  ASSERT_TRUE(m.ok());
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(m.value().elements.at(r * 3 + c), 10.0 * r + c);
  }
}

TEST(DecodeVecMatF64, SplitsVectorAndMatrix) {
  const Bytes vec_only = Le().u32(1).f64(7.0).u32(0).u32(0);
  auto empty_mat = decode_vec_mat_f64(vec_only);
  ASSERT_TRUE(empty_mat.ok());
  EXPECT_EQ(empty_mat.value().vec.elements.to_vector(), std::vector<double>{7.0});
  EXPECT_EQ(empty_mat.value().mat.elements.count, 0u);

  const Bytes both = Le().u32(2).f64(1).f64(2).u32(2).u32(1).f64(3).f64(4);
  auto full = decode_vec_mat_f64(both);
  ASSERT_TRUE(full.ok());
  EXPECT_EQ(full.value().vec.elements.to_vector(), (std::vector<double>{1, 2}));
  EXPECT_EQ(full.value().mat.rows, 2u);
  EXPECT_EQ(full.value().mat.cols, 1u);
  EXPECT_EQ(full.value().mat.elements.to_vector(), (std::vector<double>{3, 4}));
}

// n = 2: flags at 4..11, actions at 12..19, ratios at 20..35, not interleaved.
const Bytes kStepN2 = hex(
    "02 00 00 00"
    "01 00 00 00  FF FF FF FF"
    "05 00 00 00  FE FF FF FF"
    "00 00 00 00 00 00 E0 3F  00 00 00 00 00 00 F0 BF");

TEST(DecodeCloseStep, ReadsThreeParallelArrays) {
  ASSERT_EQ(kStepN2.size(), 36u);
  auto s = decode_close_step(kStepN2);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value().flags.to_vector(), (std::vector<std::int32_t>{1, -1}));
  EXPECT_EQ(s.value().actions.to_vector(), (std::vector<std::int32_t>{5, -2}));
  EXPECT_EQ(s.value().ratios.to_vector(), (std::vector<double>{0.5, -1.0}));
}

TEST(DecodeViews, CopyFromUnalignedBytes) {
  const Bytes payload = Le().u32(3).f64(1.5).f64(-0.0).f64(1e300);
  Bytes shifted(1);
  shifted.insert(shifted.end(), payload.begin(), payload.end());
  auto v = decode_vec_f64(ByteView(shifted).subspan(1));
  ASSERT_TRUE(v.ok());
  double out[3];
  v.value().elements.copy_to(out);
  EXPECT_EQ(std::memcmp(out, payload.data() + 4, sizeof out), 0);
}

// ---- encoders ----------------------------------------------------------------------------

TEST(EncodeVecF64, ExactBytes) {
  const double one[] = {1.0};
  EXPECT_EQ(encode_vec_f64(one).value(), hex("01 00 00 00 00 00 00 00 00 00 F0 3F"));
  EXPECT_EQ(encode_vec_f64({}).value(), hex("00 00 00 00"));
}

TEST(EncodeMatF64, RowMajorLayout) {
  const double data[] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(encode_mat_f64(2, 3, data).value(),
            Bytes(Le().u32(2).u32(3).f64(1).f64(2).f64(3).f64(4).f64(5).f64(6)));
  EXPECT_EQ(encode_mat_f64(2, 0, {}).value(), hex("02 00 00 00 00 00 00 00"));
}

TEST(EncodeCloseStep, ExactBytes) {
  const std::int32_t flags[] = {1, -1}, actions[] = {5, -2};
  const double ratios[] = {0.5, -1.0};
  EXPECT_EQ(encode_close_step(flags, actions, ratios).value(), kStepN2);
  EXPECT_EQ(encode_close_step({}, {}, {}).value(), hex("00 00 00 00"));
}

// Spans claiming more elements than their tiny buffer holds: refusals must come before any
// element is read or any output is reserved (ASan would report the read).
const double kTiny[1] = {0};
const std::int32_t kTinyI[1] = {0};
constexpr std::size_t kOverU32 = std::size_t{1} << 32;
std::span<const double> huge(std::size_t n = kOverU32) { return {kTiny, n}; }

struct EncodeFailure {
  const char* name;
  std::function<std::string()> run;
  const char* message;
};

void PrintTo(const EncodeFailure& c, std::ostream* os) { *os << c.name; }

const std::vector<EncodeFailure> kEncodeFailures = {
    {"mat_data_short",
     [] {
       const double d[5] = {};
       return error_message(encode_mat_f64(2, 3, d));
     },
     "MatF64 data length mismatch: expected 6, got 5"},
    {"mat_data_long",
     [] {
       const double d[1] = {};
       return error_message(encode_mat_f64(0, 7, d));
     },
     "MatF64 data length mismatch: expected 0, got 1"},
    {"mat_dims_overflow", [] { return error_message(encode_mat_f64(kOverU32, kOverU32, {})); },
     "rows*cols overflow"},
    {"mat_dims_overflow_max",
     [] { return error_message(encode_mat_f64(std::numeric_limits<std::uint64_t>::max(), 2, {})); },
     "rows*cols overflow"},
    {"mat_rows_beyond_u32", [] { return error_message(encode_mat_f64(kOverU32, 1, huge())); },
     "MatF64 too large: 4294967296 rows do not fit a u32 count"},
    {"mat_cols_beyond_u32", [] { return error_message(encode_mat_f64(1, kOverU32, huge())); },
     "MatF64 too large: 4294967296 columns do not fit a u32 count"},
    {"mat_empty_rows_beyond_u32", [] { return error_message(encode_mat_f64(kOverU32, 0, {})); },
     "MatF64 too large: 4294967296 rows do not fit a u32 count"},
    {"mat_column_major_beyond_u32",
     [] {
       return error_message(encode_mat_f64(2, kOverU32, huge(2 * kOverU32), MatOrder::ColumnMajor));
     },
     "MatF64 too large: 4294967296 columns do not fit a u32 count"},
    {"vec_beyond_u32", [] { return error_message(encode_vec_f64(huge())); },
     "VecF64 too long: 4294967296 elements do not fit a u32 count"},
    {"step_shape",
     [] {
       const std::int32_t f[2] = {}, a[2] = {};
       const double r[3] = {};
       return error_message(encode_close_step(f, a, r));
     },
     "close_step shape mismatch: flags=2, actions=2, ratios=3"},
    {"step_shape_actions",
     [] {
       const std::int32_t f[1] = {};
       return error_message(encode_close_step(f, {}, {}));
     },
     "close_step shape mismatch: flags=1, actions=0, ratios=0"},
    {"step_beyond_u32",
     [] {
       const std::span<const std::int32_t> ints(kTinyI, kOverU32);
       return error_message(encode_close_step(ints, ints, huge()));
     },
     "CloseStep too long: 4294967296 entries do not fit a u32 count"},
};

class EncodeFailureTest : public testing::TestWithParam<EncodeFailure> {};

TEST_P(EncodeFailureTest, FailsWithExactMessage) {
  EXPECT_EQ(GetParam().run(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Payload, EncodeFailureTest, testing::ValuesIn(kEncodeFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- column-major input ------------------------------------------------------------------

// Covers the small-block path (partial last block), single rows/columns, and the wide path
// where one row no longer fits the gather tile.
class ColumnMajorTest : public testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(ColumnMajorTest, WritesRowMajorPayload) {
  const auto [rows, cols] = GetParam();
  std::vector<double> row_major(rows * cols), col_major(rows * cols);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      row_major[r * cols + c] = static_cast<double>(r * 100000 + c);
      col_major[c * rows + r] = static_cast<double>(r * 100000 + c);
    }
  }
  auto expected = encode_mat_f64(rows, cols, row_major);
  auto actual = encode_mat_f64(rows, cols, col_major, MatOrder::ColumnMajor);
  ASSERT_TRUE(actual.ok());
  EXPECT_EQ(actual.value(), expected.value());
}

INSTANTIATE_TEST_SUITE_P(Payload, ColumnMajorTest,
                         testing::Values(std::pair{2, 3}, std::pair{3, 2}, std::pair{1, 5},
                                         std::pair{5, 1}, std::pair{0, 4}, std::pair{19, 300},
                                         std::pair{9, 4096}, std::pair{17, 1100},
                                         std::pair{3, 8193}, std::pair{2, 9000}));

TEST(EncodeMatF64, ReadsUnalignedSourceInBothOrders) {
  // NumPy may hand over unaligned memory; the encoder must only copy bytes out of it.
  const double values[6] = {1, 2, 3, 4, 5, 6};
  alignas(8) std::byte storage[1 + sizeof values];
  std::memcpy(storage + 1, values, sizeof values);
  const std::span<const double> unaligned(reinterpret_cast<const double*>(storage + 1), 6);

  EXPECT_EQ(encode_mat_f64(2, 3, unaligned).value(), encode_mat_f64(2, 3, values).value());
  const double row_major_of_col[6] = {1, 3, 5, 2, 4, 6};
  EXPECT_EQ(encode_mat_f64(2, 3, unaligned, MatOrder::ColumnMajor).value(),
            encode_mat_f64(2, 3, row_major_of_col).value());
}

// ---- round trips -------------------------------------------------------------------------

const std::vector<std::uint64_t> kSpecialBits = {
    0x7FF8000000000123,  // quiet NaN with a payload
    0xFFF0000000000001,  // signalling NaN, sign set
    0x8000000000000000,  // -0.0
    0x7FF0000000000000,  // +inf
    0xFFF0000000000000,  // -inf
    0x0000000000000001,  // smallest subnormal
    0x3FF0000000000000,  // 1.0
};

std::vector<double> special_values() {
  std::vector<double> v;
  for (auto b : kSpecialBits) v.push_back(std::bit_cast<double>(b));
  return v;
}

std::vector<std::uint64_t> bits(const std::vector<double>& v) {
  std::vector<std::uint64_t> out;
  for (double d : v) out.push_back(bits_of(d));
  return out;
}

TEST(RoundTrip, VecF64KeepsEveryBitPattern) {
  const auto values = special_values();
  const Bytes encoded = encode_vec_f64(values).value();
  EXPECT_EQ(bits(decode_vec_f64(encoded).value().elements.to_vector()), kSpecialBits);
}

TEST(RoundTrip, MatF64KeepsEveryBitPattern) {
  auto values = special_values();
  values.push_back(-1.0);  // 8 values: a 2 x 4 matrix
  const Bytes encoded = encode_mat_f64(2, 4, values).value();
  auto m = decode_mat_f64(encoded);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(bits(m.value().elements.to_vector()), bits(values));
}

TEST(RoundTrip, CloseStepKeepsEveryValue) {
  const auto ratios = special_values();
  std::vector<std::int32_t> flags(ratios.size()), actions(ratios.size());
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    flags[i] = static_cast<std::int32_t>(i) - 3;
    actions[i] = i % 2 ? std::numeric_limits<std::int32_t>::min()
                       : std::numeric_limits<std::int32_t>::max();
  }
  const Bytes encoded = encode_close_step(flags, actions, ratios).value();
  ASSERT_EQ(encoded.size(), 4 + 16 * ratios.size());
  auto s = decode_close_step(encoded);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value().flags.to_vector(), flags);
  EXPECT_EQ(s.value().actions.to_vector(), actions);
  EXPECT_EQ(bits(s.value().ratios.to_vector()), kSpecialBits);
}

}  // namespace
}  // namespace pen::codec
