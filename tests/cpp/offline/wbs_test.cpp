#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "offline/offline_test_support.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"
#include "ovrel/offline/wbs_impl.hpp"

namespace ovrel::offline {
namespace {

using core::Constraints;
using core::ExecutionContext;
using core::Penalty;
using core::Stopping;
using costs::CostL2Mean;
using namespace testing;
using wbs::downsample_evenly;
using wbs::dyadic_lengths;
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

Wbs<CostL2Mean> l2_wbs(Stopping stopping,
                       WbsIntervalStrategy strategy = WbsIntervalStrategy::Random,
                       std::optional<std::size_t> num_intervals = std::nullopt,
                       std::uint64_t seed = 0) {
  WbsConfig config;
  config.num_intervals = num_intervals;
  config.interval_strategy = strategy;
  config.seed = seed;
  config.stopping = std::move(stopping);
  return {config, CostL2Mean{}};
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

TEST(WbsGenerator, GenRangeIsAPlainRemainder) {
  StableRng rng(0);
  EXPECT_EQ(*rng.gen_range(99), 54U);
  EXPECT_EQ(*rng.gen_range(99), 1U);
  EXPECT_EQ(*rng.gen_range(99), 25U);
  const auto err = rng.gen_range(0);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(),
            OvrelError::invalid_input("StableRng.gen_range requires upper_exclusive >= 1; got 0"));
}

TEST(WbsIntervals, DyadicLengths) {
  EXPECT_EQ(dyadic_lengths(100, 2), (std::vector<std::size_t>{4, 6, 12, 25, 50, 100}));
  EXPECT_EQ(dyadic_lengths(100, 5), (std::vector<std::size_t>{10, 12, 25, 50, 100}));
  EXPECT_EQ(dyadic_lengths(4, 2), (std::vector<std::size_t>{4}));
  EXPECT_TRUE(dyadic_lengths(3, 2).empty());
}

TEST(WbsIntervals, DownsampleEvenly) {
  Intervals ten;
  for (std::size_t i = 0; i < 10; ++i) ten.push_back({i, i + 5});
  EXPECT_EQ(downsample_evenly(ten, 4), (Intervals{{0, 5}, {3, 8}, {6, 11}, {9, 14}}));
  EXPECT_EQ(downsample_evenly(ten, 1), (Intervals{{5, 10}}));
  EXPECT_EQ(downsample_evenly(ten, 10), ten);
  EXPECT_TRUE(downsample_evenly({}, 3).empty());
}

TEST(WbsIntervals, SplitWindowForInterval) {
  const std::vector<std::size_t> c{1, 2, 5, 8, 9};
  using Window = std::optional<std::pair<std::size_t, std::size_t>>;
  EXPECT_EQ(*split_window_for_interval({0, 10}, c, 2), (Window{{1, 4}}));
  EXPECT_EQ(*split_window_for_interval({0, 3}, c, 2), Window{});
  EXPECT_EQ(*split_window_for_interval({5, 5}, c, 2), Window{});
  const auto err = split_window_for_interval({SIZE_MAX - 1, SIZE_MAX}, c, 2);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(), OvrelError::resource_limit("interval lower bound overflow"));
}

struct GoldenCase {
  std::string label;
  WbsIntervalStrategy strategy;
  std::size_t n, m, count, jump;
  std::uint64_t seed;
  Intervals expected;
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.label; }

class WbsGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(WbsGolden, ListIsPinned) {
  const GoldenCase& c = GetParam();
  const auto candidates = all_candidates(c.n, c.m, c.jump);
  const auto got = generate_intervals(c.strategy, c.count, c.seed, c.n, c.m, candidates);
  ASSERT_TRUE(got) << got.error().display();
  EXPECT_EQ(*got, c.expected);
  // The same inputs give the same list again.
  EXPECT_EQ(*generate_intervals(c.strategy, c.count, c.seed, c.n, c.m, candidates), *got);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WbsGolden,
    ::testing::Values(
        GoldenCase{"random_n20",
                   WbsIntervalStrategy::Random,
                   20,
                   2,
                   8,
                   1,
                   7,
                   {{0, 5}, {1, 11}, {5, 16}, {9, 16}, {10, 20}, {11, 19}, {14, 18}, {16, 20}}},
        GoldenCase{"random_n30_jump2",
                   WbsIntervalStrategy::Random,
                   30,
                   3,
                   5,
                   2,
                   42,
                   {{0, 30}, {3, 11}, {15, 26}, {19, 26}, {19, 29}}},
        GoldenCase{"random_single_shape", WbsIntervalStrategy::Random, 10, 5, 5, 1, 1, {{0, 10}}},
        GoldenCase{"grid_all",
                   WbsIntervalStrategy::DeterministicGrid,
                   10,
                   2,
                   100,
                   1,
                   99,
                   {{0, 4}, {2, 6}, {4, 8}, {6, 10}, {0, 5}, {2, 7}, {4, 9}, {5, 10}, {0, 10}}},
        GoldenCase{"grid_thinned",
                   WbsIntervalStrategy::DeterministicGrid,
                   10,
                   2,
                   4,
                   1,
                   0,
                   {{4, 8}, {0, 5}, {4, 9}, {0, 10}}},
        GoldenCase{"grid_n23",
                   WbsIntervalStrategy::DeterministicGrid,
                   23,
                   3,
                   7,
                   1,
                   0,
                   {{3, 9}, {9, 15}, {15, 21}, {17, 23}, {5, 16}, {12, 23}, {0, 23}}},
        GoldenCase{"stratified_n20",
                   WbsIntervalStrategy::Stratified,
                   20,
                   2,
                   6,
                   1,
                   3,
                   {{0, 20}, {2, 7}, {2, 12}, {4, 9}, {7, 11}, {14, 18}}},
        GoldenCase{"stratified_n40",
                   WbsIntervalStrategy::Stratified,
                   40,
                   3,
                   9,
                   1,
                   11,
                   {{0, 40}, {6, 12}, {8, 14}, {10, 30}, {11, 17}, {19, 29}, {20, 40}, {30, 40}}},
        GoldenCase{"random_count0", WbsIntervalStrategy::Random, 20, 2, 0, 1, 7, {}},
        GoldenCase{"stratified_too_short", WbsIntervalStrategy::Stratified, 3, 2, 9, 1, 7, {}},
        GoldenCase{
            "grid_no_candidates", WbsIntervalStrategy::DeterministicGrid, 20, 2, 9, 50, 0, {}}));

TEST(WbsIntervals, HugeCountReservesOnlyWhatTheAttemptsCanFill) {
  EXPECT_EQ(initial_interval_capacity(10), 10U);
  EXPECT_EQ(initial_interval_capacity(SIZE_MAX), kRandomMinAttempts);
  // The grid holds at most its feasible windows, whatever the count asked for.
  const auto grid = generate_grid_intervals(10, 2, SIZE_MAX, all_candidates(10, 2));
  ASSERT_TRUE(grid) << grid.error().display();
  EXPECT_EQ(grid->size(), 9U);
}

// ---------------------------------------------------------------------------------------------
// Configuration and helpers

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

TEST(WbsHelpers, InsertSortedUniqueNamesWbs) {
  std::vector<std::size_t> splits{3, 9};
  ASSERT_TRUE(wbs::insert_sorted_unique(splits, 7));
  EXPECT_EQ(splits, (std::vector<std::size_t>{3, 7, 9}));
  EXPECT_EQ(wbs::insert_sorted_unique(splits, 9).error(),
            OvrelError::invalid_input(
                "duplicate split selected at 9; internal WBS state is inconsistent"));
  EXPECT_EQ(splits, (std::vector<std::size_t>{3, 7, 9}));
}

class WbsPenalty : public ::testing::TestWithParam<PenaltyCase> {};

TEST_P(WbsPenalty, Resolves) {
  expect_penalty_case(
      GetParam(), [](const auto& model, const Penalty& penalty, std::size_t n, std::size_t d,
                     std::size_t p) { return wbs::resolve_penalty_beta(model, penalty, n, d, p); });
}

INSTANTIATE_TEST_SUITE_P(
    Table, WbsPenalty,
    ::testing::Values(PenaltyCase{"l2_mean", Penalty::bic(), 100, 1, 2, 2.0 * std::log(100.0),
                                  "model_default", 2},
                      PenaltyCase{"normal_mean_var", Penalty::bic(), 100, 1, 2,
                                  3.0 * std::log(100.0), "model_default", 3},
                      PenaltyCase{"l2_mean", Penalty::aic(), 100, 2, 5, 20.0, "config_override", 5},
                      PenaltyCase{"l2_mean", Penalty::manual(3.5), 100, 2, 1, 3.5, "config", 1}));

TEST(WbsPenaltyErrors, ZeroParamsAndZeroBeta) {
  const CostL2Mean model;
  EXPECT_EQ(wbs::resolve_penalty_beta(model, Penalty::manual(3.5), 100, 1, 0).error(),
            OvrelError::invalid_input("resolved params_per_segment must be >= 1; got 0"));
  EXPECT_EQ(wbs::resolve_penalty_beta(model, Penalty::bic(), 100, 1, 0).error(),
            OvrelError::invalid_input("resolved params_per_segment must be >= 1; got 0"));
  EXPECT_EQ(wbs::resolve_penalty_beta(model, Penalty::bic(), 1, 1, 2).error(),
            OvrelError::invalid_input("resolved penalty must be finite and > 0.0; got beta=0"));
  EXPECT_EQ(wbs::resolve_penalty_beta(model, Penalty::bic(), 10, 2, SIZE_MAX).error(),
            OvrelError::invalid_input(
                core::cat("effective params overflow: d * params_per_segment exceeds usize (d=2, "
                          "params_per_segment=",
                          SIZE_MAX, ")")));
}

// ---------------------------------------------------------------------------------------------
// Frontier

struct WbsFrontierRun {
  std::vector<FrontierItem> frontier;
  wbs::RunStats stats;
  std::uint64_t iteration = 0;
  Status status;
};

template <class C>
WbsFrontierRun offer(const C& model, Intervals intervals, std::size_t n, std::size_t m,
                     std::size_t start, std::size_t end, std::size_t depth,
                     const ExecutionContext& ctx, std::optional<std::size_t> max_depth = {}) {
  WbsFrontierRun run;
  std::sort(intervals.begin(), intervals.end());
  const auto candidates = all_candidates(n, m);
  run.status = wbs::add_segment_to_frontier(
      run.frontier, model, typename C::Cache{n, 1}, intervals, candidates, m, max_depth, start, end,
      depth, ctx, 1000, std::chrono::steady_clock::now(), run.stats, run.iteration);
  return run;
}

TEST(WbsFrontier, TheSegmentItselfAsOnlyIntervalIsAPlainBestSplit) {
  const auto x = piecewise_series({{13, 0.0}, {17, 2.0}}, 1.0, 3);
  const CostL2Mean model;
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto cache = *model.precompute(view_of(x), core::CachePolicy::full());
  std::vector<FrontierItem> plain;
  binseg::RunStats plain_stats;
  std::uint64_t plain_iteration = 0;
  const auto v = validated(constraints, 30);
  ASSERT_TRUE(binseg::add_segment_to_frontier(plain, model, cache, v.effective_candidates, 0, 30, 0,
                                              v, ctx, 1000, std::chrono::steady_clock::now(),
                                              plain_stats, plain_iteration));
  std::vector<FrontierItem> wild;
  wbs::RunStats stats;
  std::uint64_t iteration = 0;
  const Intervals only{{0, 30}};
  ASSERT_TRUE(wbs::add_segment_to_frontier(wild, model, cache, only, v.effective_candidates, 2,
                                           std::nullopt, 0, 30, 0, ctx, 1000,
                                           std::chrono::steady_clock::now(), stats, iteration));
  EXPECT_EQ(wild, plain);
  EXPECT_EQ(stats.cost_evals, plain_stats.cost_evals);
  EXPECT_EQ(stats.candidates_considered, 27U);
  EXPECT_EQ(stats.intervals_considered, 1U);
}

TEST(WbsFrontier, EqualGainsAcrossIntervalsPreferTheSmallerSplit) {
  // [0, 8) peaks at split 5, [2, 10) at split 4, both with gain 5.
  const auto model = FunctionCost::of([](std::size_t s, std::size_t e) {
    if ((s == 0 && e == 8) || (s == 2 && e == 10)) return 5.0;
    if ((s == 0 && e == 5) || (s == 5 && e == 8) || (s == 2 && e == 4) || (s == 4 && e == 10)) {
      return 0.0;
    }
    return 1.0;
  });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto run = offer(model, {{0, 8}, {2, 10}, {3, 12}}, 12, 2, 0, 10, 0, ctx);
  ASSERT_TRUE(run.status);
  ASSERT_EQ(run.frontier.size(), 1U);
  EXPECT_EQ(run.frontier[0], (FrontierItem{0, 10, 0, 4, 5.0}));
  // [3, 12) does not lie inside [0, 10).
  EXPECT_EQ(run.stats.intervals_considered, 2U);
}

TEST(WbsFrontier, SkippedSegmentsEvaluateNothing) {
  int asked = 0;
  const auto model = FunctionCost::of([&](std::size_t, std::size_t) {
    ++asked;
    return 0.0;
  });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  EXPECT_TRUE(offer(model, {{0, 3}}, 20, 2, 0, 3, 0, ctx).frontier.empty());
  EXPECT_TRUE(offer(model, {{0, 20}}, 20, 2, 0, 20, 1, ctx, 1).frontier.empty());
  EXPECT_TRUE(offer(model, {{0, 20}}, 20, 2, 0, 10, 0, ctx).frontier.empty());
  EXPECT_EQ(asked, 0);
}

TEST(WbsFrontier, OverflowingGainNamesTheInterval) {
  const double big = std::numeric_limits<double>::max();
  const auto model = FunctionCost::of([&](std::size_t s, std::size_t e) {
    if (s == 2 && e == 6) return big;
    return s == 2 ? -big : 0.0;
  });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto run = offer(model, {{2, 6}}, 10, 2, 0, 10, 0, ctx);
  ASSERT_FALSE(run.status);
  EXPECT_EQ(run.status.error(), OvrelError::numerical_issue(core::cat(
                                    "non-finite gain at interval=[2, 6), split=4: "
                                    "full_cost=",
                                    big, ", left_cost=", -big, ", right_cost=0, gain=inf")));
}

// ---------------------------------------------------------------------------------------------
// Detector against a direct oracle

// Wild binary segmentation over the direct L2 cost and a given interval list.
std::vector<std::size_t> oracle_wbs(const std::vector<double>& x, std::size_t m, Intervals ivs,
                                    std::optional<std::size_t> k, double beta) {
  struct Item {
    std::size_t s, e, split;
    double gain;
  };
  std::sort(ivs.begin(), ivs.end());
  std::vector<Item> pending;
  const auto examine = [&](std::size_t s, std::size_t e) {
    if (e - s < 2 * m) return;
    bool found = false;
    Item best{s, e, 0, 0.0};
    for (const Interval& iv : ivs) {
      if (iv.start < s || iv.end > e) continue;
      for (std::size_t c = iv.start + m; c + m <= iv.end; ++c) {
        const double g =
            direct_l2(x, iv.start, iv.end) - direct_l2(x, iv.start, c) - direct_l2(x, c, iv.end);
        if (!found || g > best.gain || (g == best.gain && c < best.split)) {
          found = true;
          best = {s, e, c, g};
        }
      }
    }
    if (found) pending.push_back(best);
  };
  examine(0, x.size());
  std::vector<std::size_t> splits;
  while (!pending.empty() && (!k || splits.size() < *k)) {
    std::size_t bi = 0;
    for (std::size_t i = 1; i < pending.size(); ++i) {
      if (pending[i].gain > pending[bi].gain) bi = i;
    }
    const Item best = pending[bi];
    if (!k && best.gain <= beta) break;
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(bi));
    splits.push_back(best.split);
    examine(best.s, best.split);
    examine(best.split, best.e);
  }
  std::sort(splits.begin(), splits.end());
  splits.push_back(x.size());
  return splits;
}

