#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/time_series.hpp"

namespace ovrel::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

// ---------------------------------------------------------------------------------------------
// Construction: ordered checks, exact messages, missing counts; every case runs over f32 and f64.

struct CreateCase {
  const char* name = "";
  std::vector<double> values = {};
  std::size_t n = 0;
  std::size_t d = 0;
  MemoryLayout layout = MemoryLayout::c_contiguous();
  std::optional<std::vector<std::uint8_t>> mask = std::nullopt;
  TimeIndexKind time_kind = TimeIndexKind::None;
  std::int64_t dt_ns = 1;
  std::vector<std::int64_t> times = {};
  MissingPolicy policy = MissingPolicy::Error;
  // Empty: the view is built with this n_missing.
  std::string error = {};
  std::size_t n_missing = 0;
};

struct CreateParam {
  CreateCase c;
  ValueType type;
};

std::string create_name(const ::testing::TestParamInfo<CreateParam>& info) {
  return std::string(info.param.c.name) + (info.param.type == ValueType::F32 ? "_f32" : "_f64");
}

class CreateTest : public ::testing::TestWithParam<CreateParam> {};

TEST_P(CreateTest, ChecksInOrder) {
  const CreateCase& c = GetParam().c;
  std::vector<float> f32(c.values.begin(), c.values.end());
  const ValueBuffer values =
      GetParam().type == ValueType::F32 ? ValueBuffer::of_f32(f32) : ValueBuffer::of_f64(c.values);
  std::optional<std::span<const std::uint8_t>> mask;
  if (c.mask) mask = std::span<const std::uint8_t>(*c.mask);
  TimeIndex time;
  if (c.time_kind == TimeIndexKind::Uniform) time = TimeIndex::uniform(-5, c.dt_ns);
  if (c.time_kind == TimeIndexKind::Explicit) time = TimeIndex::explicit_times(c.times);

  auto view = TimeSeriesView::create(values, c.n, c.d, c.layout, mask, time, c.policy);
  if (!c.error.empty()) {
    ASSERT_FALSE(view.has_value());
    EXPECT_EQ(view.error(), OvrelError::invalid_input(c.error));
    return;
  }
  ASSERT_TRUE(view.has_value()) << view.error().display();
  EXPECT_EQ(view->n(), c.n);
  EXPECT_EQ(view->d(), c.d);
  EXPECT_EQ(view->element_count(), c.n * c.d);
  EXPECT_EQ(view->n_missing(), c.n_missing);
  EXPECT_EQ(view->missing(), c.policy);
  EXPECT_EQ(view->layout(), c.layout);
  EXPECT_EQ(view->values().type(), GetParam().type);
  EXPECT_EQ(view->time().kind, c.time_kind);
}

