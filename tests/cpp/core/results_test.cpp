#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/results.hpp"

namespace ovrel::core {
namespace {

using Row = std::vector<std::string>;

// The segment bounds the breakpoints give are checked through the documents of
// tests/data/core_result_documents.txt, whose segments must match them.
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

}  // namespace
}  // namespace ovrel::core
