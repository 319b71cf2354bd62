// The interval lists of WBS: the generator, the list helpers and the golden lists every platform
// must reproduce for a seed, with the configuration checks and the adaptive interval count.

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

using core::Stopping;
using wbs::generate_grid_intervals;
using wbs::generate_intervals;
using wbs::initial_interval_capacity;
using wbs::Interval;
using wbs::kRandomMinAttempts;
using wbs::resolve_num_intervals;
using wbs::split_window_for_interval;
using wbs::StableRng;
using Intervals = std::vector<Interval>;

std::vector<std::size_t> all_candidates(std::size_t n, std::size_t m, std::size_t jump = 1) {
  std::vector<std::size_t> out;
  for (std::size_t s = jump; s < n; s += jump) {
    if (s >= m && n - s >= m) out.push_back(s);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Generator and interval lists. The golden values come from an independent transcription of the
// arithmetic; they pin the lists every platform must reproduce for a seed.

TEST(WbsGenerator, FirstValuesArePinned) {
  StableRng zero(0);
  EXPECT_EQ(zero.next_u64(), 0x6e789e6aa1b965f4ULL);
  EXPECT_EQ(zero.next_u64(), 0x06c45d188009454fULL);
  EXPECT_EQ(zero.next_u64(), 0xf88bb8a8724c81ecULL);
  EXPECT_EQ(zero.next_u64(), 0x1b39896a51a8749bULL);
  StableRng other(0x123456789abcdef0ULL);
  EXPECT_EQ(other.next_u64(), 0xad760cafa1697b60ULL);
  EXPECT_EQ(other.next_u64(), 0x3501ff44902ca50dULL);
  EXPECT_EQ(other.next_u64(), 0x417cb9a826d831dfULL);
  StableRng wraps(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(wraps.next_u64(), 0xe99ff867dbf682c9ULL);
  EXPECT_EQ(wraps.next_u64(), 0x382ff84cb27281e9ULL);
}

TEST(WbsGenerator, HelpersNameTheirRefusals) {
  StableRng rng(0);
  EXPECT_EQ(rng.gen_range(0).error(),
            OvrelError::invalid_input("StableRng.gen_range requires upper_exclusive >= 1; got 0"));
  const std::vector<std::size_t> c{1, 2, 5, 8, 9};
  EXPECT_EQ(split_window_for_interval({SIZE_MAX - 1, SIZE_MAX}, c, 2).error(),
            OvrelError::resource_limit("interval lower bound overflow"));
}

// The golden lists of tests/data/offline_wbs_intervals.txt: a strategy, n, m, count, jump and
// seed, and the list as "start end" pairs.
class WbsGolden : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST(WbsGolden, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("offline_wbs_intervals.txt").size(), 11u);
}

TEST_P(WbsGolden, ListIsPinned) {
  const auto& r = GetParam();
  const auto number = [&](std::size_t i) { return std::stoull(r.at(i)); };
  const WbsIntervalStrategy strategy = r.at(0) == "random" ? WbsIntervalStrategy::Random
                                       : r[0] == "grid"    ? WbsIntervalStrategy::DeterministicGrid
                                                           : WbsIntervalStrategy::Stratified;
  Intervals expected;
  std::istringstream pairs(r.size() > 6 ? r[6] : "");
  for (std::size_t a, b; pairs >> a >> b;) expected.push_back({a, b});
  const auto candidates = all_candidates(number(1), number(2), number(4));
  const auto got =
      generate_intervals(strategy, number(3), number(5), number(1), number(2), candidates);
  ASSERT_TRUE(got) << got.error().display();
  EXPECT_EQ(*got, expected);
  // The same inputs give the same list again.
  EXPECT_EQ(*generate_intervals(strategy, number(3), number(5), number(1), number(2), candidates),
            *got);
}

INSTANTIATE_TEST_SUITE_P(Table, WbsGolden,
                         ::testing::ValuesIn(test_support::data_rows("offline_wbs_intervals.txt")));

TEST(WbsIntervals, HugeCountReservesOnlyWhatTheAttemptsCanFill) {
  EXPECT_EQ(initial_interval_capacity(10), 10U);
  EXPECT_EQ(initial_interval_capacity(SIZE_MAX), kRandomMinAttempts);
  // The grid holds at most its feasible windows, whatever the count asked for.
  const auto grid = generate_grid_intervals(10, 2, SIZE_MAX, all_candidates(10, 2));
  ASSERT_TRUE(grid) << grid.error().display();
  EXPECT_EQ(grid->size(), 9U);
}

TEST(WbsConfigValidate, ChecksInOrder) {
  WbsConfig config;
  config.stopping = Stopping::known_k(0);
  config.params_per_segment = 0;
  config.num_intervals = 0;
  EXPECT_EQ(config.validate().error(),
            OvrelError::invalid_input("Stopping::KnownK requires k >= 1; got 0"));
  config.stopping = Stopping::known_k(1);
  EXPECT_EQ(config.validate().error(),
            OvrelError::invalid_input("WbsConfig.params_per_segment must be >= 1; got 0"));
  config.params_per_segment = 2;
  EXPECT_EQ(config.validate().error(),
            OvrelError::invalid_input("WbsConfig.num_intervals must be >= 1 when provided; got 0"));
  config.num_intervals = std::nullopt;
  EXPECT_TRUE(config.validate());
}

TEST(WbsHelpers, ResolveNumIntervals) {
  const std::vector<std::pair<std::size_t, std::size_t>> table{
      {1, 100}, {400, 100}, {401, 101}, {1000, 159}, {10000, 500}};
  for (const auto& [n, expected] : table)
    EXPECT_EQ(*resolve_num_intervals(std::nullopt, n), expected);
  EXPECT_EQ(*resolve_num_intervals(7, 1000), 7U);
  EXPECT_EQ(resolve_num_intervals(std::nullopt, 0).error(),
            OvrelError::invalid_input("adaptive interval count must be finite and > 0.0; got 0"));
}

}  // namespace
}  // namespace ovrel::offline
