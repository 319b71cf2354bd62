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
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/offline/binseg_impl.hpp"

namespace ovrel::offline {
namespace {

using core::Constraints;
using core::ExecutionContext;
using core::Penalty;
using core::Stopping;
using costs::CostL2Mean;
using namespace testing;
using binseg::add_segment_to_frontier;
using binseg::candidate_window;
using binseg::check_runtime_controls;
using binseg::evaluate_segment_cost;
using binseg::insert_sorted_unique;
using binseg::pick_best_frontier_index;
using binseg::resolve_penalty_beta;
using binseg::RunStats;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
const std::string kMaskWarning =
    "BinSeg may mask closely spaced weaker changes; consider WBS for robust recovery";

BinSeg<CostL2Mean> l2_binseg(Stopping stopping, std::size_t params_per_segment = 2,
                             std::size_t cancel_check_every = 1000) {
  return {BinSegConfig{std::move(stopping), params_per_segment, cancel_check_every}, CostL2Mean{}};
}

// ---------------------------------------------------------------------------------------------
// Helpers

TEST(BinSegHelpers, ConfigValidateChecksOnlyTheStoppingRule) {
  EXPECT_TRUE((BinSegConfig{Stopping::penalized(Penalty::bic()), 0, 0}.validate()));
  EXPECT_TRUE((BinSegConfig{Stopping::penalty_path({Penalty::bic()}), 0, 7}.validate()));
  const auto err = BinSegConfig{Stopping::known_k(0), 0, 1000}.validate();
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(), OvrelError::invalid_input("Stopping::KnownK requires k >= 1; got 0"));
}

struct WindowCase {
  std::vector<std::size_t> candidates;
  std::size_t lo, hi;
  std::optional<std::pair<std::size_t, std::size_t>> expected;
};

void PrintTo(const WindowCase& c, std::ostream* os) {
  *os << core::list_text(c.candidates) << " [" << c.lo << ", " << c.hi << "]";
}

class CandidateWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(CandidateWindow, MatchesInclusiveBounds) {
  const WindowCase& c = GetParam();
  EXPECT_EQ(candidate_window(c.candidates, c.lo, c.hi), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CandidateWindow,
    ::testing::Values(WindowCase{{3, 6, 9}, 7, 5, std::nullopt},
                      WindowCase{{3, 6, 9}, 6, 6, std::pair<std::size_t, std::size_t>{1, 2}},
                      WindowCase{{3, 6, 9}, 3, 9, std::pair<std::size_t, std::size_t>{0, 3}},
                      WindowCase{{3, 6, 9}, 10, 20, std::nullopt},
                      WindowCase{{3, 6, 9}, 4, 5, std::nullopt},
                      WindowCase{{}, 0, 100, std::nullopt}));

TEST(BinSegHelpers, InsertSortedUniqueRefusesDuplicates) {
  std::vector<std::size_t> splits{2, 8};
  ASSERT_TRUE(insert_sorted_unique(splits, 5));
  EXPECT_EQ(splits, (std::vector<std::size_t>{2, 5, 8}));
  const auto err = insert_sorted_unique(splits, 5);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(),
            OvrelError::invalid_input(
                "duplicate split selected at 5; internal BinSeg state is inconsistent"));
  EXPECT_EQ(splits, (std::vector<std::size_t>{2, 5, 8}));
}

TEST(BinSegHelpers, PickBestFrontierIndexBreaksTiesBySplitThenStart) {
  EXPECT_EQ(pick_best_frontier_index({}), std::nullopt);
  std::vector<FrontierItem> items{{0, 100, 0, 50, 2.0}, {0, 100, 0, 40, 3.0}, {0, 100, 0, 30, 3.0}};
  EXPECT_EQ(pick_best_frontier_index(items), 2U);
  items = {{10, 100, 0, 50, 3.0}, {5, 100, 0, 50, 3.0}, {7, 100, 0, 50, 3.0}};
  EXPECT_EQ(pick_best_frontier_index(items), 1U);
  // A NaN gain never replaces the current best.
  items = {{0, 10, 0, 5, 1.0}, {0, 10, 0, 2, std::nan("")}};
  EXPECT_EQ(pick_best_frontier_index(items), 0U);
}

TEST(BinSegHelpers, RuntimeControlsRunOnMultiplesOfThePeriod) {
  Constraints constraints;
  ExecutionContext ctx(constraints);
  core::CancelToken token;
  token.cancel();
  ctx.cancel = &token;
  RunStats stats;
  const auto now = std::chrono::steady_clock::now();
  EXPECT_EQ(check_runtime_controls(0, 1000, ctx, now, stats).error(), OvrelError::cancelled());
  EXPECT_TRUE(check_runtime_controls(999, 1000, ctx, now, stats));
  EXPECT_EQ(check_runtime_controls(1000, 1000, ctx, now, stats).error(), OvrelError::cancelled());
  EXPECT_EQ(check_runtime_controls(7, 1, ctx, now, stats).error(), OvrelError::cancelled());
}

TEST(BinSegHelpers, CheckCadenceAgreesWithTheRemainder) {
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> starts{{0, 1},
                                                                    {0, 7},
                                                                    {5, 7},
                                                                    {999, 1000},
                                                                    {1000, 1000},
                                                                    {kU64Max - 20, 7},
                                                                    {kU64Max - 20, 1},
                                                                    {kU64Max - 20, kU64Max}};
  for (const auto& [first, every] : starts) {
    binseg::CheckCadence cadence(first, every);
    for (std::uint64_t it = first + 1; it != 0 && it - first <= 3000; ++it) {
      ASSERT_EQ(cadence.due(it), it % every == 0) << "every=" << every << " it=" << it;
    }
  }
}

TEST(BinSegHelpers, RuntimeControlsFlagAnExceededTimeBudgetUnderSoftDegrade) {
  Constraints constraints;
  constraints.time_budget_ms = 1;
  ExecutionContext ctx(constraints, core::kDefaultReproMode, core::BudgetMode::SoftDegrade);
  RunStats stats;
  const auto long_ago = std::chrono::steady_clock::now() - std::chrono::seconds(5);
  ASSERT_TRUE(check_runtime_controls(0, 1, ctx, long_ago, stats));
  EXPECT_TRUE(stats.soft_budget_exceeded);
  ExecutionContext hard(constraints);
  const auto err = check_runtime_controls(0, 1, hard, long_ago, stats);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error().kind(), ErrorKind::ResourceLimit);
}