class WbsOracle : public ::testing::TestWithParam<std::tuple<WbsIntervalStrategy, std::uint64_t>> {
};

TEST_P(WbsOracle, KnownKAndPenalizedMatchTheDirectSearch) {
  const auto [strategy, seed] = GetParam();
  const auto x = piecewise_series({{35, 0.0}, {12, 2.5}, {40, 0.0}, {25 + seed, -2.0}}, 1.2, seed);
  const std::size_t m = 3;
  Constraints constraints;
  constraints.min_segment_len = m;
  ExecutionContext ctx(constraints);
  const auto intervals =
      *generate_intervals(strategy, 60, seed, x.size(), m, all_candidates(x.size(), m));
  for (std::size_t k = 1; k <= 4; ++k) {
    const auto r = l2_wbs(Stopping::known_k(k), strategy, 60, seed).detect(view_of(x), ctx);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->breakpoints, oracle_wbs(x, m, intervals, k, 0.0)) << "k=" << k;
  }
  for (const double beta : {2.0, 15.0}) {
    const auto r = l2_wbs(Stopping::penalized(Penalty::manual(beta)), strategy, 60, seed)
                       .detect(view_of(x), ctx);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->breakpoints, oracle_wbs(x, m, intervals, std::nullopt, beta)) << beta;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Strategies, WbsOracle,
    ::testing::Combine(::testing::Values(WbsIntervalStrategy::Random,
                                         WbsIntervalStrategy::DeterministicGrid,
                                         WbsIntervalStrategy::Stratified),
                       ::testing::Values(1, 2, 3)));