std::vector<CreateCase> create_cases() {
  const std::size_t big = std::size_t{1} << 32;
  return {
      {.name = "NoRowsNoColumns", .values = {}, .n = 0, .d = 0, .error = "n must be >= 1"},
      {.name = "NoColumns", .values = {1, 2, 3}, .n = 3, .d = 0, .error = "d must be >= 1"},
      {.name = "ShapeOverflow",
       .values = {},
       .n = big,
       .d = big,
       .error = "n*d overflow while validating shape"},
      {.name = "LengthMismatch",
       .values = {1, 2, 3, 4, 5},
       .n = 2,
       .d = 2,
       .error = "value length mismatch: got 5, expected 4 (n=2, d=2)"},
      {.name = "InfinityBeforeMissing",
       .values = {kNaN, 1, kInf, kNaN},
       .n = 4,
       .d = 1,
       .error = "non-finite value encountered: index=2, value=+inf; TimeSeriesView does not "
                "accept infinities"},
      {.name = "InfinityBeforeMaskLength",
       .values = {0, -kInf},
       .n = 2,
       .d = 1,
       .mask = std::vector<std::uint8_t>{0},
       .error = "non-finite value encountered: index=1, value=-inf; TimeSeriesView does not "
                "accept infinities"},
      // Positions t + j of a 2x2 view with unit strides reach 0..2; position 3 is never read but
      // is still checked.
      {.name = "InfinityOutsideStridedReach",
       .values = {1, 2, 3, -kInf},
       .n = 2,
       .d = 2,
       .layout = MemoryLayout::strided(1, 1),
       .error = "non-finite value encountered: index=3, value=-inf; TimeSeriesView does not "
                "accept infinities"},
      {.name = "MaskLengthBeforeMaskBytes",
       .values = {1, 2, 3},
       .n = 3,
       .d = 1,
       .mask = std::vector<std::uint8_t>{2, 0},
       .error = "missing_mask length mismatch: got 2, expected 3 (n=3, d=1)"},
      {.name = "MaskByteBeforeMissing",
       .values = {kNaN, 0, 0, 0, 0, 0},
       .n = 3,
       .d = 2,
       .mask = std::vector<std::uint8_t>{0, 0, 1, 0, 2, 0},
       .error = "missing_mask must contain only 0/1 bytes: index 4 has 2"},
      {.name = "MaskByte255",
       .values = {0, 0},
       .n = 1,
       .d = 2,
       .mask = std::vector<std::uint8_t>{255, 0},
       .error = "missing_mask must contain only 0/1 bytes: index 0 has 255"},
      {.name = "NaNUnderMaskCountedOnce",
       .values = {1, kNaN, 3},
       .n = 3,
       .d = 1,
       .mask = std::vector<std::uint8_t>{0, 1, 1},
       .error = "missing data encountered with MissingPolicy::Error: effective_missing_count=2, "
                "mask_missing_count=2, nan_missing_count=1, first_missing_index=1"},
      {.name = "NaNUnderMaskIgnored",
       .values = {1, kNaN, 3},
       .n = 3,
       .d = 1,
       .mask = std::vector<std::uint8_t>{0, 1, 1},
       .policy = MissingPolicy::Ignore,
       .n_missing = 2},
      {.name = "UnmaskedNaNFirst",
       .values = {kNaN, 2},
       .n = 2,
       .d = 1,
       .mask = std::vector<std::uint8_t>{0, 1},
       .error = "missing data encountered with MissingPolicy::Error: effective_missing_count=2, "
                "mask_missing_count=1, nan_missing_count=1, first_missing_index=0"},
      {.name = "MaskOnlyFirstMissing",
       .values = {1, 2, 3, 4},
       .n = 2,
       .d = 2,
       .mask = std::vector<std::uint8_t>{0, 0, 1, 1},
       .error = "missing data encountered with MissingPolicy::Error: effective_missing_count=2, "
                "mask_missing_count=2, nan_missing_count=0, first_missing_index=2"},
      {.name = "NaNWithoutMask",
       .values = {1, kNaN, kNaN, 4},
       .n = 4,
       .d = 1,
       .error = "missing data encountered with MissingPolicy::Error: effective_missing_count=2, "
                "mask_missing_count=0, nan_missing_count=2, first_missing_index=1"},
      {.name = "ReservedPolicyTwoUnchecked",
       .values = {kNaN, 1},
       .n = 1,
       .d = 2,
       .mask = std::vector<std::uint8_t>{0, 1},
       .policy = MissingPolicy::Reserved2,
       .n_missing = 2},
      {.name = "MissingBeforeTimeIndex",
       .values = {1, kNaN},
       .n = 2,
       .d = 1,
       .time_kind = TimeIndexKind::Uniform,
       .dt_ns = 0,
       .error = "missing data encountered with MissingPolicy::Error: effective_missing_count=1, "
                "mask_missing_count=0, nan_missing_count=1, first_missing_index=1"},
      {.name = "UniformZeroStep",
       .values = {1, 2},
       .n = 2,
       .d = 1,
       .time_kind = TimeIndexKind::Uniform,
       .dt_ns = 0,
       .error = "Uniform time index requires dt_ns > 0, got 0"},
      {.name = "UniformNegativeStep",
       .values = {1, 2},
       .n = 2,
       .d = 1,
       .time_kind = TimeIndexKind::Uniform,
       .dt_ns = -7,
       .error = "Uniform time index requires dt_ns > 0, got -7"},
      {.name = "UniformUnitStep",
       .values = {1, 2},
       .n = 2,
       .d = 1,
       .time_kind = TimeIndexKind::Uniform,
       .dt_ns = 1},
      {.name = "ExplicitLengthMismatch",
       .values = {1, 2, 3},
       .n = 3,
       .d = 1,
       .time_kind = TimeIndexKind::Explicit,
       .times = {1, 2},
       .error = "Explicit time index length mismatch: got 2, expected n=3"},
      {.name = "ExplicitBeforeStrides",
       .values = {1, 2},
       .n = 2,
       .d = 1,
       .layout = MemoryLayout::strided(0, 0),
       .time_kind = TimeIndexKind::Explicit,
       .times = {},
       .error = "Explicit time index length mismatch: got 0, expected n=2"},
      {.name = "ExplicitUnorderedRepeated",
       .values = {1, 2, 3},
       .n = 3,
       .d = 1,
       .time_kind = TimeIndexKind::Explicit,
       .times = {5, 5, -9}},
      {.name = "ZeroRowStride",
       .values = {1, 2},
       .n = 2,
       .d = 1,
       .layout = MemoryLayout::strided(0, 1),
       .error = "Strided layout requires non-zero strides: row_stride=0, col_stride=1"},
      {.name = "ZeroColumnStride",
       .values = {1, 2},
       .n = 1,
       .d = 2,
       .layout = MemoryLayout::strided(-3, 0),
       .error = "Strided layout requires non-zero strides: row_stride=-3, col_stride=0"},
      {.name = "NegativeStrideAccepted",
       .values = {1, 2, 3},
       .n = 3,
       .d = 1,
       .layout = MemoryLayout::strided(-1, 1)},
  };
}