// ---------------------------------------------------------------------------------------------
// Penalty resolution

class BinSegPenalty : public ::testing::TestWithParam<PenaltyCase> {};

TEST_P(BinSegPenalty, Resolves) {
  expect_penalty_case(GetParam(),
                      [](const auto& model, const Penalty& penalty, std::size_t n, std::size_t d,
                         std::size_t p) { return resolve_penalty_beta(model, penalty, n, d, p); });
}

INSTANTIATE_TEST_SUITE_P(
    Table, BinSegPenalty,
    ::testing::Values(
        PenaltyCase{"l2_mean", Penalty::bic(), 100, 1, 0, std::log(100.0) * 2.0,
                    "model_default_auto", 2},
        PenaltyCase{"l2_mean", Penalty::bic(), 100, 1, 3, std::log(100.0) * 3.0, "config_override",
                    3},
        PenaltyCase{"l2_mean", Penalty::bic(), 100, 1, 2, std::log(100.0) * 2.0, "config_override",
                    2},
        PenaltyCase{"normal_mean_var", Penalty::aic(), 50, 2, 0, 12.0, "model_default_auto", 3},
        PenaltyCase{"normal_full_cov", Penalty::aic(), 50, 2, 0, 12.0, "model_default_auto", 3},
        PenaltyCase{"cosine", Penalty::aic(), 50, 3, 0, 8.0, "model_default_auto", 2},
        PenaltyCase{"cosine", Penalty::aic(), 50, 3, 2, 12.0, "config_override", 2},
        PenaltyCase{"ar", Penalty::aic(), 50, 2, 0, 12.0, "model_default_auto", 3},
        PenaltyCase{"l2_mean", Penalty::manual(5.0), 50, 1, 0, 5.0, "model_default_auto", 2},
        PenaltyCase{"l2_mean", Penalty::manual(5.0), 50, 1, 4, 5.0, "config", 4},
        PenaltyCase{"l2_mean", Penalty::manual(5e-324), 50, 1, 4, 5e-324, "config", 4}));