// ---------------------------------------------------------------------------------------------
// Detector: notes, diagnostics, reproducibility

TEST(WbsDetector, NotesOfAPenalizedRun) {
  const auto x = piecewise_series({{50, 0.0}, {50, 5.0}}, 0.5);
  Constraints constraints;
  ExecutionContext ctx(constraints);
  RecordingTelemetry telemetry;
  ctx.telemetry = &telemetry;
  const auto r = l2_wbs(Stopping::penalized(Penalty::bic())).detect(view_of(x), ctx);
  ASSERT_TRUE(r) << r.error().display();
  const auto& notes = r->diagnostics.notes;
  ASSERT_EQ(notes.size(), 3U);
  EXPECT_TRUE(notes[0].starts_with(
      "interval_strategy=Random, requested_intervals=100, effective_intervals="));
  EXPECT_EQ(notes[1],
            "stopping=Penalized(BIC), beta=9.210340371976184, params_per_segment=2 "
            "(model_default)");
  EXPECT_TRUE(notes[2].starts_with("final_change_count=1, cost_evals="));
  EXPECT_TRUE(notes[2].ends_with(", used_parallel=false"));
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{50, 100}));
  EXPECT_EQ(r->diagnostics.algorithm, "wbs");
  EXPECT_EQ(r->diagnostics.cost_model, "l2_mean");
  EXPECT_EQ(r->diagnostics.seed, std::optional<std::uint64_t>{0});
  EXPECT_TRUE(r->diagnostics.warnings.empty());
  EXPECT_FALSE(r->diagnostics.pruning_stats.has_value());
  EXPECT_FALSE(r->diagnostics.params_json.has_value());
  EXPECT_EQ(telemetry.keys(), (std::vector<std::string>{
                                  "offline.wbs.cost_evals", "offline.wbs.candidates_considered",
                                  "offline.wbs.intervals_considered", "offline.wbs.runtime_ms"}));
}

