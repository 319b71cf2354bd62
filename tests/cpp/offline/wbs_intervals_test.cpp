// The interval lists of WBS: the generator, the list helpers, the adaptive interval count and the
// golden lists every platform must reproduce for a seed.

#include "ovrel/offline/wbs_intervals.hpp"

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ovrel/core/stopping.hpp"
#include "ovrel/offline/wbs.hpp"
#include "test_data.hpp"

namespace ovrel::offline {
namespace {

using wbs::generate_intervals;
using wbs::StableRng;
using Intervals = std::vector<wbs::Interval>;

std::vector<std::size_t> all_candidates(std::size_t n, std::size_t m, std::size_t jump = 1) {
  std::vector<std::size_t> out;
  for (std::size_t s = jump; s < n; s += jump) {
    if (s >= m && n - s >= m) out.push_back(s);
  }
  return out;
}

// FNV-1a 64 over every start and end as a little-endian 64-bit word.
std::uint64_t digest(const Intervals& list) {
  std::uint64_t h = 14695981039346656037ULL;
  for (const wbs::Interval& iv : list) {
    for (const std::uint64_t v : {std::uint64_t{iv.start}, std::uint64_t{iv.end}}) {
      for (int byte = 0; byte < 8; ++byte) {
        h ^= (v >> (8 * byte)) & 0xffU;
        h *= 1099511628211ULL;
      }
    }
  }
  return h;
}

TEST(WbsGenerator, HelpersNameTheirRefusals) {
  StableRng rng(0);
  EXPECT_EQ(rng.gen_range(0).error(),
            OvrelError::invalid_input("StableRng.gen_range requires upper_exclusive >= 1; got 0"));
  const std::vector<std::size_t> c{1, 2, 5, 8, 9};
  EXPECT_EQ(wbs::split_window_for_interval({SIZE_MAX - 1, SIZE_MAX}, c, 2).error(),
            OvrelError::resource_limit("interval lower bound overflow"));
}

// The rows of tests/data/offline_wbs_intervals.txt: the generator's first values, the adaptive
// interval count, and the golden lists.
class WbsGolden : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST(WbsGolden, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("offline_wbs_intervals.txt").size(), 46u);
}

TEST_P(WbsGolden, ListIsPinned) {
  const auto& r = GetParam();
  const auto number = [&](std::size_t i) { return std::stoull(r.at(i), nullptr, 0); };
  if (r.at(0) == "rng") {
    StableRng rng(number(1));
    for (std::size_t i = 2; i < r.size(); ++i) EXPECT_EQ(rng.next_u64(), number(i)) << i;
    return;
  }
  if (r[0] == "adaptive") {
    const auto got = wbs::resolve_num_intervals(std::nullopt, number(1));
    EXPECT_EQ(got ? std::to_string(*got) : got.error().display(), r.at(2));
    return;
  }
  const WbsIntervalStrategy strategy = r.at(0) == "random" ? WbsIntervalStrategy::Random
                                       : r[0] == "grid"    ? WbsIntervalStrategy::DeterministicGrid
                                                           : WbsIntervalStrategy::Stratified;
  const auto candidates = all_candidates(number(1), number(2), number(4));
  const auto got =
      generate_intervals(strategy, number(3), number(5), number(1), number(2), candidates);
  ASSERT_TRUE(got) << got.error().display();
  if (r.size() == 8) {
    EXPECT_EQ(got->size(), number(6));
    EXPECT_EQ(digest(*got), number(7));
    return;
  }
  Intervals expected;
  std::istringstream pairs(r.size() > 6 ? r[6] : "");
  for (std::size_t a, b; pairs >> a >> b;) expected.push_back({a, b});
  EXPECT_EQ(*got, expected);
  // The same inputs give the same list again.
  EXPECT_EQ(*generate_intervals(strategy, number(3), number(5), number(1), number(2), candidates),
            *got);
}

INSTANTIATE_TEST_SUITE_P(Table, WbsGolden,
                         ::testing::ValuesIn(test_support::data_rows("offline_wbs_intervals.txt")));

}  // namespace
}  // namespace ovrel::offline
