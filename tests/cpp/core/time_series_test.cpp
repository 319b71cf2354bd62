#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "ovrel/core/detectors.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/time_series.hpp"
#include "test_data.hpp"

namespace ovrel::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

// ---------------------------------------------------------------------------------------------
// Construction: ordered checks, exact messages and missing counts, from
// tests/data/core_view_create.txt; every case runs over f32 and f64.

struct CreateParam {
  std::vector<std::string> row;
  ValueType type;
};

template <class T>
std::vector<T> numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<T> out;
  for (std::string word; in >> word;)
    out.push_back(static_cast<T>(std::strtod(word.c_str(), nullptr)));
  return out;
}

std::vector<CreateParam> create_params() {
  std::vector<CreateParam> out;
  for (const auto& row : test_support::data_rows("core_view_create.txt")) {
    for (ValueType type : {ValueType::F32, ValueType::F64}) out.push_back({row, type});
  }
  return out;
}

class CreateTest : public ::testing::TestWithParam<CreateParam> {};

TEST(CreateTest, TableIsRead) { EXPECT_EQ(create_params().size(), 2 * 26u); }

TEST_P(CreateTest, ChecksInOrder) {
  const std::vector<std::string>& r = GetParam().row;
  ASSERT_EQ(r.size(), 9u);
  const std::vector<double> f64 = numbers<double>(r[1]);
  const std::vector<float> f32(f64.begin(), f64.end());
  const std::size_t n = std::stoull(r[2]);
  const std::size_t d = std::stoull(r[3]);
  const std::vector<std::int64_t> strides = numbers<std::int64_t>(r[4].substr(1));
  const MemoryLayout layout = r[4] == "C"   ? MemoryLayout::c_contiguous()
                              : r[4] == "F" ? MemoryLayout::f_contiguous()
                                            : MemoryLayout::strided(strides.at(1), strides.at(2));
  const std::vector<std::uint8_t> mask_bytes = numbers<std::uint8_t>(r[5]);
  std::optional<std::span<const std::uint8_t>> mask;
  if (r[5] != "-") mask = std::span<const std::uint8_t>(mask_bytes);
  const std::vector<std::int64_t> stamps = numbers<std::int64_t>(r[6].substr(r[6].find(' ') + 1));
  TimeIndex time;
  if (r[6].starts_with("uniform")) time = TimeIndex::uniform(-5, stamps.at(0));
  if (r[6].starts_with("explicit"))
    time = TimeIndex::explicit_times(r[6] == "explicit" ? std::span<const std::int64_t>() : stamps);
  const MissingPolicy policy = r[7] == "Error"    ? MissingPolicy::Error
                               : r[7] == "Ignore" ? MissingPolicy::Ignore
                                                  : MissingPolicy::Reserved2;
  const ValueBuffer values =
      GetParam().type == ValueType::F32 ? ValueBuffer::of_f32(f32) : ValueBuffer::of_f64(f64);

  auto view = TimeSeriesView::create(values, n, d, layout, mask, time, policy);
  if (!r[8].starts_with("missing=")) {
    ASSERT_FALSE(view.has_value());
    EXPECT_EQ(view.error(), OvrelError::invalid_input(r[8]));
    return;
  }
  ASSERT_TRUE(view.has_value()) << view.error().display();
  EXPECT_EQ(view->n(), n);
  EXPECT_EQ(view->d(), d);
  EXPECT_EQ(view->element_count(), n * d);
  EXPECT_EQ(view->n_missing(), std::stoull(r[8].substr(8)));
  EXPECT_EQ(view->missing(), policy);
  EXPECT_EQ(view->layout(), layout);
  EXPECT_EQ(view->values().type(), GetParam().type);
  EXPECT_EQ(view->time().kind, time.kind);
}

INSTANTIATE_TEST_SUITE_P(Views, CreateTest, ::testing::ValuesIn(create_params()),
                         [](const ::testing::TestParamInfo<CreateParam>& info) {
                           return info.param.row.at(0) +
                                  (info.param.type == ValueType::F32 ? "_f32" : "_f64");
                         });

// ---------------------------------------------------------------------------------------------
// Reading: every layout and value type gives the same logical matrix, through the view, its
// accessor and the streaming detectors' step reader.

struct LayoutCase {
  const char* name;
  std::size_t n;
  std::size_t d;
  MemoryLayout layout;
};