TEST(WbsDetector, SameSeedSameRun) {
  const auto x = piecewise_series({{60, 0.0}, {30, 1.5}, {60, -1.0}, {50, 0.5}}, 1.0, 9);
  Constraints constraints;
  ExecutionContext ctx(constraints);
  for (const auto strategy : {WbsIntervalStrategy::Random, WbsIntervalStrategy::Stratified}) {
    const auto detector = l2_wbs(Stopping::penalized(Penalty::bic()), strategy, std::nullopt, 77);
    const auto a = detector.detect(view_of(x), ctx);
    const auto b = detector.detect(view_of(x), ctx);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->breakpoints, b->breakpoints);
    EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
    EXPECT_EQ(a->diagnostics.seed, std::optional<std::uint64_t>{77});
  }
}

TEST(WbsDetector, GridRunsCarryTheSeedToo) {
  const auto x = piecewise_series({{30, 0.0}, {30, 4.0}}, 0.5);
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto r = l2_wbs(Stopping::known_k(1), WbsIntervalStrategy::DeterministicGrid, 10, 5)
                     .detect(view_of(x), ctx);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->diagnostics.seed, std::optional<std::uint64_t>{5});
  EXPECT_EQ(r->diagnostics.notes.at(0),
            "interval_strategy=DeterministicGrid, requested_intervals=10, effective_intervals=10");
  EXPECT_EQ(r->diagnostics.notes.at(1), "stopping=KnownK(1), accepted_splits=1");
}

