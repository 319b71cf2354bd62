#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/results.hpp"

namespace ovrel::core {
namespace {

using Row = std::vector<std::string>;

OVREL_ROW_SUITE(BreakpointTest, "core_breakpoints.txt", 12);

TEST_P(BreakpointTest, CreateChecksInOrder) {
  const Row& c = GetParam();
  ASSERT_EQ(c.size(), 4u);
  const std::size_t n = std::stoull(c[1]);
  std::vector<std::size_t> breakpoints;
  std::istringstream in(c[2]);
  for (std::size_t b; in >> b;) breakpoints.push_back(b);
  auto r = OfflineChangePointResult::create(n, breakpoints, Diagnostics{});
  if (!test_support::outcome_is(r, c[3] == "ok", c[3])) return;
  EXPECT_EQ(r->breakpoints, breakpoints);
  if (!breakpoints.empty()) breakpoints.pop_back();
  EXPECT_EQ(r->change_points, breakpoints);
  EXPECT_FALSE(r->scores.has_value());
  EXPECT_FALSE(r->segments.has_value());
  EXPECT_TRUE(r->validate(n).has_value());
}

TEST(SegmentsFromBreakpointsTest, HalfOpenPairs) {
  using P = std::pair<std::size_t, std::size_t>;
  const std::vector<std::size_t> b{3, 7, 10};
  EXPECT_EQ(segments_from_breakpoints(10, b), (std::vector<P>{{0, 3}, {3, 7}, {7, 10}}));
  EXPECT_TRUE(segments_from_breakpoints(0, {}).empty());
  EXPECT_EQ(segments_from_breakpoints(4, std::vector<std::size_t>{4}), (std::vector<P>{{0, 4}}));
}

}  // namespace
}  // namespace ovrel::core