bool same_bits(double a, double b) { return std::isnan(a) ? std::isnan(b) : a == b; }

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
    // The streaming step reader reads a masked element as NaN, never as its stored value.
    auto step = extract_step_f64(*view, t);
    ASSERT_TRUE(step.has_value()) << step.error().display();
    for (std::size_t j = 0; j < c.d; ++j) {
      const auto p = static_cast<std::size_t>(oracle_position(c, t, j));
      EXPECT_TRUE(same_bits((*step)[j], p % 3 == 1 ? kNaN : stored(p))) << t << " " << j;
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

// ---------------------------------------------------------------------------------------------
// Refused positions: a view that passed validation still never reads outside its buffer.

// A number of tests/data/core_view_positions.txt.
std::int64_t position_number(const std::string& word) {
  if (word == "i64max") return kI64Max;
  if (word == "i64min") return std::numeric_limits<std::int64_t>::min();
  if (word == "half") return kI64Max / 2 + 1;
  if (word == "usizemax" || word == "2^63") {
    // Carried in the same 64 bits; read back as size_t by the caller.
    return static_cast<std::int64_t>(word == "2^63" ? std::uint64_t{1} << 63 : UINT64_MAX);
  }
  return std::stoll(word);
}

class PositionFaultTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(PositionFaultTest, RefusedWithItsReason) {
  const auto& r = GetParam();
  ASSERT_EQ(test_support::data_rows("core_view_positions.txt").size(), 17u);
  ASSERT_EQ(r.size(), 9u);
  const auto size = [](const std::string& w) {
    return static_cast<std::size_t>(position_number(w));
  };
  const std::size_t n = size(r[1]), d = size(r[2]);
  std::istringstream words(r[3]);
  std::string kind, row_stride, col_stride;
  words >> kind >> row_stride >> col_stride;
  const MemoryLayout layout = kind == "C"   ? MemoryLayout::c_contiguous()
                              : kind == "F" ? MemoryLayout::f_contiguous()
                                            : MemoryLayout::strided(position_number(row_stride),
                                                                    position_number(col_stride));
  std::vector<double> values(n * d, 1.0);
  auto view = TimeSeriesView::create(ValueBuffer::of_f64(values), n, d, layout, std::nullopt,
                                     TimeIndex::none(), MissingPolicy::Error);
  ASSERT_TRUE(view.has_value()) << view.error().display();
  const Position pos = view->locate(size(r[4]), size(r[5]));
  const char* const names[] = {"None",     "TimeIndexTooLarge", "DimensionIndexTooLarge",
                               "Overflow", "Negative",          "OutOfBounds"};
  EXPECT_EQ(names[static_cast<int>(pos.fault)], r[6]);
  if (r[7] != "-") {
    EXPECT_EQ(kind == "strided" ? pos.signed_index : static_cast<std::int64_t>(pos.index),
              position_number(r[7]));
  }
  if (r[8] != "-") {
    EXPECT_EQ(extract_step_f64(*view, size(r[4])).error(), OvrelError::invalid_input(r[8]));
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, PositionFaultTest,
                         ::testing::ValuesIn(test_support::data_rows("core_view_positions.txt")),
                         [](const auto& info) { return info.param.at(0); });

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

// Every pair of policy and support: only Ignore asks for anything, and it asks for MaskAware.
TEST(MissingCompatibilityTest, OnlyIgnoreNeedsMaskAware) {
  const std::pair<MissingSupport, const char*> supports[] = {
      {MissingSupport::Reject, "Reject"},
      {MissingSupport::MaskAware, "MaskAware"},
      {MissingSupport::NaNIgnoreLossy, "NaNIgnoreLossy"}};
  for (MissingPolicy policy : {MissingPolicy::Error, MissingPolicy::Reserved1,
                               MissingPolicy::Reserved2, MissingPolicy::Ignore}) {
    for (const auto& [support, name] : supports) {
      const Status status = check_missing_compatibility(policy, support);
      if (policy != MissingPolicy::Ignore || support == MissingSupport::MaskAware) {
        EXPECT_TRUE(status.has_value()) << name;
      } else {
        EXPECT_EQ(status.error(), OvrelError::invalid_input(
                                      std::string("incompatible missing handling: policy=Ignore "
                                                  "requires support=MaskAware, got support=") +
                                      name));
      }
    }
  }
}

}  // namespace
}  // namespace ovrel::core