TEST(WbsDetector, HugeIntervalCountRunsWithTheGrid) {
  const auto x = piecewise_series({{5, 0.0}, {5, 4.0}}, 0.5);
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto r = l2_wbs(Stopping::known_k(1), WbsIntervalStrategy::DeterministicGrid, SIZE_MAX)
                     .detect(view_of(x), ctx);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->diagnostics.notes.at(0),
            core::cat("interval_strategy=DeterministicGrid, requested_intervals=", SIZE_MAX,
                      ", effective_intervals=9"));
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{5, 10}));
}

TEST(WbsDetector, NoFeasibleIntervals) {
  const std::vector<double> x{1.0, 2.0, 3.0};
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto r = l2_wbs(Stopping::penalized(Penalty::bic())).detect(view_of(x), ctx);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{3}));
  EXPECT_EQ(r->diagnostics.notes,
            (std::vector<std::string>{
                "interval_strategy=Random, requested_intervals=100, effective_intervals=0",
                "no feasible WBS intervals under current constraints",
                "stopping=Penalized(BIC), beta=2.1972245773362196, params_per_segment=2 "
                "(model_default)",
                "final_change_count=0, cost_evals=0, candidates_considered=0, "
                "intervals_considered=0, used_parallel=false"}));
}

// ---------------------------------------------------------------------------------------------
// Both detectors exist for every cost model and find a clear change with each.