TEST(BinSegPenaltyErrors, ReportsOverflowAndNonPositiveBeta) {
  const CostL2Mean model;
  auto err = resolve_penalty_beta(model, Penalty::bic(), 100, 2, std::size_t{1} << 63);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(),
            OvrelError::invalid_input("effective params overflow: d * params_per_segment exceeds "
                                      "usize (d=2, params_per_segment=9223372036854775808)"));
  err = resolve_penalty_beta(model, Penalty::bic(), 1, 1, 0);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(),
            OvrelError::invalid_input("resolved penalty must be finite and > 0.0; got beta=0"));
  err = resolve_penalty_beta(model, Penalty::aic(), 10, SIZE_MAX, 0);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(),
            OvrelError::invalid_input(core::cat(
                "model_default effective-params overflow for d=", SIZE_MAX, ", model=l2_mean")));
}

// ---------------------------------------------------------------------------------------------
// Counted segment cost

TEST(BinSegCostEval, NonFiniteCostIsRefusedAfterCounting) {
  const auto model = FunctionCost::of([](std::size_t, std::size_t) { return std::nan(""); });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  RunStats stats;
  const auto err = evaluate_segment_cost(model, FunctionCost::Cache{20, 1}, 0, 10, ctx, stats);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(), OvrelError::numerical_issue("non-finite segment cost at [0, 10): NaN"));
  EXPECT_EQ(stats.cost_evals, 1U);
}

TEST(BinSegCostEval, CostEvalBudgetFailsOrFlagsTheSixthCall) {
  int asked = 0;
  const auto model = FunctionCost::of([&](std::size_t, std::size_t) {
    ++asked;
    return 1.0;
  });
  Constraints constraints;
  constraints.max_cost_evals = 5;
  for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
    asked = 0;
    ExecutionContext ctx(constraints, core::kDefaultReproMode, mode);
    RunStats stats;
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(evaluate_segment_cost(model, FunctionCost::Cache{20, 1}, 0, 10, ctx, stats));
    }
    const auto sixth = evaluate_segment_cost(model, FunctionCost::Cache{20, 1}, 0, 10, ctx, stats);
    if (mode == core::BudgetMode::HardFail) {
      ASSERT_FALSE(sixth);
      EXPECT_EQ(sixth.error(),
                OvrelError::resource_limit(
                    "constraints.max_cost_evals exceeded: used=6, limit=5, budget_mode=HardFail"));
      EXPECT_EQ(asked, 5);
    } else {
      ASSERT_TRUE(sixth);
      EXPECT_TRUE(stats.soft_budget_exceeded);
      EXPECT_EQ(asked, 6);
    }
    EXPECT_EQ(stats.cost_evals, 6U);
  }
}

// ---------------------------------------------------------------------------------------------
// Frontier

struct FrontierRun {
  std::vector<FrontierItem> frontier;
  RunStats stats;
  std::uint64_t iteration = 0;
  Status status;
};

template <class C>
FrontierRun offer(const C& model, const core::ValidatedConstraints& v, std::size_t start,
                  std::size_t end, std::size_t depth, const ExecutionContext& ctx,
                  std::uint64_t every = 1000) {
  FrontierRun run;
  const typename C::Cache cache{v.n, 1};
  run.status = add_segment_to_frontier(run.frontier, model, cache, v.effective_candidates, start,
                                       end, depth, v, ctx, every, std::chrono::steady_clock::now(),
                                       run.stats, run.iteration);
  return run;
}

TEST(BinSegFrontier, CountsOneFullAndTwoPerCandidate) {
  const auto model = FunctionCost::of(
      [](std::size_t s, std::size_t e) { return static_cast<double>((e - s) * (e - s)); });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto run = offer(model, validated(constraints, 20), 0, 10, 0, ctx);
  ASSERT_TRUE(run.status);
  EXPECT_EQ(run.stats.cost_evals, 15U);
  EXPECT_EQ(run.stats.candidates_considered, 7U);
  EXPECT_EQ(run.iteration, 7U);
  ASSERT_EQ(run.frontier.size(), 1U);
  // (100 - s^2 - (10 - s)^2) is largest at s = 5.
  EXPECT_EQ(run.frontier[0], (FrontierItem{0, 10, 0, 5, 50.0}));
}

