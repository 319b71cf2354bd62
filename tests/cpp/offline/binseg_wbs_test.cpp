// Binary segmentation and WBS beyond the shared contract: the frontier helpers, the errors of
// their split scans, both detectors against direct transcriptions over the L2 cost, the frontier
// stopping rules, their notes, and their agreement on every cost model.

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/wbs_impl.hpp"

namespace ovrel::offline {
namespace {

using core::Constraints;
using core::Penalty;
using core::Stopping;
using costs::CostL2Mean;
using testing::FunctionCost;
using testing::piecewise_series;
using wbs::Interval;
using Intervals = std::vector<Interval>;

core::TimeSeriesView view_of(const std::vector<double>& x, std::size_t d = 1) {
  return *core::TimeSeriesView::from_f64(x, x.size() / d, d, core::MemoryLayout::c_contiguous(),
                                         std::nullopt, core::TimeIndex::none(),
                                         core::MissingPolicy::Error);
}

BinSeg<CostL2Mean> l2_binseg(Stopping stopping) {
  return {BinSegConfig{std::move(stopping), 0, 1000}, CostL2Mean{}};
}

Wbs<CostL2Mean> l2_wbs(Stopping stopping,
                       WbsIntervalStrategy strategy = WbsIntervalStrategy::Random,
                       std::optional<std::size_t> num_intervals = {}, std::uint64_t seed = 0) {
  WbsConfig config;
  config.num_intervals = num_intervals;
  config.interval_strategy = strategy;
  config.seed = seed;
  config.stopping = std::move(stopping);
  return {config, CostL2Mean{}};
}

// One segment offered to a frontier, with what the offer counted.
struct Offer {
  std::vector<FrontierItem> frontier;
  RunStats stats;
  std::uint64_t iteration = 0;
  Status status;
};

template <class C>
Offer offer_wbs(const C& model, Intervals intervals, std::size_t n, std::size_t start,
                std::size_t end, std::size_t depth = 0, std::optional<std::size_t> max_depth = {}) {
  Offer o;
  std::sort(intervals.begin(), intervals.end());
  const Constraints c;
  const core::ExecutionContext ctx(c);
  const auto v = testing::validated(c, n);
  const binseg::ScanRun run{ctx, std::chrono::steady_clock::now(), 1000, o.iteration, o.stats};
  o.status =
      wbs::add_segment_to_frontier(o.frontier, model, typename C::Cache{n, 1}, intervals,
                                   v.effective_candidates, 2, max_depth, start, end, depth, run);
  return o;
}

TEST(FrontierHelpers, InsertionAndTheBestItem) {
  std::vector<std::size_t> splits{2, 8};
  ASSERT_TRUE(binseg::insert_split_once(splits, 5, "WBS"));
  EXPECT_EQ(binseg::insert_split_once(splits, 5, "WBS").error(),
            OvrelError::invalid_input(
                "duplicate split selected at 5; internal WBS state is inconsistent"));
  EXPECT_EQ(splits, (std::vector<std::size_t>{2, 5, 8}));
  EXPECT_EQ(binseg::pick_best_frontier_index({}), std::nullopt);
  std::vector<FrontierItem> items{{0, 100, 0, 50, 2.0}, {0, 100, 0, 40, 3.0}, {0, 100, 0, 30, 3.0}};
  EXPECT_EQ(binseg::pick_best_frontier_index(items), 2U);
  items = {{10, 100, 0, 50, 3.0}, {5, 100, 0, 50, 3.0}, {7, 100, 0, 50, 3.0}};
  EXPECT_EQ(binseg::pick_best_frontier_index(items), 1U);
  items = {{0, 10, 0, 5, 1.0}, {0, 10, 0, 2, std::nan("")}};  // NaN never replaces the best
  EXPECT_EQ(binseg::pick_best_frontier_index(items), 0U);
}

TEST(SplitScan, OverflowingGainNamesTheSegmentOrInterval) {
  const double big = std::numeric_limits<double>::max();
  const auto at = [&](std::size_t first) {
    return FunctionCost::of([&, first](std::size_t s, std::size_t e) {
      if (s == first && e == first + 4) return big;
      return s == first ? -big : 0.0;
    });
  };
  const auto expected = [&](const char* range, std::size_t s) {
    return OvrelError::numerical_issue(core::cat("non-finite gain at ", range, "=[", s, ", ", s + 4,
                                                 "), split=", s + 2, ": full_cost=", big,
                                                 ", left_cost=", -big, ", right_cost=0, gain=inf"));
  };
  const Constraints c;
  const BinSeg<FunctionCost> b{BinSegConfig{Stopping::known_k(1), 0, 1000}, at(0)};
  EXPECT_EQ(b.detect(view_of(std::vector<double>(4, 0.0)), core::ExecutionContext(c)).error(),
            expected("segment", 0));
  EXPECT_EQ(offer_wbs(at(2), {{2, 6}}, 10, 0, 10).status.error(), expected("interval", 2));
}

// ---------------------------------------------------------------------------------------------
// Both detectors against greedy searches over the direct L2 cost, written apart from them. A
// segment's best split is taken over `intervals` inside it, or over the segment itself.

std::vector<std::size_t> oracle(const std::vector<double>& x, std::size_t m,
                                const std::optional<Intervals>& intervals,
                                std::optional<std::size_t> k, double beta) {
  struct Item {
    std::size_t s, e, split;
    double gain;
  };
  std::vector<Item> pending;
  const auto gain = [&](std::size_t a, std::size_t c, std::size_t b) {
    return testing::direct_l2(x, a, b) - testing::direct_l2(x, a, c) - testing::direct_l2(x, c, b);
  };
  const auto examine = [&](std::size_t s, std::size_t e) {
    if (e - s < 2 * m) return;
    std::optional<Item> best;
    Intervals ivs = intervals.value_or(Intervals{{s, e}});
    std::sort(ivs.begin(), ivs.end());
    for (const Interval& iv : ivs) {
      if (iv.start < s || iv.end > e) continue;
      for (std::size_t c = iv.start + m; c + m <= iv.end; ++c) {
        const double g = gain(iv.start, c, iv.end);
        if (!best || g > best->gain || (g == best->gain && c < best->split)) best = {s, e, c, g};
      }
    }
    if (best) pending.push_back(*best);
  };
  examine(0, x.size());
  std::vector<std::size_t> splits;
  while (!pending.empty() && (!k || splits.size() < *k)) {
    const auto it = std::max_element(pending.begin(), pending.end(),
                                     [](const Item& a, const Item& b) { return a.gain < b.gain; });
    const Item best = *it;
    if (!k && best.gain <= beta) break;
    pending.erase(it);
    splits.push_back(best.split);
    examine(best.s, best.split);
    examine(best.split, best.e);
  }
  std::sort(splits.begin(), splits.end());
  splits.push_back(x.size());
  return splits;
}

TEST(FrontierOracle, BinSegMatchesTheDirectSearch) {
  Constraints c;
  c.min_segment_len = 3;
  const core::ExecutionContext ctx(c);
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    const auto x = piecewise_series({{30 + seed % 7, 0.0}, {25, 3.0}, {40, -1.0}, {20 + seed, 2.0}},
                                    1.5, seed);
    for (std::size_t k = 1; k <= 5; ++k) {
      EXPECT_EQ(l2_binseg(Stopping::known_k(k)).detect(view_of(x), ctx)->breakpoints,
                oracle(x, 3, std::nullopt, k, 0.0))
          << seed << " k=" << k;
    }
    for (const double beta : {1.0, 10.0, 40.0}) {
      EXPECT_EQ(l2_binseg(Stopping::penalized(Penalty::manual(beta)))
                    .detect(view_of(x), ctx)
                    ->breakpoints,
                oracle(x, 3, std::nullopt, std::nullopt, beta))
          << seed << " beta=" << beta;
    }
  }
}

TEST(FrontierOracle, WbsMatchesTheDirectSearchForEveryStrategy) {
  Constraints c;
  c.min_segment_len = 3;
  const core::ExecutionContext ctx(c);
  for (const auto strategy : {WbsIntervalStrategy::Random, WbsIntervalStrategy::DeterministicGrid,
                              WbsIntervalStrategy::Stratified}) {
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
      const auto x =
          piecewise_series({{35, 0.0}, {12, 2.5}, {40, 0.0}, {25 + seed, -2.0}}, 1.2, seed);
      const auto v = testing::validated(c, x.size());
      const auto ivs =
          *wbs::generate_intervals(strategy, 60, seed, x.size(), 3, v.effective_candidates);
      for (std::size_t k = 1; k <= 4; ++k) {
        EXPECT_EQ(
            l2_wbs(Stopping::known_k(k), strategy, 60, seed).detect(view_of(x), ctx)->breakpoints,
            oracle(x, 3, ivs, k, 0.0))
            << seed << " k=" << k;
      }
      for (const double beta : {2.0, 15.0}) {
        EXPECT_EQ(l2_wbs(Stopping::penalized(Penalty::manual(beta)), strategy, 60, seed)
                      .detect(view_of(x), ctx)
                      ->breakpoints,
                  oracle(x, 3, ivs, std::nullopt, beta))
            << seed << " beta=" << beta;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Stopping rules, notes and reproducibility.

TEST(FrontierStopping, KnownKTakesExactlyKOrNamesTheShortfall) {
  const Constraints none;
  const core::ExecutionContext ctx(none);
  const auto x = piecewise_series({{20, 0.0}, {20, 3.0}, {20, 0.0}}, 0.5);
  Constraints shallow;
  shallow.max_depth = 1;
  for (const auto& [detected, name] :
       {std::pair{l2_binseg(Stopping::known_k(1)).detect(view_of({1.0, 2.0, 3.0}), ctx), 0},
        std::pair{l2_wbs(Stopping::known_k(1)).detect(view_of({1.0, 2.0, 3.0}), ctx), 0},
        std::pair{
            l2_binseg(Stopping::known_k(2)).detect(view_of(x), core::ExecutionContext(shallow)), 1},
        std::pair{l2_wbs(Stopping::known_k(2)).detect(view_of(x), core::ExecutionContext(shallow)),
                  1}}) {
    EXPECT_EQ(detected.error(), OvrelError::invalid_input(core::cat(
                                    "KnownK exact solution unreachable: requested k=", name + 1,
                                    ", accepted=", name, " before frontier exhaustion")));
  }
}

// A minimum segment length above n leaves not even the unsplit series feasible; equal to n, the
// series is one segment.
TEST(FrontierStopping, BinSegRefusesAMinimumLengthAboveN) {
  Constraints c;
  c.min_segment_len = 4;
  EXPECT_EQ(l2_binseg(Stopping::penalized(Penalty::bic()))
                .detect(view_of({1.0, 2.0, 3.0}), core::ExecutionContext(c))
                .error(),
            OvrelError::invalid_input("BinSeg found no feasible segmentation under current "
                                      "constraints: min_segment_len=4 exceeds n=3"));
  c.min_segment_len = 3;
  EXPECT_EQ(l2_binseg(Stopping::penalized(Penalty::bic()))
                .detect(view_of({1.0, 2.0, 30.0}), core::ExecutionContext(c))
                ->breakpoints,
            std::vector<std::size_t>{3});
}

TEST(FrontierStopping, PenalisedRunsSplitOnlyAboveBetaAndWithinTheCap) {
  // The root gain at split 2 is exactly 6 - 1 - 1 = 4: a beta of 4 does not split, 3.999 does.
  const auto model =
      FunctionCost::of([](std::size_t s, std::size_t e) { return s == 0 && e == 4 ? 6.0 : 1.0; });
  const Constraints none;
  const core::ExecutionContext ctx(none);
  const auto x = view_of(std::vector<double>(4, 0.0));
  for (const auto& [beta, expected] :
       {std::pair{4.0, std::vector<std::size_t>{4}}, {3.999, {2, 4}}}) {
    const BinSeg<FunctionCost> b{BinSegConfig{Stopping::penalized(Penalty::manual(beta)), 2, 1000},
                                 model};
    EXPECT_EQ(b.detect(x, ctx)->breakpoints, expected);
    WbsConfig wc;
    wc.stopping = Stopping::penalized(Penalty::manual(beta));
    EXPECT_EQ((Wbs<FunctionCost>{wc, model}.detect(x, ctx)->breakpoints), expected);
  }
  const auto steps = piecewise_series({{20, 0.0}, {20, 5.0}, {20, 0.0}, {20, 5.0}}, 0.5);
  for (const std::size_t cap : {0, 1}) {
    Constraints capped;
    capped.max_change_points = cap;
    const core::ExecutionContext cc(capped);
    EXPECT_EQ(l2_binseg(Stopping::penalized(Penalty::bic()))
                  .detect(view_of(steps), cc)
                  ->change_points.size(),
              cap);
    EXPECT_EQ(l2_wbs(Stopping::penalized(Penalty::bic()))
                  .detect(view_of(steps), cc)
                  ->change_points.size(),
              cap);
  }
}

TEST(WbsDetect, AHugeCountRunsWithTheGrid) {
  const Constraints none;
  const core::ExecutionContext ctx(none);
  // A count far beyond what the grid holds runs with the grid.
  const auto huge = l2_wbs(Stopping::known_k(1), WbsIntervalStrategy::DeterministicGrid, SIZE_MAX)
                        .detect(view_of(piecewise_series({{5, 0.0}, {5, 4.0}}, 0.5)), ctx);
  ASSERT_TRUE(huge) << huge.error().display();
  EXPECT_EQ(huge->diagnostics.notes[0],
            core::cat("interval_strategy=DeterministicGrid, requested_intervals=", SIZE_MAX,
                      ", effective_intervals=9"));
  EXPECT_EQ(huge->breakpoints, (std::vector<std::size_t>{5, 10}));
}

// Both detectors exist for every cost model and agree on a clear change with each.
template <class C>
class EveryCostModel : public ::testing::Test {};
TYPED_TEST_SUITE(EveryCostModel, testing::AllModels, testing::ModelNames);

TYPED_TEST(EveryCostModel, BinSegAndWbsFindTheChange) {
  // Two dimensions whose level, spread and direction all change at 40.
  std::vector<double> x;
  const auto a = piecewise_series({{40, 1.0}, {40, -6.0}}, 0.3, 5);
  const auto b = piecewise_series({{40, 2.0}, {40, 9.0}}, 3.0, 6);
  for (std::size_t t = 0; t < a.size(); ++t) {
    x.push_back(a[t]);
    x.push_back(t < 40 ? b[t] : -b[t]);
  }
  Constraints c;
  c.min_segment_len = 5;
  const core::ExecutionContext ctx(c);
  const auto r = BinSeg<TypeParam>{BinSegConfig{Stopping::known_k(1), 0, 1000}, TypeParam{}}.detect(
      view_of(x, 2), ctx);
  ASSERT_TRUE(r) << r.error().display();
  // The autoregressive model reads each value against its predecessor: one position either way.
  ASSERT_EQ(r->change_points.size(), 1U);
  EXPECT_NEAR(static_cast<double>(r->change_points[0]), 40.0, 1.0);
  EXPECT_EQ(r->diagnostics.cost_model, TypeParam::name());
  WbsConfig config;
  config.stopping = Stopping::known_k(1);
  const auto w = Wbs<TypeParam>{config, TypeParam{}}.detect(view_of(x, 2), ctx);
  ASSERT_TRUE(w) << w.error().display();
  EXPECT_EQ(w->breakpoints, r->breakpoints);
}

}  // namespace
}  // namespace ovrel::offline