template <class C>
class EveryCostModel : public ::testing::Test {};

using AllModels = ::testing::Types<CostL2Mean, costs::CostL1Median, costs::CostNormalMeanVar,
                                   costs::CostNormalFullCov, costs::CostNIGMarginal,
                                   costs::CostCosine, costs::CostRank, costs::CostAR>;
TYPED_TEST_SUITE(EveryCostModel, AllModels);

TYPED_TEST(EveryCostModel, BinSegAndWbsFindTheChange) {
  // Two dimensions whose level, spread and direction all change at 40.
  std::vector<double> x;
  const auto a = piecewise_series({{40, 1.0}, {40, -6.0}}, 0.3, 5);
  const auto b = piecewise_series({{40, 2.0}, {40, 9.0}}, 3.0, 6);
  for (std::size_t t = 0; t < a.size(); ++t) {
    x.push_back(a[t]);
    x.push_back(t < 40 ? b[t] : -b[t]);
  }
  const auto view = view_of(x, 2);
  Constraints constraints;
  constraints.min_segment_len = 5;
  ExecutionContext ctx(constraints);
  const BinSeg<TypeParam> binseg{BinSegConfig{Stopping::known_k(1), 0, 1000}, TypeParam{}};
  const auto r = binseg.detect(view, ctx);
  ASSERT_TRUE(r) << r.error().display();
  // The autoregressive model reads each value against its predecessor: one position either way.
  ASSERT_EQ(r->change_points.size(), 1U);
  EXPECT_NEAR(static_cast<double>(r->change_points[0]), 40.0, 1.0);
  EXPECT_EQ(r->diagnostics.cost_model, TypeParam::name());
  WbsConfig config;
  config.stopping = Stopping::known_k(1);
  const Wbs<TypeParam> wbs{config, TypeParam{}};
  const auto w = wbs.detect(view, ctx);
  ASSERT_TRUE(w) << w.error().display();
  EXPECT_EQ(w->breakpoints, r->breakpoints);
  EXPECT_EQ(w->diagnostics.cost_model, TypeParam::name());
}

}  // namespace
}  // namespace ovrel::offline