TEST(BinSegFrontier, SkipsShortDeepAndCandidateFreeSegments) {
  int asked = 0;
  const auto model = FunctionCost::of([&](std::size_t, std::size_t) {
    ++asked;
    return 0.0;
  });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  EXPECT_TRUE(offer(model, validated(constraints, 20), 0, 3, 0, ctx).frontier.empty());
  Constraints sparse;
  sparse.candidate_splits = std::vector<std::size_t>{3, 5, 7};
  EXPECT_TRUE(offer(model, validated(sparse, 12), 4, 8, 0, ctx).frontier.empty());
  Constraints shallow;
  shallow.max_depth = 1;
  EXPECT_EQ(offer(model, validated(shallow, 20), 0, 20, 0, ctx).frontier.size(), 1U);
  const int before = asked;
  EXPECT_TRUE(offer(model, validated(shallow, 20), 0, 10, 1, ctx).frontier.empty());
  EXPECT_TRUE(offer(model, validated(constraints, 20), 10, 10, 0, ctx).frontier.empty());
  EXPECT_EQ(asked, before);
}

TEST(BinSegFrontier, EqualGainsQueueTheSmallerSplitAndNegativeGainsAreQueued) {
  // Every split gains exactly -1.
  const auto model = FunctionCost::of([](std::size_t, std::size_t) { return 1.0; });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto run = offer(model, validated(constraints, 12), 0, 12, 0, ctx);
  ASSERT_EQ(run.frontier.size(), 1U);
  EXPECT_EQ(run.frontier[0].split, 2U);
  EXPECT_EQ(run.frontier[0].gain, -1.0);
}

TEST(BinSegFrontier, OverflowingGainIsANumericalIssue) {
  const double big = std::numeric_limits<double>::max();
  const auto model = FunctionCost::of([&](std::size_t s, std::size_t e) {
    if (s == 0 && e == 4) return big;
    return s == 0 ? -big : 0.0;
  });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto run = offer(model, validated(constraints, 4), 0, 4, 0, ctx);
  ASSERT_FALSE(run.status);
  EXPECT_EQ(run.status.error(), OvrelError::numerical_issue(core::cat(
                                    "non-finite gain at segment=[0, 4), split=2: full_cost=", big,
                                    ", left_cost=", -big, ", right_cost=0, gain=inf")));
  EXPECT_TRUE(run.frontier.empty());
}

TEST(BinSegFrontier, CancellationIsSeenAfterTheWholeSegmentCost) {
  const auto model = FunctionCost::of([](std::size_t, std::size_t) { return 1.0; });
  Constraints constraints;
  ExecutionContext ctx(constraints);
  core::CancelToken token;
  token.cancel();
  ctx.cancel = &token;
  const auto run = offer(model, validated(constraints, 20), 0, 20, 0, ctx, 1);
  ASSERT_FALSE(run.status);
  EXPECT_EQ(run.status.error(), OvrelError::cancelled());
  EXPECT_EQ(run.stats.cost_evals, 1U);
  EXPECT_TRUE(run.frontier.empty());
}

// ---------------------------------------------------------------------------------------------
// Detector against a direct oracle

// Greedy binary segmentation over the direct L2 cost, written independently of the detector.
std::vector<std::size_t> oracle_binseg(const std::vector<double>& x, std::size_t m,
                                       std::optional<std::size_t> k, double beta) {
  struct Seg {
    std::size_t s, e, split;
    double gain;
  };
  const std::size_t n = x.size();
  std::vector<Seg> pending;
  const auto examine = [&](std::size_t s, std::size_t e) {
    if (e - s < 2 * m) return;
    Seg best{s, e, 0, -HUGE_VAL};
    for (std::size_t c = s + m; c + m <= e; ++c) {
      const double g = direct_l2(x, s, e) - direct_l2(x, s, c) - direct_l2(x, c, e);
      if (g > best.gain) best = {s, e, c, g};
    }
    pending.push_back(best);
  };
  examine(0, n);
  std::vector<std::size_t> splits;
  while (!pending.empty() && (!k || splits.size() < *k)) {
    std::size_t bi = 0;
    for (std::size_t i = 1; i < pending.size(); ++i) {
      if (pending[i].gain > pending[bi].gain) bi = i;
    }
    const Seg best = pending[bi];
    if (!k && best.gain <= beta) break;
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(bi));
    splits.push_back(best.split);
    examine(best.s, best.split);
    examine(best.split, best.e);
  }
  std::sort(splits.begin(), splits.end());
  splits.push_back(n);
  return splits;
}

