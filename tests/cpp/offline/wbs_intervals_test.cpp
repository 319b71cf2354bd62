// The interval lists of WBS: the generator, the list helpers, the adaptive interval count and the
// golden lists every platform must reproduce for a seed.

#include "ovrel/offline/wbs_intervals.hpp"

#include <algorithm>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ovrel/core/stopping.hpp"
#include "ovrel/core/text.hpp"
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

// Brute force: the random strategy's reachable intervals [a, b) (a <= n - 2, b - a >= 2m) with an
// admissible split, and the feasible windows of one length.
Intervals feasible_random_oracle(std::size_t n, std::size_t m, const std::vector<std::size_t>& c) {
  Intervals out;
  for (std::size_t a = 0; a + 2 <= n; ++a) {
    for (std::size_t b = a + 2 * m; b <= n; ++b) {
      if (*wbs::split_window_for_interval({a, b}, c, m)) out.push_back({a, b});
    }
  }
  return out;
}
std::size_t feasible_windows_oracle(std::size_t n, std::size_t len, std::size_t m,
                                    const std::vector<std::size_t>& c) {
  std::size_t count = 0;
  for (std::size_t a = 0; len >= 2 * m && a + len <= n; ++a) {
    count += wbs::split_window_for_interval({a, a + len}, c, m)->has_value() ? 1 : 0;
  }
  return count;
}

TEST(WbsIntervals, FeasibleCountsMatchBruteForce) {
  const std::vector<std::vector<std::size_t>> explicit_sets{{}, {5}, {3, 10, 11}, {1, 2, 30}};
  for (std::size_t n = 1; n <= 33; n += 4) {
    for (const std::size_t m : {1, 2, 3, 5}) {
      std::vector<std::vector<std::size_t>> sets = explicit_sets;
      for (const std::size_t jump : {1, 2, 3, 7}) sets.push_back(all_candidates(n, m, jump));
      for (const auto& c : sets) {
        const std::size_t total = feasible_random_oracle(n, m, c).size();
        EXPECT_EQ(wbs::count_feasible_random_intervals(n, m, c, UINT64_MAX), total) << n << m;
        EXPECT_EQ(wbs::count_feasible_random_intervals(n, m, c, 7),
                  std::min<std::size_t>(total, 7));
        for (std::size_t len = 1; len <= n + 1; ++len) {
          const std::size_t windows = feasible_windows_oracle(n, len, m, c);
          EXPECT_EQ(wbs::count_feasible_windows(n, len, m, c, UINT64_MAX), windows) << n << len;
          EXPECT_EQ(wbs::count_feasible_windows(n, len, m, c, 3),
                    std::min<std::size_t>(windows, 3));
        }
      }
    }
  }
}

// A count far above what a series holds gives every feasible interval (Random) or every feasible
// window of the dyadic lengths (Stratified), at once and from a small list.
TEST(WbsIntervals, HugeCountsGiveEveryFeasibleInterval) {
  constexpr std::size_t kHuge = std::size_t{1} << 62;
  for (const std::size_t n : {9, 40, 200}) {
    for (const std::size_t m : {1, 2, 4}) {
      const auto c = all_candidates(n, m);
      EXPECT_EQ(*generate_intervals(WbsIntervalStrategy::Random, kHuge, 3, n, m, c),
                feasible_random_oracle(n, m, c));
      Intervals windows;
      for (const std::size_t len : wbs::dyadic_lengths(n, m)) {
        for (std::size_t a = 0; a + len <= n; ++a) windows.push_back({a, a + len});
      }
      std::sort(windows.begin(), windows.end());
      EXPECT_EQ(*generate_intervals(WbsIntervalStrategy::Stratified, kHuge, 3, n, m, c), windows);
    }
  }
}

// Held against the memory budget before any draw: on 200 points, twice the 19503 feasible
// intervals (Random); the 1010 feasible windows plus twice the 197 of the largest stratum
// (Stratified).
TEST(WbsIntervals, MemoryBudgetRefusesTheListUpFront) {
  const auto c = all_candidates(200, 2);
  for (const auto& [strategy, required] : {std::pair{WbsIntervalStrategy::Random, 624096ULL},
                                           std::pair{WbsIntervalStrategy::Stratified, 22464ULL}}) {
    wbs::DrawControl control;
    int polls = 0;
    control.poll = [&]() -> Status {
      ++polls;
      return {};
    };
    control.memory_budget_bytes = required - 1;
    EXPECT_EQ(generate_intervals(strategy, std::size_t{1} << 62, 0, 200, 2, c, control).error(),
              OvrelError::resource_limit(core::cat(
                  "constraints.memory_budget_bytes exceeded for wbs intervals: required_bytes=",
                  required, ", limit_bytes=", required - 1,
                  "; increase constraints.memory_budget_bytes, or reduce num_intervals")));
    EXPECT_EQ(polls, 0);
    control.memory_budget_bytes = required;
    EXPECT_TRUE(generate_intervals(strategy, std::size_t{1} << 62, 0, 200, 2, c, control));
  }
}

TEST(WbsIntervals, RefusedListAllocationIsAResourceLimitNotACrash) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "huge allocations abort under AddressSanitizer";
#endif
  // About 5e11 feasible intervals on a million points: 16 TB of working list.
  const auto c = all_candidates(1'000'000, 2);
  EXPECT_EQ(
      generate_intervals(WbsIntervalStrategy::Random, std::size_t{1} << 62, 0, 1'000'000, 2, c)
          .error(),
      OvrelError::resource_limit(
          "wbs interval allocation failed: required_bytes=15999920000096; reduce num_intervals"));
}

// The poll runs every kDrawPollEvery attempts while a huge count draws, and its error ends the
// generation; short generations never call it.
TEST(WbsIntervals, PollIsSeenWhileDrawing) {
  for (const auto strategy : {WbsIntervalStrategy::Random, WbsIntervalStrategy::Stratified}) {
    const std::size_t n = strategy == WbsIntervalStrategy::Random ? 3000 : 100000;
    const auto c = all_candidates(n, 2);
    wbs::DrawControl control;
    int polls = 0;
    control.poll = [&]() -> Status {
      if (++polls == 3) return core::cancelled();
      return {};
    };
    EXPECT_EQ(generate_intervals(strategy, std::size_t{1} << 62, 0, n, 2, c, control).error(),
              OvrelError::cancelled());
    EXPECT_EQ(polls, 3);
    polls = 0;
    ASSERT_TRUE(generate_intervals(strategy, 100, 0, n, 2, c, control));
    EXPECT_EQ(polls, 0);
  }
}

}  // namespace
}  // namespace ovrel::offline
