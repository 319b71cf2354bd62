#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/detectors.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/time_series.hpp"

namespace ovrel::core {
namespace {

using namespace test_support;

// The missing policies by name, in the order of their values.
const std::string kPolicies[] = {"Error", "Reserved1", "Reserved2", "Ignore"};

// A row of a view table and the value type it runs over: every row runs over float and double.
using TypedRow = std::tuple<std::vector<std::string>, ValueType>;

auto typed_rows(const std::string& file) {
  return ::testing::Combine(::testing::ValuesIn(data_rows(file)),
                            ::testing::Values(ValueType::F32, ValueType::F64));
}

std::string typed_name(const ::testing::TestParamInfo<TypedRow>& info) {
  return std::get<0>(info.param).at(0) +
         (std::get<1>(info.param) == ValueType::F32 ? "_f32" : "_f64");
}

ValueBuffer buffer(ValueType type, const std::vector<float>& f32, const std::vector<double>& f64) {
  return type == ValueType::F32 ? ValueBuffer::of_f32(f32) : ValueBuffer::of_f64(f64);
}

// ---------------------------------------------------------------------------------------------
// Construction: ordered checks, exact messages and missing counts, from
// tests/data/core_view_create.txt.

class CreateTest : public ::testing::TestWithParam<TypedRow> {};
TEST(CreateTest, TableIsRead) { EXPECT_EQ(data_rows("core_view_create.txt").size(), 26u); }

TEST_P(CreateTest, ChecksInOrder) {
  const auto& [r, type] = GetParam();
  ASSERT_EQ(r.size(), 9u);
  const std::vector<double> f64 = numbers<double>(r[1]);
  const std::size_t n = std::stoull(r[2]), d = std::stoull(r[3]);
  const MemoryLayout layout = layout_of(r[4]);
  const std::vector<std::uint8_t> mask_bytes = numbers<std::uint8_t>(r[5]);
  std::optional<std::span<const std::uint8_t>> mask;
  if (r[5] != "-") mask = std::span<const std::uint8_t>(mask_bytes);
  const std::vector<std::int64_t> stamps = numbers<std::int64_t>(r[6].substr(r[6].find(' ') + 1));
  TimeIndex time;
  if (r[6].starts_with("uniform")) time = TimeIndex::uniform(-5, stamps.at(0));
  if (r[6].starts_with("explicit"))
    time = TimeIndex::explicit_times(r[6] == "explicit" ? std::span<const std::int64_t>() : stamps);
  const auto policy = MissingPolicy(std::find(kPolicies, std::end(kPolicies), r[7]) - kPolicies);
  const std::vector<float> f32(f64.begin(), f64.end());
  auto view = TimeSeriesView::create(buffer(type, f32, f64), n, d, layout, mask, time, policy);
  if (!outcome_is(view, r[8].starts_with("missing="), r[8])) return;
  EXPECT_EQ(view->element_count(), n * d);
  EXPECT_EQ(view->n_missing(), std::stoull(r[8].substr(8)));
}

INSTANTIATE_TEST_SUITE_P(Views, CreateTest, typed_rows("core_view_create.txt"), typed_name);

// ---------------------------------------------------------------------------------------------
// Reading: every layout and value type gives the same logical matrix, through the view, its
// accessor and the streaming detectors' step reader (tests/data/core_view_layouts.txt).

// Stored value at buffer position p; distinct and exact in float.
double stored(std::size_t p) { return 0.25 * static_cast<double>(p) - 3.0; }

class LayoutReadTest : public ::testing::TestWithParam<TypedRow> {};
TEST(LayoutReadTest, TableIsRead) { EXPECT_EQ(data_rows("core_view_layouts.txt").size(), 13u); }

TEST_P(LayoutReadTest, EveryReaderAgreesWithThePositionTable) {
  const auto& [r, type] = GetParam();
  const std::size_t n = std::stoull(r.at(1)), d = std::stoull(r.at(2));
  const MemoryLayout layout = layout_of(r.at(3));
  // The element (t, j) by the layout table, computed apart from the view: C is row-major
  // (strides d, 1), F column-major (strides 1, n).
  const bool c = layout.kind == LayoutKind::CContiguous, f = layout.kind == LayoutKind::FContiguous;
  const std::int64_t row_stride = c ? d : f ? 1 : layout.row_stride;
  const std::int64_t col_stride = c ? 1 : f ? n : layout.col_stride;
  const auto at = [&](std::size_t t, std::size_t j) { return t * row_stride + j * col_stride; };
  std::vector<double> f64(n * d);
  std::vector<std::uint8_t> mask(n * d);
  for (std::size_t p = 0; p < n * d; ++p) {
    f64[p] = stored(p);
    mask[p] = static_cast<std::uint8_t>(p % 3 == 1);
  }
  const std::vector<float> f32(f64.begin(), f64.end());
  auto view = TimeSeriesView::create(buffer(type, f32, f64), n, d, layout,
                                     std::span<const std::uint8_t>(mask), TimeIndex::none(),
                                     MissingPolicy::Ignore);
  ASSERT_TRUE(view.has_value()) << view.error().display();
  auto acc = view->accessor();
  ASSERT_EQ(acc.has_value(), r.size() == 4);
  if (!acc) return;

  std::vector<double> row(d), column(n);
  for (std::size_t t = 0; t < n; ++t) {
    acc->read_row(t, row);
    // The streaming step reader reads a masked element as NaN, never as its stored value.
    auto step = extract_step_f64(*view, t);
    ASSERT_TRUE(step.has_value()) << step.error().display();
    for (std::size_t j = 0; j < d; ++j) {
      const std::size_t p = at(t, j);
      const Position pos = view->locate(t, j);
      ASSERT_TRUE(pos.ok()) << "t=" << t << " j=" << j;
      EXPECT_EQ(pos.index, p);
      EXPECT_EQ(view->value_at(p), stored(p));
      EXPECT_EQ(view->masked_at(p), p % 3 == 1);
      EXPECT_EQ(acc->value(t, j), stored(p));
      EXPECT_EQ(acc->masked(t, j), p % 3 == 1);
      EXPECT_EQ(row[j], stored(p));
      EXPECT_TRUE(same_bits((*step)[j], p % 3 == 1 ? kNaN : stored(p))) << t << " " << j;
    }
  }
  for (std::size_t j = 0; j < d; ++j) {
    acc->read_column(j, column);
    for (std::size_t t = 0; t < n; ++t) EXPECT_EQ(column[t], stored(at(t, j)));
  }
  // Reads outside the shape or the buffer are bugs, never reads.
  std::vector<double> long_row(d + 1), long_column(n + 1);
  EXPECT_THROW((void)acc->value(n, 0), InternalError);
  EXPECT_THROW((void)acc->value(0, d), InternalError);
  EXPECT_THROW((void)acc->masked(n, 0), InternalError);
  EXPECT_THROW(acc->read_row(0, long_row), InternalError);
  EXPECT_THROW(acc->read_row(n, row), InternalError);
  EXPECT_THROW(acc->read_column(d, column), InternalError);
  EXPECT_THROW(acc->read_column(0, long_column), InternalError);
  EXPECT_THROW((void)view->value_at(n * d), InternalError);
  EXPECT_THROW((void)view->masked_at(n * d), InternalError);
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutReadTest, typed_rows("core_view_layouts.txt"), typed_name);

// ---------------------------------------------------------------------------------------------
// Refused positions: a view that passed validation still never reads outside its buffer.

OVREL_ROW_SUITE(PositionFaultTest, "core_view_positions.txt", 17);

TEST_P(PositionFaultTest, RefusedWithItsReason) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 9u);
  const std::size_t n = std::stoull(r[1]), d = std::stoull(r[2]), t = std::stoull(r[4]);
  std::vector<double> values(n * d, 1.0);
  auto view = TimeSeriesView::create(ValueBuffer::of_f64(values), n, d, layout_of(r[3]),
                                     std::nullopt, TimeIndex::none(), MissingPolicy::Error);
  ASSERT_TRUE(view.has_value()) << view.error().display();
  const Position pos = view->locate(t, std::stoull(r[5]));
  const char* const names[] = {"None",     "TimeIndexTooLarge", "DimensionIndexTooLarge",
                               "Overflow", "Negative",          "OutOfBounds"};
  EXPECT_EQ(names[static_cast<int>(pos.fault)], r[6]);
  if (r[7] != "-") {
    EXPECT_EQ(r[3].starts_with("strided") ? pos.signed_index : static_cast<std::int64_t>(pos.index),
              std::stoll(r[7]));
  }
  if (r[8] != "-") {
    EXPECT_EQ(extract_step_f64(*view, t).error(), OvrelError::invalid_input(r[8]));
  }
}

// Every pair of policy and support, from tests/data/core_missing_support.txt.
TEST(MissingCompatibilityTest, OnlyIgnoreNeedsMaskAware) {
  const auto rows = data_rows("core_missing_support.txt");
  ASSERT_EQ(rows.size(), 12u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].at(0) + " " + rows[i].at(1));
    const auto policy =
        MissingPolicy(std::find(kPolicies, std::end(kPolicies), rows[i][0]) - kPolicies);
    outcome_is(check_missing_compatibility(policy, MissingSupport(i % 3)), rows[i].at(2) == "ok",
               rows[i].at(2));
  }
}

}  // namespace
}  // namespace ovrel::core