class BinSegOracle : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(BinSegOracle, KnownKAndPenalizedMatchTheDirectSearch) {
  const std::uint64_t seed = GetParam();
  const auto x =
      piecewise_series({{30 + seed % 7, 0.0}, {25, 3.0}, {40, -1.0}, {20 + seed, 2.0}}, 1.5, seed);
  const auto view = view_of(x);
  Constraints constraints;
  constraints.min_segment_len = 3;
  ExecutionContext ctx(constraints);
  for (std::size_t k = 1; k <= 5; ++k) {
    const auto r = l2_binseg(Stopping::known_k(k)).detect(view, ctx);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->breakpoints, oracle_binseg(x, 3, k, 0.0)) << "k=" << k;
  }
  for (const double beta : {1.0, 10.0, 40.0}) {
    const auto r = l2_binseg(Stopping::penalized(Penalty::manual(beta))).detect(view, ctx);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->breakpoints, oracle_binseg(x, 3, std::nullopt, beta)) << "beta=" << beta;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BinSegOracle, ::testing::Values(1, 2, 3, 4, 5, 6));

// ---------------------------------------------------------------------------------------------
// Detector: notes, warnings, metrics, progress

TEST(BinSegDetector, PenalizedNotesFromTheWorkedExamples) {
  const auto x = piecewise_series({{50, 0.0}, {50, 5.0}}, 0.5);
  const auto view = view_of(x);
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto bic = l2_binseg(Stopping::penalized(Penalty::bic()), 2).detect(view, ctx);
  ASSERT_TRUE(bic) << bic.error().display();
  EXPECT_EQ(bic->diagnostics.notes.at(0),
            "stopping=Penalized(BIC), beta=9.210340371976184, params_per_segment=2 "
            "(config_override)");
  EXPECT_EQ(bic->breakpoints, (std::vector<std::size_t>{50, 100}));
  const auto manual = l2_binseg(Stopping::penalized(Penalty::manual(2.0)), 2).detect(view, ctx);
  ASSERT_TRUE(manual);
  EXPECT_EQ(manual->diagnostics.notes.at(0),
            "stopping=Penalized(Manual(2.0)), beta=2, params_per_segment=2 (config)");
  const auto tiny = l2_binseg(Stopping::penalized(Penalty::manual(1e-5)), 0).detect(view, ctx);
  ASSERT_TRUE(tiny);
  EXPECT_EQ(tiny->diagnostics.notes.at(0),
            "stopping=Penalized(Manual(1e-5)), beta=0.00001, params_per_segment=2 "
            "(model_default_auto)");
}

TEST(BinSegDetector, DiagnosticsOfASuccessfulRun) {
  const auto x = piecewise_series({{40, 0.0}, {40, 4.0}}, 0.5);
  Constraints constraints;
  ExecutionContext ctx(constraints, core::ReproMode::Strict);
  const auto r = l2_binseg(Stopping::known_k(1)).detect(view_of(x), ctx);
  ASSERT_TRUE(r) << r.error().display();
  const core::Diagnostics& d = r->diagnostics;
  EXPECT_EQ(d.algorithm, "binseg");
  EXPECT_EQ(d.cost_model, "l2_mean");
  EXPECT_EQ(d.n, 80U);
  EXPECT_EQ(d.d, 1U);
  EXPECT_EQ(d.repro_mode, core::ReproMode::Strict);
  EXPECT_TRUE(d.runtime_ms.has_value());
  EXPECT_FALSE(d.pruning_stats.has_value());
  EXPECT_FALSE(d.params_json.has_value());
  EXPECT_FALSE(d.seed.has_value());
  EXPECT_EQ(d.warnings, std::vector<std::string>{kMaskWarning});
  // Root: 1 + 2 * 77 evaluations; the two halves: 1 + 2 * 37 each.
  EXPECT_EQ(d.notes, (std::vector<std::string>{
                         "stopping=KnownK(1), accepted_splits=1",
                         "final_change_count=1, cost_evals=305, candidates_considered=151"}));
  EXPECT_EQ(r->change_points, (std::vector<std::size_t>{40}));
}

