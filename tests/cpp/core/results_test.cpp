#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "ovrel/core/results.hpp"
#include "test_data.hpp"

namespace ovrel::core {
namespace {

using Row = std::vector<std::string>;

class BreakpointTest : public ::testing::TestWithParam<Row> {};

TEST(BreakpointTest, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("core_breakpoints.txt").size(), 12u);
}

TEST_P(BreakpointTest, CreateChecksInOrder) {
  const Row& c = GetParam();
  ASSERT_EQ(c.size(), 4u);
  const std::size_t n = std::stoull(c[1]);
  std::vector<std::size_t> breakpoints;
  std::istringstream in(c[2]);
  for (std::size_t b; in >> b;) breakpoints.push_back(b);
  auto r = OfflineChangePointResult::create(n, breakpoints, Diagnostics{});
  if (c[3] != "ok") {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), OvrelError::invalid_input(c[3]));
    return;
  }
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->breakpoints, breakpoints);
  if (!breakpoints.empty()) breakpoints.pop_back();
  EXPECT_EQ(r->change_points, breakpoints);
  EXPECT_FALSE(r->scores.has_value());
  EXPECT_FALSE(r->segments.has_value());
  EXPECT_TRUE(r->validate(n).has_value());
}

INSTANTIATE_TEST_SUITE_P(Results, BreakpointTest,
                         ::testing::ValuesIn(test_support::data_rows("core_breakpoints.txt")),
                         [](const auto& info) { return info.param.at(0); });

TEST(SegmentsFromBreakpointsTest, HalfOpenPairs) {
  using P = std::pair<std::size_t, std::size_t>;
  const std::vector<std::size_t> b{3, 7, 10};
  EXPECT_EQ(segments_from_breakpoints(10, b), (std::vector<P>{{0, 3}, {3, 7}, {7, 10}}));
  EXPECT_TRUE(segments_from_breakpoints(0, {}).empty());
  EXPECT_EQ(segments_from_breakpoints(4, std::vector<std::size_t>{4}), (std::vector<P>{{0, 4}}));
}

SegmentStats segment(std::size_t start, std::size_t end) {
  SegmentStats s;
  s.start = start;
  s.end = end;
  s.count = end - start;
  return s;
}

// A valid three-segment result over n = 10, d = 2, which each case then breaks in one way.
OfflineChangePointResult valid_result() {
  Diagnostics dg;
  dg.n = 10;
  dg.d = 2;
  auto r = OfflineChangePointResult::create(10, {3, 7, 10}, dg).value();
  r.scores = std::vector<double>{1.0, 2.0};
  r.segments = std::vector<SegmentStats>{segment(0, 3), segment(3, 7), segment(7, 10)};
  return r;
}

struct ResultValidateCase {
  const char* name;
  void (*mutate)(OfflineChangePointResult&);
  const char* error;
};

class ResultValidateTest : public ::testing::TestWithParam<ResultValidateCase> {};

TEST_P(ResultValidateTest, FirstFailureInOrder) {
  OfflineChangePointResult r = valid_result();
  GetParam().mutate(r);
  const OfflineChangePointResult before = r;
  auto status = r.validate(10);
  EXPECT_EQ(r, before);
  if (GetParam().error == nullptr) {
    EXPECT_TRUE(status.has_value()) << status.error().display();
  } else {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), OvrelError::invalid_input(GetParam().error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, ResultValidateTest,
    ::testing::Values(
        ResultValidateCase{"Valid", [](OfflineChangePointResult&) {}, nullptr},
        ResultValidateCase{"Breakpoints",
                           [](OfflineChangePointResult& r) {
                             r.breakpoints = {3, 7};
                           },
                           "breakpoints must include n as the final element: last=7, n=10"},
        ResultValidateCase{
            "ChangePoints", [](OfflineChangePointResult& r) { r.change_points = {3}; },
            "change_points must equal breakpoints excluding n; got change_points=[3], "
            "expected=[3, 7]"},
        ResultValidateCase{
            "ChangePointValue",
            [](OfflineChangePointResult& r) {
              r.change_points = {3, 8};
            },
            "change_points must equal breakpoints excluding n; got change_points=[3, 8], "
            "expected=[3, 7]"},
        ResultValidateCase{
            "Scores", [](OfflineChangePointResult& r) { r.scores = std::vector<double>{0.5}; },
            "scores length must equal change_points length; got scores=1, change_points=2"},
        ResultValidateCase{"NonFiniteScoresPass",
                           [](OfflineChangePointResult& r) {
                             r.scores = std::vector<double>{-INFINITY, INFINITY};
                           },
                           nullptr},
        ResultValidateCase{
            "SegmentsLength", [](OfflineChangePointResult& r) { r.segments->pop_back(); },
            "segments length must equal breakpoints length; got segments=2, breakpoints=3"},
        ResultValidateCase{"EndBeforeStart",
                           [](OfflineChangePointResult& r) {
                             (*r.segments)[1].start = 5;
                             (*r.segments)[1].end = 3;
                           },
                           "segments[1] has end < start: start=5, end=3"},
        ResultValidateCase{
            "Count", [](OfflineChangePointResult& r) { (*r.segments)[2].count = 4; },
            "segments[2] count mismatch: count=4, expected=3 from [start=7, end=10)"},
        ResultValidateCase{"MissingEqualCountPasses",
                           [](OfflineChangePointResult& r) { (*r.segments)[0].missing_count = 3; },
                           nullptr},
        ResultValidateCase{
            "MissingAboveCount",
            [](OfflineChangePointResult& r) { (*r.segments)[0].missing_count = 4; },
            "segments[0] missing_count must be <= count; got missing_count=4, count=3"},
        ResultValidateCase{
            "Boundaries", [](OfflineChangePointResult& r) { (*r.segments)[1] = segment(4, 7); },
            "segments[1] boundaries mismatch: got [start=4, end=7), expected [start=3, "
            "end=7)"},
        ResultValidateCase{"MeanLength",
                           [](OfflineChangePointResult& r) {
                             (*r.segments)[0].mean = std::vector<double>{1, 2, 3};
                             (*r.segments)[0].variance = std::vector<double>{1};
                           },
                           "segments[0].mean length must equal diagnostics.d; got mean_len=3, "
                           "diagnostics.d=2"},
        ResultValidateCase{
            "VarianceLength",
            [](OfflineChangePointResult& r) {
              (*r.segments)[2].mean = std::vector<double>{1, 2};
              (*r.segments)[2].variance = std::vector<double>{1};
            },
            "segments[2].variance length must equal diagnostics.d; got variance_len=1, "
            "diagnostics.d=2"},
        ResultValidateCase{"AnyLengthWhenDIsZero",
                           [](OfflineChangePointResult& r) {
                             r.diagnostics.d = 0;
                             (*r.segments)[0].mean = std::vector<double>{1, 2, 3};
                             (*r.segments)[1].variance = std::vector<double>{};
                           },
                           nullptr},
        ResultValidateCase{"DiagnosticsNNotCompared",
                           [](OfflineChangePointResult& r) { r.diagnostics.n = 99; }, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ovrel::core