std::vector<CreateParam> create_params() {
  std::vector<CreateParam> out;
  for (const CreateCase& c : create_cases()) {
    out.push_back({c, ValueType::F32});
    out.push_back({c, ValueType::F64});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Views, CreateTest, ::testing::ValuesIn(create_params()), create_name);

TEST(CreateTest, FromF64IsCreateOverF64) {
  const std::vector<double> values = {1, 2, 3, 4};
  auto view = TimeSeriesView::from_f64(values, 2, 2, MemoryLayout::f_contiguous(), std::nullopt,
                                       TimeIndex::none(), MissingPolicy::Error);
  ASSERT_TRUE(view.has_value());
  EXPECT_EQ(view->values().type(), ValueType::F64);
  EXPECT_EQ(view->values().as_f64().data(), values.data());
  EXPECT_TRUE(view->values().as_f32().empty());
}

TEST(MemoryLayoutTest, TextForms) {
  EXPECT_EQ(MemoryLayout::c_contiguous().text(), "CContiguous");
  EXPECT_EQ(MemoryLayout::f_contiguous().text(), "FContiguous");
  EXPECT_EQ(MemoryLayout::strided(-2, 5).text(), "Strided { row_stride: -2, col_stride: 5 }");
  EXPECT_EQ(MemoryLayout::strided(std::numeric_limits<std::int64_t>::min(), 1).text(),
            "Strided { row_stride: -9223372036854775808, col_stride: 1 }");
}

// ---------------------------------------------------------------------------------------------
// Reading: every layout and value type gives the same logical matrix.

struct LayoutCase {
  const char* name;
  std::size_t n;
  std::size_t d;
  MemoryLayout layout;
};

// Stored value at buffer position p; distinct and exact in f32.
double stored(std::size_t p) { return 0.25 * static_cast<double>(p) - 3.0; }

// The element (t, j) by the layout table, computed independently of the view.
std::int64_t oracle_position(const LayoutCase& c, std::size_t t, std::size_t j) {
  const auto ti = static_cast<std::int64_t>(t);
  const auto ji = static_cast<std::int64_t>(j);
  switch (c.layout.kind) {
    case LayoutKind::CContiguous:
      return ti * static_cast<std::int64_t>(c.d) + ji;
    case LayoutKind::FContiguous:
      return ti + ji * static_cast<std::int64_t>(c.n);
    case LayoutKind::Strided:
      return ti * c.layout.row_stride + ji * c.layout.col_stride;
  }
  return -1;
}

class LayoutReadTest : public ::testing::TestWithParam<std::tuple<LayoutCase, ValueType>> {};

TEST_P(LayoutReadTest, EveryReaderAgreesWithThePositionTable) {
  const auto& [c, type] = GetParam();
  const std::size_t count = c.n * c.d;
  std::vector<double> f64(count);
  std::vector<std::uint8_t> mask(count);
  for (std::size_t p = 0; p < count; ++p) {
    f64[p] = stored(p);
    mask[p] = static_cast<std::uint8_t>(p % 3 == 1);
  }
  std::vector<float> f32(f64.begin(), f64.end());
  const ValueBuffer values =
      type == ValueType::F32 ? ValueBuffer::of_f32(f32) : ValueBuffer::of_f64(f64);
  auto view =
      TimeSeriesView::create(values, c.n, c.d, c.layout, std::span<const std::uint8_t>(mask),
                             TimeIndex::none(), MissingPolicy::Ignore);
  ASSERT_TRUE(view.has_value()) << view.error().display();
  auto acc = view->accessor();
  ASSERT_TRUE(acc.has_value());

  std::vector<double> row(c.d);
  std::vector<double> column(c.n);
  for (std::size_t t = 0; t < c.n; ++t) {
    acc->read_row(t, row);
    for (std::size_t j = 0; j < c.d; ++j) {
      const auto p = static_cast<std::size_t>(oracle_position(c, t, j));
      const Position pos = view->locate(t, j);
      ASSERT_TRUE(pos.ok()) << "t=" << t << " j=" << j;
      EXPECT_EQ(pos.index, p);
      EXPECT_EQ(view->value_at(pos.index), stored(p));
      EXPECT_EQ(view->masked_at(pos.index), p % 3 == 1);
      EXPECT_EQ(acc->value(t, j), stored(p));
      EXPECT_EQ(acc->masked(t, j), p % 3 == 1);
      EXPECT_EQ(row[j], stored(p));
    }
  }
  for (std::size_t j = 0; j < c.d; ++j) {
    acc->read_column(j, column);
    for (std::size_t t = 0; t < c.n; ++t) {
      EXPECT_EQ(column[t], stored(static_cast<std::size_t>(oracle_position(c, t, j))));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutReadTest,
    ::testing::Combine(
        ::testing::Values(LayoutCase{"C", 5, 3, MemoryLayout::c_contiguous()},
                          LayoutCase{"F", 5, 3, MemoryLayout::f_contiguous()},
                          LayoutCase{"StridedRowMajor", 5, 3, MemoryLayout::strided(3, 1)},
                          LayoutCase{"StridedColumnMajor", 5, 3, MemoryLayout::strided(1, 5)},
                          LayoutCase{"StridedOverlapping", 4, 3, MemoryLayout::strided(2, 2)},
                          LayoutCase{"NegativeRowStrideOneRow", 1, 4, MemoryLayout::strided(-9, 1)},
                          LayoutCase{"NegativeColStrideOneColumn", 4, 1,
                                     MemoryLayout::strided(1, -1)},
                          LayoutCase{"NegativeStridesSingle", 1, 1, MemoryLayout::strided(-1, -1)},
                          LayoutCase{"CSingleColumn", 6, 1, MemoryLayout::c_contiguous()},
                          LayoutCase{"FSingleRow", 1, 6, MemoryLayout::f_contiguous()}),
        ::testing::Values(ValueType::F32, ValueType::F64)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == ValueType::F32 ? "_f32" : "_f64");
    });

TEST(LayoutReadTest, F32IsWidenedExactly) {
  const std::vector<float> values = {0.1f, -1.0e-30f, 3.4e38f};
  auto view =
      TimeSeriesView::create(ValueBuffer::of_f32(values), 3, 1, MemoryLayout::c_contiguous(),
                             std::nullopt, TimeIndex::none(), MissingPolicy::Error);
  ASSERT_TRUE(view.has_value());
  for (std::size_t t = 0; t < 3; ++t) {
    EXPECT_EQ(view->value_at(t), static_cast<double>(values[t]));
    EXPECT_EQ(view->accessor()->value(t, 0), static_cast<double>(values[t]));
  }
}

// ---------------------------------------------------------------------------------------------
// Refused positions: a view that passed validation still never reads outside its buffer.

struct FaultCase {
  const char* name;
  std::size_t n;
  std::size_t d;
  MemoryLayout layout;
  std::size_t t;
  std::size_t j;
  PositionFault fault;
  std::int64_t signed_index = 0;  // for strided Negative and OutOfBounds
  std::size_t index = 0;          // for contiguous OutOfBounds
};

class PositionFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PositionFaultTest, RefusedWithItsReason) {
  const FaultCase& c = GetParam();
  std::vector<double> values(c.n * c.d, 1.0);
  auto view = TimeSeriesView::create(ValueBuffer::of_f64(values), c.n, c.d, c.layout, std::nullopt,
                                     TimeIndex::none(), MissingPolicy::Error);
  ASSERT_TRUE(view.has_value()) << view.error().display();
  const Position pos = view->locate(c.t, c.j);
  EXPECT_EQ(pos.fault, c.fault);
  if (c.layout.kind == LayoutKind::Strided &&
      (c.fault == PositionFault::Negative || c.fault == PositionFault::OutOfBounds)) {
    EXPECT_EQ(pos.signed_index, c.signed_index);
  }
  if (c.layout.kind != LayoutKind::Strided && c.fault == PositionFault::OutOfBounds) {
    EXPECT_EQ(pos.index, c.index);
  }
}

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kAboveSigned = static_cast<std::size_t>(kI64Max) + 1;

INSTANTIATE_TEST_SUITE_P(
    Faults, PositionFaultTest,
    ::testing::Values(FaultCase{"NegativeRowStrideAtRowOne", 3, 1, MemoryLayout::strided(-1, 1), 1,
                                0, PositionFault::Negative, -1},
                      FaultCase{"StridePastEnd", 4, 1, MemoryLayout::strided(2, 1), 2, 0,
                                PositionFault::OutOfBounds, 4},
                      FaultCase{"StridedTimeTooLarge", 2, 1, MemoryLayout::strided(1, 1),
                                kAboveSigned, 0, PositionFault::TimeIndexTooLarge},
                      FaultCase{"StridedTimeBeforeDimension", 2, 1, MemoryLayout::strided(1, 1),
                                kAboveSigned, kAboveSigned, PositionFault::TimeIndexTooLarge},
                      FaultCase{"StridedDimensionTooLarge", 2, 1, MemoryLayout::strided(1, 1), 0,
                                kAboveSigned, PositionFault::DimensionIndexTooLarge},
                      FaultCase{"StridedProductOverflow", 3, 1,
                                MemoryLayout::strided(kI64Max / 2 + 1, 1), 2, 0,
                                PositionFault::Overflow},
                      FaultCase{"StridedSumOverflow", 2, 2,
                                MemoryLayout::strided(kI64Max / 2 + 1, kI64Max / 2 + 1), 1, 1,
                                PositionFault::Overflow},
                      FaultCase{"StridedNegativeSumOverflow", 2, 2,
                                MemoryLayout::strided(std::numeric_limits<std::int64_t>::min(), -1),
                                1, 1, PositionFault::Overflow},
                      FaultCase{"CRowOutOfShape", 3, 2, MemoryLayout::c_contiguous(), 3, 0,
                                PositionFault::OutOfBounds, 0, 6},
                      FaultCase{"CColumnOutOfShape", 3, 2, MemoryLayout::c_contiguous(), 2, 2,
                                PositionFault::OutOfBounds, 0, 6},
                      FaultCase{"CProductOverflow", 3, 2, MemoryLayout::c_contiguous(), kSizeMax, 0,
                                PositionFault::Overflow},
                      FaultCase{"CSumOverflow", 1, 1, MemoryLayout::c_contiguous(), kSizeMax, 1,
                                PositionFault::Overflow},
                      FaultCase{"FProductOverflow", 3, 2, MemoryLayout::f_contiguous(), 0, kSizeMax,
                                PositionFault::Overflow},
                      FaultCase{"FSumOverflow", 1, 1, MemoryLayout::f_contiguous(), kSizeMax, 1,
                                PositionFault::Overflow},
                      FaultCase{"FOutOfShape", 3, 2, MemoryLayout::f_contiguous(), 3, 1,
                                PositionFault::OutOfBounds, 0, 6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AccessorTest, RefusedWhenSomeElementFallsOutside) {
  const std::vector<double> values = {1, 2, 3, 4};
  for (MemoryLayout layout :
       {MemoryLayout::strided(-1, 1), MemoryLayout::strided(2, 1), MemoryLayout::strided(1, -1)}) {
    const std::size_t d = layout.col_stride < 0 ? 2 : 1;
    auto view = TimeSeriesView::create(ValueBuffer::of_f64(values), 4 / d, d, layout, std::nullopt,
                                       TimeIndex::none(), MissingPolicy::Error);
    ASSERT_TRUE(view.has_value()) << layout.text();
    EXPECT_FALSE(view->accessor().has_value()) << layout.text();
  }
}

TEST(AccessorTest, OutOfShapeReadsAreBugsNotReads) {
  const std::vector<double> values = {1, 2, 3, 4, 5, 6};
  auto view =
      TimeSeriesView::create(ValueBuffer::of_f64(values), 3, 2, MemoryLayout::c_contiguous(),
                             std::nullopt, TimeIndex::none(), MissingPolicy::Error);
  ASSERT_TRUE(view.has_value());
  auto acc = view->accessor();
  ASSERT_TRUE(acc.has_value());
  EXPECT_THROW((void)acc->value(3, 0), InternalError);
  EXPECT_THROW((void)acc->value(0, 2), InternalError);
  EXPECT_THROW((void)acc->masked(3, 0), InternalError);
  std::vector<double> short_row(1);
  EXPECT_THROW(acc->read_row(0, short_row), InternalError);
  std::vector<double> row(2);
  EXPECT_THROW(acc->read_row(3, row), InternalError);
  std::vector<double> column(3);
  EXPECT_THROW(acc->read_column(2, column), InternalError);
  EXPECT_THROW((void)view->value_at(6), InternalError);
  EXPECT_THROW((void)view->masked_at(6), InternalError);
  EXPECT_FALSE(view->masked_at(5));
}

// ---------------------------------------------------------------------------------------------
// Missing-value compatibility.

struct CompatCase {
  MissingPolicy policy;
  MissingSupport support;
  const char* error;  // nullptr: passes
};

class MissingCompatibilityTest : public ::testing::TestWithParam<CompatCase> {};

TEST_P(MissingCompatibilityTest, OnlyIgnoreNeedsMaskAware) {
  const CompatCase& c = GetParam();
  const Status status = check_missing_compatibility(c.policy, c.support);
  if (c.error == nullptr) {
    EXPECT_TRUE(status.has_value());
  } else {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), OvrelError::invalid_input(c.error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, MissingCompatibilityTest,
    ::testing::Values(
        CompatCase{MissingPolicy::Ignore, MissingSupport::Reject,
                   "incompatible missing handling: policy=Ignore requires support=MaskAware, got "
                   "support=Reject"},
        CompatCase{MissingPolicy::Ignore, MissingSupport::NaNIgnoreLossy,
                   "incompatible missing handling: policy=Ignore requires support=MaskAware, got "
                   "support=NaNIgnoreLossy"},
        CompatCase{MissingPolicy::Ignore, MissingSupport::MaskAware, nullptr},
        CompatCase{MissingPolicy::Error, MissingSupport::Reject, nullptr},
        CompatCase{MissingPolicy::Error, MissingSupport::NaNIgnoreLossy, nullptr},
        CompatCase{MissingPolicy::Reserved1, MissingSupport::Reject, nullptr},
        CompatCase{MissingPolicy::Reserved2, MissingSupport::NaNIgnoreLossy, nullptr}));

TEST(MissingTextTest, NamesAndWireValues) {
  EXPECT_EQ(missing_policy_text(MissingPolicy::Error), "Error");
  EXPECT_EQ(missing_policy_text(MissingPolicy::Ignore), "Ignore");
  EXPECT_EQ(static_cast<int>(MissingPolicy::Ignore), 3);
  EXPECT_EQ(missing_support_text(MissingSupport::Reject), "Reject");
  EXPECT_EQ(missing_support_text(MissingSupport::MaskAware), "MaskAware");
  EXPECT_EQ(missing_support_text(MissingSupport::NaNIgnoreLossy), "NaNIgnoreLossy");
  EXPECT_EQ(static_cast<int>(MissingSupport::NaNIgnoreLossy), 2);
}

}  // namespace
}  // namespace ovrel::core
