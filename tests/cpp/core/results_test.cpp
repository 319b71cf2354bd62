#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ovrel/core/results.hpp"

namespace ovrel::core {
namespace {

struct BreakpointCase {
  const char* name;
  std::size_t n;
  std::vector<std::size_t> breakpoints;
  const char* error;  // nullptr: accepted
};

class BreakpointTest : public ::testing::TestWithParam<BreakpointCase> {};

TEST_P(BreakpointTest, CreateChecksInOrder) {
  const BreakpointCase& c = GetParam();
  auto r = OfflineChangePointResult::create(c.n, c.breakpoints, Diagnostics{});
  if (c.error == nullptr) {
    ASSERT_TRUE(r.has_value()) << r.error().display();
    std::vector<std::size_t> expected(c.breakpoints);
    if (!expected.empty()) expected.pop_back();
    EXPECT_EQ(r->breakpoints, c.breakpoints);
    EXPECT_EQ(r->change_points, expected);
    EXPECT_FALSE(r->scores.has_value());
    EXPECT_FALSE(r->segments.has_value());
    EXPECT_TRUE(r->validate(c.n).has_value());
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), OvrelError::invalid_input(c.error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, BreakpointTest,
    ::testing::Values(
        BreakpointCase{"EmptyAtZero", 0, {}, nullptr},
        BreakpointCase{
            "ZeroAtZero", 0, {0}, "breakpoints must be empty when n=0; got breakpoints=[0]"},
        BreakpointCase{
            "TwoAtZero", 0, {1, 2}, "breakpoints must be empty when n=0; got breakpoints=[1, 2]"},
        BreakpointCase{"EmptyList",
                       5,
                       {},
                       "breakpoints must be non-empty and include n=5 as the final element"},
        BreakpointCase{"OneSegment", 5, {5}, nullptr},
        BreakpointCase{"ThreeSegments", 10, {3, 7, 10}, nullptr},
        BreakpointCase{"Zero", 10, {0, 10}, "breakpoints[0] must be > 0; got 0"},
        BreakpointCase{"BoundBeforeOrder",
                       10,
                       {3, 11, 2},
                       "breakpoints[1] must be <= n; got breakpoint=11, n=10"},
        BreakpointCase{"ZeroBeforeOrder", 10, {3, 0}, "breakpoints[1] must be > 0; got 0"},
        BreakpointCase{
            "Order",
            10,
            {7, 3, 10},
            "breakpoints must be strictly increasing and unique: breakpoints[1]=3, previous=7"},
        BreakpointCase{
            "Repeat",
            10,
            {3, 3, 10},
            "breakpoints must be strictly increasing and unique: breakpoints[1]=3, previous=3"},
        BreakpointCase{"NoFinal",
                       10,
                       {3, 7},
                       "breakpoints must include n as the final element: last=7, n=10"}),
    [](const auto& info) { return std::string(info.param.name); });

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
