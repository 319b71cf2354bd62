// Binary segmentation and WBS beyond the shared contract: the frontier helpers, the errors of
// their split scans, both detectors against direct transcriptions over the L2 cost, the penalised
// split threshold, and their agreement on every cost model.

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
using wbs::Interval;
using Intervals = std::vector<Interval>;

using Strategy = std::optional<WbsIntervalStrategy>;  // none: BinSeg

// BinSeg, or WBS over 60 intervals drawn with a strategy and seed.
template <class C>
Result<core::OfflineChangePointResult> frontier(const C& model, Stopping stopping,
                                                Strategy strategy, const core::TimeSeriesView& x,
                                                const core::ExecutionContext& ctx,
                                                std::uint64_t seed = 0) {
  if (!strategy) return BinSeg<C>{BinSegConfig{std::move(stopping), 0, 1000}, model}.detect(x, ctx);
  WbsConfig config;
  config.num_intervals = 60;
  config.interval_strategy = *strategy;
  config.seed = seed;
  config.stopping = std::move(stopping);
  return Wbs<C>{config, model}.detect(x, ctx);
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
  const auto model = FunctionCost::of([&](std::size_t s, std::size_t e) {
    if (s == 0 && e == 4) return big;
    return s == 0 ? -big : 0.0;
  });
  const auto x = testing::series(std::vector<double>(4, 0.0));
  const Constraints c;
  for (const Strategy strategy : {Strategy(), Strategy(WbsIntervalStrategy::DeterministicGrid)}) {
    EXPECT_EQ(frontier(model, Stopping::known_k(1), strategy, x.view(), core::ExecutionContext(c))
                  .error(),
              OvrelError::numerical_issue(core::cat(
                  "non-finite gain at ", strategy ? "interval" : "segment", "=[0, 4), split=2: ",
                  "full_cost=", big, ", left_cost=", -big, ", right_cost=0, gain=inf")));
  }
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

// BinSeg (no strategy) and WBS with each strategy, known k and penalised.
TEST(FrontierOracle, BothMatchTheDirectSearch) {
  const Constraints c = testing::constraints_with(3, 1);
  const core::ExecutionContext ctx(c);
  for (const Strategy strategy : {Strategy(), Strategy(WbsIntervalStrategy::Random),
                                  Strategy(WbsIntervalStrategy::DeterministicGrid),
                                  Strategy(WbsIntervalStrategy::Stratified)}) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
      const auto s = testing::noisy_steps(100 + 7 * seed, 1, 12 + 5 * seed, 2.5, 1.0, seed);
      std::optional<Intervals> ivs;
      if (strategy) {
        ivs = *wbs::generate_intervals(*strategy, 60, seed, s.n, 3,
                                       testing::validated(c, s.n).effective_candidates);
      }
      const auto detect = [&](Stopping stopping) {
        return frontier(CostL2Mean{}, std::move(stopping), strategy, s.view(), ctx, seed);
      };
      for (std::size_t k = 1; k <= 5; ++k) {
        EXPECT_EQ(detect(Stopping::known_k(k))->breakpoints, oracle(s.values, 3, ivs, k, 0.0))
            << seed << " k=" << k;
      }
      for (const double beta : {1.0, 10.0, 40.0}) {
        EXPECT_EQ(detect(Stopping::penalized(Penalty::manual(beta)))->breakpoints,
                  oracle(s.values, 3, ivs, std::nullopt, beta))
            << seed << " beta=" << beta;
      }
    }
  }
}

// The root gain at split 2 is exactly 6 - 1 - 1 = 4: a beta of 4 does not split, 3.999 does.
TEST(FrontierStopping, PenalisedRunsSplitOnlyAboveBeta) {
  const auto model =
      FunctionCost::of([](std::size_t s, std::size_t e) { return s == 0 && e == 4 ? 6.0 : 1.0; });
  const Constraints none;
  const auto x = testing::series(std::vector<double>(4, 0.0));
  for (const auto& [beta, expected] :
       {std::pair{4.0, std::vector<std::size_t>{4}}, {3.999, {2, 4}}}) {
    for (const Strategy strategy : {Strategy(), Strategy(WbsIntervalStrategy::Random)}) {
      EXPECT_EQ(frontier(model, Stopping::penalized(Penalty::manual(beta)), strategy, x.view(),
                         core::ExecutionContext(none))
                    ->breakpoints,
                expected);
    }
  }
}

// Both detectors exist for every cost model and agree on a clear change with each.
template <class C>
class EveryCostModel : public ::testing::Test {};
TYPED_TEST_SUITE(EveryCostModel, testing::AllModels);

TYPED_TEST(EveryCostModel, BinSegAndWbsFindTheChange) {
  // Two dimensions whose level, spread and direction all change at 40.
  auto x = testing::noisy_steps(80, 2, 40, -7.0, 0.5, 5);
  for (std::size_t t = 0; t < 80; ++t) {
    x.values[2 * t] += 1.0;
    x.values[2 * t + 1] = (x.values[2 * t + 1] + 2.0) * (t < 40 ? 1.0 : 3.0);
  }
  Constraints c;
  c.min_segment_len = 5;
  const core::ExecutionContext ctx(c);
  const auto r = frontier(TypeParam{}, Stopping::known_k(1), Strategy(), x.view(), ctx);
  ASSERT_TRUE(r) << r.error().display();
  // The autoregressive model reads each value against its predecessor: one position either way.
  ASSERT_EQ(r->change_points.size(), 1U);
  EXPECT_NEAR(static_cast<double>(r->change_points[0]), 40.0, 1.0);
  EXPECT_EQ(r->diagnostics.cost_model, TypeParam::name());
  const auto w =
      frontier(TypeParam{}, Stopping::known_k(1), WbsIntervalStrategy::Random, x.view(), ctx);
  ASSERT_TRUE(w) << w.error().display();
  EXPECT_EQ(w->breakpoints, r->breakpoints);
}

}  // namespace
}  // namespace ovrel::offline