TEST(BinSegDetector, ProgressAndMetricsOfKnownK) {
  const auto x = piecewise_series({{20, 0.0}, {20, 4.0}, {20, 0.0}, {20, 4.0}, {20, 0.0}}, 0.5);
  Constraints constraints;
  ExecutionContext ctx(constraints);
  RecordingProgress progress;
  RecordingTelemetry telemetry;
  ctx.progress = &progress;
  ctx.telemetry = &telemetry;
  const auto r = l2_binseg(Stopping::known_k(4)).detect(view_of(x), ctx);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(progress.values, (std::vector<float>{0.25F, 0.5F, 0.75F, 1.0F, 1.0F}));
  EXPECT_EQ(telemetry.keys(), (std::vector<std::string>{"offline.binseg.cost_evals",
                                                        "offline.binseg.candidates_considered",
                                                        "offline.binseg.runtime_ms"}));
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{20, 40, 60, 80, 100}));
}

TEST(BinSegDetector, NoMetricsOrFinalProgressForAFailedRun) {
  Constraints constraints;
  ExecutionContext ctx(constraints);
  RecordingProgress progress;
  RecordingTelemetry telemetry;
  ctx.progress = &progress;
  ctx.telemetry = &telemetry;
  const auto x = piecewise_series({{10, 0.0}}, 0.5);
  EXPECT_FALSE(l2_binseg(Stopping::known_k(9)).detect(view_of(x), ctx));
  EXPECT_TRUE(telemetry.values.empty());
  // The passes made before the frontier ran out report their share; 1.0 never comes.
  ASSERT_FALSE(progress.values.empty());
  EXPECT_EQ(progress.values.back(), static_cast<float>(progress.values.size()) / 9.0F);
  EXPECT_LT(progress.values.back(), 1.0F);
}

// ---------------------------------------------------------------------------------------------
// Detector: stopping rules and error precedence

Status detect_status(const BinSeg<CostL2Mean>& detector, const std::vector<double>& x,
                     const Constraints& constraints) {
  ExecutionContext ctx(constraints);
  const auto r = detector.detect(view_of(x), ctx);
  if (!r) return std::unexpected(r.error());
  return {};
}

TEST(BinSegStopping, TooShortSeries) {
  const std::vector<double> x{1.0, 2.0, 3.0};
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const auto r = l2_binseg(Stopping::penalized(Penalty::bic())).detect(view_of(x), ctx);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{3}));
  EXPECT_EQ(r->diagnostics.notes.back(),
            "final_change_count=0, cost_evals=0, candidates_considered=0");
}

TEST(BinSegStopping, GainEqualToBetaDoesNotSplit) {
  // Root gain at split 2 is exactly 6 - 1 - 1 = 4; halves cannot be split further.
  const auto model = FunctionCost::of([](std::size_t s, std::size_t e) {
    if (s == 0 && e == 4) return 6.0;
    return 1.0;
  });
  const std::vector<double> x(4, 0.0);
  Constraints constraints;
  ExecutionContext ctx(constraints);
  const BinSeg<FunctionCost> at{BinSegConfig{Stopping::penalized(Penalty::manual(4.0)), 2, 1000},
                                model};
  const auto r = at.detect(view_of(x), ctx);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{4}));
  const BinSeg<FunctionCost> below{
      BinSegConfig{Stopping::penalized(Penalty::manual(3.999)), 2, 1000}, model};
  EXPECT_EQ(below.detect(view_of(x), ctx)->breakpoints, (std::vector<std::size_t>{2, 4}));
}

TEST(BinSegStopping, SetUpErrorsComeInOrder) {
  const auto x = piecewise_series({{20, 0.0}}, 0.5);
  Constraints bad;
  bad.min_segment_len = 0;
  // The stopping rule is checked before the constraints.
  EXPECT_EQ(detect_status(l2_binseg(Stopping::known_k(0)), x, bad).error(),
            OvrelError::invalid_input("Stopping::KnownK requires k >= 1; got 0"));
  EXPECT_EQ(detect_status(l2_binseg(Stopping::known_k(1)), x, bad).error(),
            OvrelError::invalid_input("constraints.min_segment_len must be >= 1; got 0"));
  Constraints approx;
  approx.cache_policy = core::CachePolicy::approximate(1000, 0.1);
  EXPECT_EQ(detect_status(l2_binseg(Stopping::known_k(1)), x, approx).error(),
            OvrelError::not_supported("CostL2Mean does not support CachePolicy::Approximate"));
}

}  // namespace
}  // namespace ovrel::offline
