// The segment-neighbourhood detector: support operations, the sweep, the three selections and the
// detector, checked against an exhaustive search over every segmentation and against PELT.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "offline/offline_test_support.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/offline/dynp_impl.hpp"
#include "pelt_models.hpp"
#include "ovrel/offline/pelt.hpp"

namespace ovrel::offline {
namespace {

using core::ErrorKind;
using core::Penalty;
using core::Stopping;
using dynp::RunStats;
using testing::FunctionCost;
using testing::RecordingProgress;
using testing::RecordingTelemetry;
const auto validated_for = testing::validated;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------------------------------------
// Fixtures.

struct Series {
  std::vector<double> values;
  std::size_t n;
  std::size_t d;
  core::TimeSeriesView view;

  Series(std::vector<double> v, std::size_t d_,
         core::MissingPolicy policy = core::MissingPolicy::Error)
      : values(std::move(v)),
        n(values.size() / d_),
        d(d_),
        view(core::TimeSeriesView::from_f64(values, n, d, core::MemoryLayout::c_contiguous(),
                                            std::nullopt, core::TimeIndex::none(), policy)
                 .value()) {}
};

// Piecewise-constant means plus uniform noise.
std::vector<double> random_series(std::size_t n, std::uint32_t seed, double noise = 1.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> level(-4, 4);
  std::vector<double> out(n);
  double mean = level(gen);
  for (std::size_t t = 0; t < n; ++t) {
    if (t > 0 && t % 7 == 0) mean = level(gen);
    out[t] = mean + noise * unit(gen);
  }
  return out;
}

core::Constraints constraints(std::size_t min_len, std::size_t jump) {
  core::Constraints c;
  c.min_segment_len = min_len;
  c.jump = jump;
  return c;
}

void expect_error(const core::OvrelError& e, ErrorKind kind, const std::string& message) {
  EXPECT_EQ(e.kind(), kind) << e.display();
  EXPECT_EQ(e.message(), message);
}

// ---------------------------------------------------------------------------------------------
// Configuration and support operations.

TEST(DynpSupportTest, EndpointsAreZeroTheCandidatesAndN) {
  EXPECT_EQ(dynp::build_endpoints(validated_for(constraints(10, 1), 12), 12),
            (std::vector<std::size_t>{0, 12}));
  EXPECT_EQ(dynp::build_endpoints(validated_for(constraints(2, 3), 11), 11),
            (std::vector<std::size_t>{0, 3, 6, 9, 11}));
}

TEST(DynpSupportTest, SearchBoundIsTheCandidateCountLoweredByMaxChangePoints) {
  struct Case {
    std::optional<std::size_t> limit;
    std::size_t expected;
  };
  for (const Case& c : {Case{std::nullopt, 10}, Case{3, 3}, Case{20, 10}, Case{0, 0}}) {
    core::ValidatedConstraints v = validated_for(constraints(1, 1), 11);
    ASSERT_EQ(v.effective_candidates.size(), 10U);
    v.max_change_points = c.limit;
    EXPECT_EQ(dynp::max_change_points_to_search(v), c.expected);
  }
}

TEST(DynpSupportTest, StateEstimateAndItsOverflowingSteps) {
  EXPECT_EQ(dynp::estimate_dynp_sweep_state_bytes(2, 1).value(), 96U);
  struct Case {
    std::uint64_t m;
    std::uint64_t s;
    const char* message;
  };
  for (const Case& c : {
           Case{2, kU64Max, "dynp backpointer row count overflow"},
           Case{std::uint64_t{1} << 62, 3, "dynp backpointer cell count overflow"},
           Case{std::uint64_t{1} << 61, 0, "dynp backpointer bytes overflow"},
           Case{0, kU64Max / 8, "dynp objective bytes overflow"},
       }) {
    auto r = dynp::estimate_dynp_sweep_state_bytes(c.m, c.s);
    ASSERT_FALSE(r);
    expect_error(r.error(), ErrorKind::ResourceLimit, c.message);
  }
}

TEST(DynpSupportTest, RuntimeControlsActOnlyAtMultiplesOfThePeriod) {
  core::Constraints c;
  core::ExecutionContext ctx(c);
  core::CancelToken token;
  token.cancel();
  ctx.cancel = &token;
  RunStats stats;
  const auto now = std::chrono::steady_clock::now();
  for (std::uint64_t it : {1ULL, 999ULL, 1001ULL, 2500ULL}) {
    EXPECT_TRUE(dynp::check_runtime_controls(it, 1000, ctx, now, stats)) << it;
  }
  for (std::uint64_t it : {0ULL, 1000ULL, 2000ULL}) {
    auto r = dynp::check_runtime_controls(it, 1000, ctx, now, stats);
    ASSERT_FALSE(r) << it;
    EXPECT_EQ(r.error().kind(), ErrorKind::Cancelled);
  }
  for (std::uint64_t it : {1ULL, 7ULL}) {
    EXPECT_FALSE(dynp::check_runtime_controls(it, 1, ctx, now, stats)) << it;
  }
}

TEST(DynpSupportTest, TimeOverrunUnderSoftDegradeSetsTheFlagAndGoesOn) {
  core::Constraints c;
  c.time_budget_ms = 1;
  const auto long_ago = std::chrono::steady_clock::now() - std::chrono::seconds(5);
  core::ExecutionContext soft(c, core::ReproMode::Balanced, core::BudgetMode::SoftDegrade);
  RunStats stats;
  EXPECT_TRUE(dynp::check_runtime_controls(0, 1, soft, long_ago, stats));
  EXPECT_TRUE(stats.soft_budget_exceeded);

  core::ExecutionContext hard(c);
  RunStats hard_stats;
  auto r = dynp::check_runtime_controls(0, 1, hard, long_ago, hard_stats);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::ResourceLimit);
  EXPECT_TRUE(r.error().message().starts_with("constraints.time_budget_ms exceeded: elapsed_ms="));
  EXPECT_FALSE(hard_stats.soft_budget_exceeded);
}

// ---------------------------------------------------------------------------------------------
// The sweep.

struct SweepRun {
  Result<dynp::DynpSweepResult> result;
  RunStats stats;
  std::vector<float> progress;
};

template <costs::CostModel C>
SweepRun run_sweep(const C& model, const core::TimeSeriesView& x, const core::Constraints& c,
                   std::size_t max_k, std::uint64_t every = 1000,
                   core::BudgetMode mode = core::BudgetMode::HardFail,
                   const core::CancelToken* cancel = nullptr) {
  const auto v = validated_for(c, x.n());
  const auto cache = model.precompute(x, v.cache_policy).value();
  core::ExecutionContext ctx(c, core::ReproMode::Balanced, mode);
  RecordingProgress progress;
  ctx.progress = &progress;
  ctx.cancel = cancel;
  SweepRun run{std::unexpected(core::OvrelError::cancelled()), {}, {}};
  run.result = dynp::run_dynp_sweep(model, cache, x.n(), v, max_k, every, ctx,
                                    std::chrono::steady_clock::now(), run.stats);
  run.progress = progress.values;
  return run;
}

TEST(DynpSweepTest, FourPointsTwoEndpointsWorkedExample) {
  const Series s({0.0, 1.0, 5.0, 7.5}, 1);
  const costs::CostL2Mean model;
  const auto cache = model.precompute(s.view, core::CachePolicy::full()).value();
  auto run = run_sweep(model, s.view, constraints(2, 1), 1);
  ASSERT_TRUE(run.result) << run.result.error().display();
  const auto& r = *run.result;
  EXPECT_EQ(r.endpoints, (std::vector<std::size_t>{0, 2, 4}));
  ASSERT_EQ(r.objective.size(), 3U);
  EXPECT_EQ(r.objective[0], kInf);
  EXPECT_EQ(r.objective[1], model.segment_cost(cache, 0, 4));
  EXPECT_EQ(r.objective[2], model.segment_cost(cache, 2, 4) + model.segment_cost(cache, 0, 2));
  EXPECT_EQ(r.row_count, 3U);
  EXPECT_EQ(r.backpointers,
            (std::vector<std::size_t>{kNone, kNone, kNone, kNone, 0, 0, kNone, kNone, 1}));
  EXPECT_EQ(run.stats, (RunStats{3, 3, false}));
  EXPECT_EQ(run.progress, (std::vector<float>{0.5F, 1.0F}));
}

TEST(DynpSweepTest, IterationCounterReachesNineInTheWorkedExample) {
  // The ninth loop iteration is the last one, just before the third evaluation: a period of 9
  // notices a set flag there, a period of 10 never does.
  const Series s({0.0, 1.0, 5.0, 7.5}, 1);
  core::CancelToken token;
  token.cancel();
  auto at_nine = run_sweep(costs::CostL2Mean{}, s.view, constraints(2, 1), 1, 9,
                           core::BudgetMode::HardFail, &token);
  ASSERT_FALSE(at_nine.result);
  EXPECT_EQ(at_nine.result.error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(at_nine.stats.cost_evals, 2U);
  auto at_ten = run_sweep(costs::CostL2Mean{}, s.view, constraints(2, 1), 1, 10,
                          core::BudgetMode::HardFail, &token);
  EXPECT_TRUE(at_ten.result);
}

TEST(DynpSweepTest, CancellationIsNoticedExactlyAtIterationThousand) {
  core::CancelToken token;
  token.cancel();
  // n = 50, one segment count: end j costs 1 + j iterations and admits only the start at 0, so
  // iteration 1000 falls inside end 44, after its one evaluation.
  const Series long_series(random_series(50, 3), 1);
  auto run = run_sweep(costs::CostL2Mean{}, long_series.view, constraints(1, 1), 0, 1000,
                       core::BudgetMode::HardFail, &token);
  ASSERT_FALSE(run.result);
  EXPECT_EQ(run.result.error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(run.stats.cost_evals, 44U);
  // n = 40 takes 40 + 820 iterations and never reaches a check.
  const Series short_series(random_series(40, 3), 1);
  EXPECT_TRUE(run_sweep(costs::CostL2Mean{}, short_series.view, constraints(1, 1), 0, 1000,
                        core::BudgetMode::HardFail, &token)
                  .result);
}

TEST(DynpSweepTest, CostEvaluationBudget) {
  const Series s({0.0, 1.0, 5.0, 7.5}, 1);
  core::Constraints c = constraints(2, 1);
  c.max_cost_evals = 2;
  auto hard = run_sweep(costs::CostL2Mean{}, s.view, c, 1);
  ASSERT_FALSE(hard.result);
  expect_error(hard.result.error(), ErrorKind::ResourceLimit,
               "constraints.max_cost_evals exceeded: used=3, limit=2, budget_mode=HardFail");
  EXPECT_EQ(hard.stats.cost_evals, 3U);
  auto soft = run_sweep(costs::CostL2Mean{}, s.view, c, 1, 1000, core::BudgetMode::SoftDegrade);
  ASSERT_TRUE(soft.result);
  EXPECT_EQ(soft.stats, (RunStats{3, 3, true}));
}

TEST(DynpSweepTest, MaxKAboveTheCandidateCountIsRefusedBeforeAnyCost) {
  const Series s(random_series(10, 1), 1);
  const auto v = validated_for(constraints(3, 1), 10);  // candidates 3..7
  ASSERT_EQ(v.effective_candidates.size(), 5U);
  EXPECT_TRUE(run_sweep(costs::CostL2Mean{}, s.view, constraints(3, 1), 5).result);
  auto run = run_sweep(costs::CostL2Mean{}, s.view, constraints(3, 1), 6);
  ASSERT_FALSE(run.result);
  expect_error(run.result.error(), ErrorKind::InvalidInput,
               "max_k=6 exceeds available candidate split positions=5");
  EXPECT_EQ(run.stats, RunStats{});
}

TEST(DynpSweepTest, NoCandidatesGivesOneSegmentOrNothing) {
  const Series s(random_series(6, 2), 1);
  const costs::CostL2Mean model;
  const auto cache = model.precompute(s.view, core::CachePolicy::full()).value();
  auto whole = run_sweep(model, s.view, constraints(4, 1), 0);
  ASSERT_TRUE(whole.result);
  EXPECT_EQ(whole.result->objective[1], model.segment_cost(cache, 0, 6));
  EXPECT_EQ(whole.result->backpointer(1, 1), 0U);
  // min_segment_len above n: nothing is admissible and nothing is evaluated.
  auto none = run_sweep(model, s.view, constraints(7, 1), 0);
  ASSERT_TRUE(none.result);
  EXPECT_EQ(none.result->objective[1], kInf);
  EXPECT_EQ(none.result->backpointers, (std::vector<std::size_t>(4, kNone)));
  EXPECT_EQ(none.stats, RunStats{});
}

TEST(DynpSweepTest, EqualTotalsKeepTheEarlierStart) {
  const Series s(std::vector<double>(6, 0.0), 1);
  const FunctionCost flat = FunctionCost::of([](std::size_t, std::size_t) { return 1.0; });
  auto run = run_sweep(flat, s.view, constraints(1, 1), 2);
  ASSERT_TRUE(run.result);
  // Two segments ending at n: every split gives 2; the first (at endpoint 1) is kept.
  EXPECT_EQ(run.result->backpointer(2, 6), 1U);
  EXPECT_EQ(run.result->backpointer(3, 6), 2U);
}

TEST(DynpSweepTest, NonFiniteCostsAndTotalsAreRefused) {
  const Series s(std::vector<double>(4, 0.0), 1);
  for (double bad : {std::nan(""), kInf, -kInf}) {
    const auto model = FunctionCost::of(
        [bad](std::size_t a, std::size_t b) { return a == 0 && b == 3 ? bad : 1.0; });
    auto run = run_sweep(model, s.view, constraints(1, 1), 1);
    ASSERT_FALSE(run.result);
    expect_error(run.result.error(), ErrorKind::NumericalIssue,
                 core::cat("non-finite segment cost at [0, 3): ", bad));
  }
  const FunctionCost huge = FunctionCost::of([](std::size_t, std::size_t) { return 1e308; });
  auto run = run_sweep(huge, s.view, constraints(1, 1), 1);
  ASSERT_FALSE(run.result);
  expect_error(run.result.error(), ErrorKind::NumericalIssue,
               "non-finite dynp objective at segment_count=2, start=1, end=2");
}

TEST(DynpSweepTest, MemoryBudgetIsHeldBeforeAnyTable) {
  const Series s(random_series(100, 4), 1);
  core::Constraints c = constraints(1, 1);
  const std::uint64_t required = dynp::estimate_dynp_sweep_state_bytes(101, 6).value();
  c.memory_budget_bytes = required;
  EXPECT_TRUE(run_sweep(costs::CostL2Mean{}, s.view, c, 5).result);
  c.memory_budget_bytes = required - 1;
  auto run = run_sweep(costs::CostL2Mean{}, s.view, c, 5);
  ASSERT_FALSE(run.result);
  expect_error(run.result.error(), ErrorKind::ResourceLimit,
               core::cat("constraints.memory_budget_bytes exceeded for dynp state: required_bytes=",
                         required, ", limit_bytes=", required - 1,
                         "; increase constraints.memory_budget_bytes, reduce "
                         "constraints.max_change_points, or increase constraints.jump"));
  EXPECT_EQ(run.stats, RunStats{});
}

TEST(DynpSweepTest, RefusedTableAllocationIsAResourceLimitNotACrash) {
  // Five million endpoints and every change count: the backpointer table alone would be about
  // 200 TB, beyond any address space. Without a memory budget nothing stops the request, so the
  // refusal itself has to come back as an error.
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer aborts on such a request unless allocator_may_return_null is set.
  GTEST_SKIP() << "huge allocations abort under AddressSanitizer";
#endif
  const std::size_t n = 5'000'000;
  core::ValidatedConstraints v;
  v.min_segment_len = 1;
  v.n = n;
  v.effective_candidates.resize(n - 1);
  for (std::size_t i = 0; i < n - 1; ++i) v.effective_candidates[i] = i + 1;
  const FunctionCost model = FunctionCost::of([](std::size_t, std::size_t) { return 0.0; });
  const core::Constraints c;
  const core::ExecutionContext ctx(c);
  RunStats stats;
  auto r = dynp::run_dynp_sweep(model, FunctionCost::Cache{n, 1}, n, v, n - 1, 1000, ctx,
                                std::chrono::steady_clock::now(), stats);
  ASSERT_FALSE(r);
  const std::uint64_t required = dynp::estimate_dynp_sweep_state_bytes(n + 1, n).value();
  expect_error(r.error(), ErrorKind::ResourceLimit,
               core::cat("dynp state allocation failed: required_bytes=", required,
                         "; reduce constraints.max_change_points, or increase constraints.jump"));
  EXPECT_EQ(stats, RunStats{});
}

// ---------------------------------------------------------------------------------------------
// Backtracking and selection over hand-made sweeps.

// Endpoints [0, 2, 5, 8]; rows for 0..3 segments.
dynp::DynpSweepResult hand_sweep(std::vector<double> objective) {
  dynp::DynpSweepResult r;
  r.endpoints = {0, 2, 5, 8};
  r.row_count = 4;
  // clang-format off
  r.backpointers = {
      kNone, kNone, kNone, kNone,
      kNone, 0,     0,     0,
      kNone, kNone, 1,     2,
      kNone, kNone, kNone, 2,
  };
  // clang-format on
  r.objective = std::move(objective);
  return r;
}

TEST(DynpBacktrackTest, FollowsTheRowsFromTheRight) {
  const auto r = hand_sweep({kInf, 9.0, 4.0, 3.0});
  const std::vector<std::vector<std::size_t>> expected{{8}, {5, 8}, {2, 5, 8}};
  for (std::size_t s = 1; s <= 3; ++s) {
    EXPECT_EQ(dynp::reconstruct_breakpoints_for_segment_count(r, s, 8).value(), expected[s - 1]);
  }
}

TEST(DynpBacktrackTest, RefusesBrokenStates) {
  auto r = hand_sweep({kInf, 9.0, 4.0, 3.0});
  struct Case {
    std::size_t s;
    std::size_t n;
    const char* message;
  };
  for (const Case& c :
       {Case{0, 8, "invalid segment_count=0 for backtracking"},
        Case{4, 8, "invalid segment_count=4 for backtracking"},
        Case{2, 9, "invalid dynp endpoint state: expected terminal endpoint n=9"}}) {
    expect_error(dynp::reconstruct_breakpoints_for_segment_count(r, c.s, c.n).error(),
                 ErrorKind::InvalidInput, c.message);
  }
  r.backpointers[2 * 4 + 3] = kNone;
  expect_error(dynp::reconstruct_breakpoints_for_segment_count(r, 2, 8).error(),
               ErrorKind::InvalidInput, "backtracking failed at segment_count=2, endpoint=8");
  r.backpointers[2 * 4 + 3] = 0;
  expect_error(dynp::reconstruct_breakpoints_for_segment_count(r, 2, 8).error(),
               ErrorKind::InvalidInput, "invalid split during backtracking at split=0");
}

TEST(DynpSelectionTest, PicksTheLeastPenalisedCountWithTiesToFewerChanges) {
  const auto r = hand_sweep({kInf, 9.0, 4.0, 3.0});
  // beta 5: 9, 9, 13 -> k = 0 by the tie rule.
  for (const auto& [beta, expected] :
       std::vector<std::pair<double, dynp::PenalizedSelection>>{{5.0, {{8}, 9.0, 0, 9.0}},
                                                                {1.0, {{5, 8}, 4.0, 1, 5.0}},
                                                                {0.25, {{2, 5, 8}, 3.0, 2, 3.5}}}) {
    EXPECT_EQ(dynp::select_penalized_kernel(r, 8, "Penalized selection", beta).value(), expected);
  }
}

TEST(DynpSelectionTest, SkipsInfeasibleCountsAndReportsWhenNoneIsLeft) {
  const auto r = hand_sweep({kInf, kInf, std::nan(""), 3.0});
  EXPECT_EQ(dynp::select_penalized_kernel(r, 8, "x", 100.0)->change_count, 2U);
  const auto empty = hand_sweep({kInf, kInf, std::nan(""), kInf});
  expect_error(dynp::select_penalized_kernel(empty, 8, "PenaltyPath[2]", 1.0).error(),
               ErrorKind::InvalidInput,
               "PenaltyPath[2] found no feasible segmentation under current constraints");
}

TEST(DynpSelectionTest, RefusesBadBetasAndOverflowingPenalisedValues) {
  const auto r = hand_sweep({kInf, 9.0, 4.0, 3.0});
  for (double beta : {0.0, -0.0, -1.0, kInf, std::nan("")}) {
    expect_error(dynp::select_penalized_kernel(r, 8, "Penalized selection", beta).error(),
                 ErrorKind::InvalidInput,
                 core::cat("Penalized selection requires finite beta > 0.0; got ", beta));
  }
  // k = 0 would win, but 2 * 1e308 overflows for k = 2.
  expect_error(dynp::select_penalized_kernel(r, 8, "Penalized selection", 1e308).error(),
               ErrorKind::NumericalIssue,
               core::cat("Penalized selection produced non-finite objective for k=2: "
                         "objective=3, beta=",
                         1e308));
}

TEST(DynpSelectionTest, BacktrackingFailureIsWrappedWithTheLabel) {
  auto r = hand_sweep({kInf, 9.0, 4.0, 3.0});
  r.backpointers[2 * 4 + 3] = kNone;
  expect_error(dynp::select_penalized_kernel(r, 8, "Penalized selection", 1.0).error(),
               ErrorKind::InvalidInput,
               "Penalized selection backtracking failed: invalid input: backtracking failed at "
               "segment_count=2, endpoint=8");
}

// ---------------------------------------------------------------------------------------------
// The three entry runs.

struct EntryFixture {
  Series series{random_series(12, 9), 1};
  costs::CostL2Mean model;
  costs::L2Cache cache = model.precompute(series.view, core::CachePolicy::full()).value();
  core::Constraints c = constraints(2, 1);
  core::ExecutionContext ctx{c};
  RunStats stats;

  Result<dynp::KnownKSelection> known_k(std::size_t k) {
    return dynp::run_dynp_known_k(model, cache, series.n, validated_for(c, series.n), k, 1000, ctx,
                                  std::chrono::steady_clock::now(), stats);
  }
  Result<std::vector<dynp::PenalizedSelection>> path(std::vector<double> betas) {
    return dynp::run_dynp_penalty_path(model, cache, series.view, validated_for(c, series.n), betas,
                                       1000, ctx, std::chrono::steady_clock::now(), stats);
  }
};

TEST(DynpKnownKTest, LimitsAreCheckedBeforeTheSweep) {
  EntryFixture f;
  f.c.max_change_points = 3;
  expect_error(f.known_k(4).error(), ErrorKind::InvalidInput,
               "KnownK=4 exceeds constraints.max_change_points=3");
  f.c.max_change_points.reset();
  f.c.min_segment_len = 5;  // candidates 5, 6, 7
  expect_error(f.known_k(4).error(), ErrorKind::InvalidInput,
               "KnownK exact solution unreachable: requested k=4, but only 3 candidate split "
               "positions are available under constraints");
  f.c.max_change_points = 2;
  expect_error(f.known_k(4).error(), ErrorKind::InvalidInput,
               "KnownK=4 exceeds constraints.max_change_points=2");
  EXPECT_EQ(f.stats, RunStats{});
}

TEST(DynpPenaltyPathTest, RefusesEmptyAndBadBetasBeforeTheSweep) {
  EntryFixture f;
  expect_error(f.path({}).error(), ErrorKind::InvalidInput,
               "run_dynp_penalty_path requires at least one beta");
  expect_error(f.path({2.0, 0.0}).error(), ErrorKind::InvalidInput,
               "run_dynp_penalty_path beta[1] must be finite and > 0; got 0");
  expect_error(f.path({std::nan("")}).error(), ErrorKind::InvalidInput,
               "run_dynp_penalty_path beta[0] must be finite and > 0; got NaN");
  EXPECT_EQ(f.stats, RunStats{});
}

TEST(DynpPenaltyPathTest, OneSweepAnswersEveryBetaInOrder) {
  EntryFixture single;
  auto one = dynp::run_dynp_penalized(single.model, single.cache, single.series.view,
                                      validated_for(single.c, 12), 1000, single.ctx,
                                      std::chrono::steady_clock::now(), single.stats, 3.0);
  ASSERT_TRUE(one);
  EntryFixture f;
  auto path = f.path({3.0, 0.5, 3.0});
  ASSERT_TRUE(path);
  ASSERT_EQ(path->size(), 3U);
  EXPECT_EQ((*path)[0], *one);
  EXPECT_EQ((*path)[2], *one);
  EXPECT_GE((*path)[1].change_count, one->change_count);
  EXPECT_EQ(f.stats, single.stats);
}

// ---------------------------------------------------------------------------------------------
// Penalty resolution per cost model.

TEST(DynpPenaltyTest, ModelDefaultsAndFigures) {
  auto expect_resolved = [](const auto& r, double beta, std::size_t params) {
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->beta, beta);
    EXPECT_EQ(r->params_per_segment, params);
  };
  expect_resolved(dynp::resolve_penalty_beta(costs::CostL2Mean{}, Penalty::bic(), 100, 3),
                  6 * std::log(100.0), 2);
  expect_resolved(dynp::resolve_penalty_beta(costs::CostNormalMeanVar{}, Penalty::aic(), 100, 2),
                  12.0, 3);
  // 1 + 2 + 3 parameters
  expect_resolved(dynp::resolve_penalty_beta(costs::CostNormalFullCov{}, Penalty::aic(), 100, 2),
                  12.0, 3);
  expect_resolved(dynp::resolve_penalty_beta(costs::CostCosine{}, Penalty::aic(), 100, 4), 10.0, 2);
  expect_resolved(dynp::resolve_penalty_beta(costs::CostNIGMarginal{}, Penalty::manual(0.5), 7, 9),
                  0.5, 3);
  costs::CostAR ar;
  ar.order = 3;
  expect_resolved(dynp::resolve_penalty_beta(ar, Penalty::aic(), 100, 2), 20.0, 5);
  ar.order = SIZE_MAX;
  EXPECT_EQ(dynp::resolve_penalty_beta(ar, Penalty::manual(1.0), 100, 1)->params_per_segment,
            SIZE_MAX);
}

TEST(DynpPenaltyTest, Refusals) {
  expect_error(dynp::resolve_penalty_beta(costs::CostL2Mean{}, Penalty::bic(), 1, 1).error(),
               ErrorKind::InvalidInput, "resolved penalty must be finite and > 0.0; got beta=0");
  expect_error(dynp::resolve_penalty_beta(costs::CostL2Mean{}, Penalty::aic(), 5, SIZE_MAX).error(),
               ErrorKind::InvalidInput,
               "model_default effective-params overflow for d=18446744073709551615, model=l2_mean");
  expect_error(dynp::resolve_penalty_beta(costs::CostRank{}, Penalty::manual(-2.0), 5, 1).error(),
               ErrorKind::InvalidInput, "resolved penalty must be finite and > 0.0; got beta=-2");
}

// ---------------------------------------------------------------------------------------------
// Exhaustive oracle: every subset of the candidate positions.

struct OracleBest {
  std::vector<double> objective;  // per change count; +inf when infeasible
};

template <costs::CostModel C>
OracleBest exhaustive(const C& model, const typename C::Cache& cache,
                      const core::ValidatedConstraints& v, std::size_t n) {
  const auto& cand = v.effective_candidates;
  OracleBest best{std::vector<double>(cand.size() + 1, kInf)};
  for (std::uint32_t mask = 0; mask < (1U << cand.size()); ++mask) {
    std::vector<std::size_t> bounds{0};
    for (std::size_t i = 0; i < cand.size(); ++i) {
      if (mask & (1U << i)) bounds.push_back(cand[i]);
    }
    bounds.push_back(n);
    double total = 0.0;
    bool ok = true;
    for (std::size_t s = 1; s < bounds.size(); ++s) {
      if (bounds[s] - bounds[s - 1] < v.min_segment_len) {
        ok = false;
        break;
      }
      total = total + model.segment_cost(cache, bounds[s - 1], bounds[s]);
    }
    const std::size_t k = bounds.size() - 2;
    if (ok && total < best.objective[k]) best.objective[k] = total;
  }
  return best;
}

template <costs::CostModel C>
double segmentation_cost(const C& model, const typename C::Cache& cache,
                         const std::vector<std::size_t>& breakpoints) {
  double total = 0.0;
  std::size_t start = 0;
  for (std::size_t b : breakpoints) {
    total = total + model.segment_cost(cache, start, b);
    start = b;
  }
  return total;
}

struct OracleCase {
  std::uint32_t seed;
  std::size_t n;
  std::size_t min_len;
  std::size_t jump;
};

class DynpOracleTest : public ::testing::TestWithParam<OracleCase> {};

template <costs::CostModel C>
void check_against_oracle(const C& model, const OracleCase& p) {
  const Series s(random_series(p.n, p.seed, 0.8), 1);
  const core::Constraints c = constraints(p.min_len, p.jump);
  const auto v = validated_for(c, p.n);
  ASSERT_LE(v.effective_candidates.size(), 14U);
  const auto cache = model.precompute(s.view, v.cache_policy).value();
  const OracleBest oracle = exhaustive(model, cache, v, p.n);
  const core::ExecutionContext ctx(c);

  for (std::size_t k = 1; k <= v.effective_candidates.size(); ++k) {
    RunStats stats;
    auto r = dynp::run_dynp_known_k(model, cache, p.n, v, k, 1000, ctx,
                                    std::chrono::steady_clock::now(), stats);
    if (oracle.objective[k] == kInf) {
      ASSERT_FALSE(r) << "k=" << k;
      EXPECT_EQ(r.error().message(), core::cat("KnownK exact solution unreachable: requested k=", k,
                                               " under current constraints"));
      continue;
    }
    ASSERT_TRUE(r) << "k=" << k << ": " << r.error().display();
    // Prefix costs are added in the same order as a left-to-right sum, so the optimum is exact.
    EXPECT_EQ(r->objective, oracle.objective[k]) << "k=" << k;
    EXPECT_EQ(r->breakpoints.size(), k + 1);
    EXPECT_EQ(segmentation_cost(model, cache, r->breakpoints), r->objective) << "k=" << k;
  }

  for (double beta : {0.05, 0.7, 3.0, 40.0}) {
    double best = kInf;
    for (std::size_t k = 0; k < oracle.objective.size(); ++k) {
      if (oracle.objective[k] == kInf) continue;
      best = std::fmin(best, beta * static_cast<double>(k) + oracle.objective[k]);
    }
    RunStats stats;
    auto sel = dynp::run_dynp_penalized(model, cache, s.view, v, 1000, ctx,
                                        std::chrono::steady_clock::now(), stats, beta);
    ASSERT_TRUE(sel) << sel.error().display();
    EXPECT_EQ(sel->penalized_objective, best) << "beta=" << beta;
  }
}

TEST_P(DynpOracleTest, L2MeanAgreesWithEverySegmentation) {
  check_against_oracle(costs::CostL2Mean{}, GetParam());
}
TEST_P(DynpOracleTest, NormalMeanVarAgreesWithEverySegmentation) {
  check_against_oracle(costs::CostNormalMeanVar{}, GetParam());
}
TEST_P(DynpOracleTest, L1MedianAgreesWithEverySegmentation) {
  check_against_oracle(costs::CostL1Median{}, GetParam());
}

INSTANTIATE_TEST_SUITE_P(SmallSeries, DynpOracleTest,
                         ::testing::Values(OracleCase{1, 9, 1, 1}, OracleCase{2, 12, 1, 1},
                                           OracleCase{3, 14, 2, 1}, OracleCase{4, 15, 3, 1},
                                           OracleCase{5, 20, 2, 2}, OracleCase{6, 25, 2, 3},
                                           OracleCase{7, 13, 4, 1}, OracleCase{8, 11, 2, 1}));

// ---------------------------------------------------------------------------------------------
// The detector.

struct DetectRun {
  Result<core::OfflineChangePointResult> result;
  std::vector<float> progress;
  std::vector<std::pair<std::string, double>> metrics;
};

template <costs::CostModel C = costs::CostL2Mean>
DetectRun detect(const Series& s, Stopping stopping, const core::Constraints& c,
                 core::BudgetMode mode = core::BudgetMode::HardFail, std::size_t every = 1000,
                 C model = {}) {
  const Dynp<C> detector{DynpConfig{std::move(stopping), every}, model};
  core::ExecutionContext ctx(c, core::ReproMode::Strict, mode);
  RecordingProgress progress;
  RecordingTelemetry metrics;
  ctx.progress = &progress;
  ctx.telemetry = &metrics;
  auto r = detector.detect(s.view, ctx);
  return {std::move(r), progress.values, metrics.values};
}

const Series& step_series() {
  static const Series s(random_series(30, 21, 0.3), 1);
  return s;
}

TEST(DynpDetectTest, KnownKNotesAndDiagnostics) {
  const costs::CostL2Mean model;
  const auto cache = model.precompute(step_series().view, core::CachePolicy::full()).value();
  auto run = detect(step_series(), Stopping::known_k(3), constraints(2, 1));
  ASSERT_TRUE(run.result) << run.result.error().display();
  const auto& r = *run.result;
  ASSERT_EQ(r.breakpoints.size(), 4U);
  EXPECT_EQ(r.breakpoints.back(), 30U);
  const auto& d = r.diagnostics;
  ASSERT_EQ(d.notes.size(), 3U);
  EXPECT_EQ(d.notes[0], "stopping=KnownK(3)");
  EXPECT_EQ(d.notes[1],
            core::cat("final_objective=", segmentation_cost(model, cache, r.breakpoints),
                      ", change_count=3"));
  EXPECT_TRUE(d.notes[2].starts_with("cost_evals=")) << d.notes[2];
  EXPECT_TRUE(d.warnings.empty());
  EXPECT_EQ(d.algorithm, "dynp");
  EXPECT_EQ(d.cost_model, "l2_mean");
  EXPECT_EQ(d.repro_mode, core::ReproMode::Strict);
  EXPECT_FALSE(d.pruning_stats.has_value());
}

TEST(DynpDetectTest, PenalizedNotesCarryTheUnpenalisedFinalObjective) {
  auto run = detect(step_series(), Stopping::penalized(Penalty::manual(2.0)), constraints(2, 1));
  ASSERT_TRUE(run.result);
  const auto& notes = run.result->diagnostics.notes;
  ASSERT_EQ(notes.size(), 4U);
  EXPECT_EQ(notes[0],
            "stopping=Penalized(Manual(2.0)), beta=2, params_per_segment=2 "
            "(model_default)");
  const std::size_t k = run.result->change_points.size();
  const costs::CostL2Mean model;
  const auto cache = model.precompute(step_series().view, core::CachePolicy::full()).value();
  const double objective = segmentation_cost(model, cache, run.result->breakpoints);
  EXPECT_EQ(notes[1],
            core::cat("selected_penalized_objective=", 2.0 * static_cast<double>(k) + objective));
  EXPECT_EQ(notes[2], core::cat("final_objective=", objective, ", change_count=", k));
  EXPECT_TRUE(notes[3].starts_with("cost_evals="));
}

TEST(DynpDetectTest, PenaltyPathRunsOneSweepAndReportsTheFirstEntry) {
  const std::vector<Penalty> path{Penalty::manual(50.0), Penalty::bic(), Penalty::manual(0.01)};
  auto run = detect(step_series(), Stopping::penalty_path(path), constraints(2, 1));
  ASSERT_TRUE(run.result) << run.result.error().display();
  auto first = detect(step_series(), Stopping::penalized(path[0]), constraints(2, 1));
  auto last = detect(step_series(), Stopping::penalized(path[2]), constraints(2, 1));
  ASSERT_TRUE(first.result);
  ASSERT_TRUE(last.result);
  const auto& notes = run.result->diagnostics.notes;
  ASSERT_EQ(notes.size(), 6U);
  EXPECT_EQ(notes[0], "stopping=PenaltyPath(len=3), primary_index=0");
  EXPECT_TRUE(
      notes[1].starts_with("penalty_path[0]: penalty=Manual(50.0), beta=50, "
                           "params_per_segment=2 (model_default), change_count="))
      << notes[1];
  EXPECT_TRUE(notes[2].starts_with(
      core::cat("penalty_path[1]: penalty=BIC, beta=", 2.0 * std::log(30.0), ", ")))
      << notes[2];
  EXPECT_TRUE(notes[3].starts_with("penalty_path[2]: penalty=Manual(0.01), beta=0.01, "));
  EXPECT_EQ(notes[4], first.result->diagnostics.notes[2]);
  // The counters equal one penalised run's: one sweep serves the whole path.
  EXPECT_EQ(notes[5], first.result->diagnostics.notes[3]);
  EXPECT_EQ(notes[5], last.result->diagnostics.notes[3]);
  EXPECT_EQ(run.result->breakpoints, first.result->breakpoints);
  EXPECT_NE(run.result->breakpoints, last.result->breakpoints);
}

TEST(DynpDetectTest, PenaltyPathEntryNoteText) {
  const Series s({0.0, 0.0, 10.0, 10.0}, 1);
  auto run = detect(s, Stopping::penalty_path({Penalty::manual(1.0)}), constraints(2, 1));
  ASSERT_TRUE(run.result);
  EXPECT_EQ(run.result->diagnostics.notes[1],
            "penalty_path[0]: penalty=Manual(1.0), beta=1, params_per_segment=2 "
            "(model_default), change_count=1, objective=0, penalized_objective=1");
  EXPECT_EQ(run.result->breakpoints, (std::vector<std::size_t>{2, 4}));
}

TEST(DynpDetectTest, PathWithAFailingResolutionRunsNothing) {
  const Series s({1.5}, 1);
  auto run = detect(s, Stopping::penalty_path({Penalty::manual(5.0), Penalty::bic()}),
                    core::Constraints{});
  ASSERT_FALSE(run.result);
  expect_error(run.result.error(), ErrorKind::InvalidInput,
               "resolved penalty must be finite and > 0.0; got beta=0");
  EXPECT_TRUE(run.metrics.empty());
  EXPECT_TRUE(run.progress.empty());
}

TEST(DynpDetectTest, MaxDepthIsIgnoredWithAWarning) {
  core::Constraints c = constraints(2, 1);
  c.max_depth = 3;
  auto with = detect(step_series(), Stopping::known_k(2), c);
  auto without = detect(step_series(), Stopping::known_k(2), constraints(2, 1));
  ASSERT_TRUE(with.result);
  ASSERT_TRUE(without.result);
  EXPECT_EQ(with.result->diagnostics.warnings,
            (std::vector<std::string>{"constraints.max_depth=3 is ignored by Dynp"}));
  EXPECT_EQ(with.result->breakpoints, without.result->breakpoints);
}

TEST(DynpDetectTest, SoftCostBudgetWarnsLastAndCountsEveryEvaluation) {
  core::Constraints c = constraints(2, 1);
  c.max_depth = 1;
  c.max_cost_evals = 5;
  auto run = detect(step_series(), Stopping::known_k(2), c, core::BudgetMode::SoftDegrade);
  ASSERT_TRUE(run.result) << run.result.error().display();
  const auto& d = run.result->diagnostics;
  ASSERT_EQ(d.warnings.size(), 2U);
  EXPECT_EQ(d.warnings[1],
            "budget exceeded under SoftDegrade mode; run continued without algorithm fallback");
  ASSERT_EQ(run.metrics.size(), 3U);
  EXPECT_GT(run.metrics[0].second, 5.0);
  EXPECT_EQ(d.notes[2], core::cat("cost_evals=", run.metrics[0].second,
                                  ", candidates_considered=", run.metrics[1].second));
}

TEST(DynpDetectTest, MetricsThenFinalProgressOnlyAfterSuccess) {
  auto run = detect(step_series(), Stopping::known_k(1), constraints(2, 1));
  ASSERT_TRUE(run.result);
  ASSERT_EQ(run.metrics.size(), 3U);
  EXPECT_EQ(run.metrics[0].first, "offline.dynp.cost_evals");
  EXPECT_EQ(run.metrics[1].first, "offline.dynp.candidates_considered");
  EXPECT_EQ(run.metrics[2].first, "offline.dynp.runtime_ms");
  EXPECT_EQ(run.metrics[0].second, run.metrics[1].second);
  EXPECT_EQ(run.progress, (std::vector<float>{0.5F, 1.0F, 1.0F}));

  core::Constraints c = constraints(2, 1);
  c.max_cost_evals = 1;
  auto failed = detect(step_series(), Stopping::known_k(1), c);
  ASSERT_FALSE(failed.result);
  EXPECT_TRUE(failed.metrics.empty());
}

TEST(DynpDetectTest, ZeroPeriodBehavesAsOne) {
  core::CancelToken token;
  token.cancel();
  const Dynp<costs::CostL2Mean> detector{DynpConfig{Stopping::known_k(1), 0}, {}};
  const core::Constraints c = constraints(2, 1);
  core::ExecutionContext ctx(c);
  ctx.cancel = &token;
  auto r = detector.detect(step_series().view, ctx);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Cancelled);
}

TEST(DynpDetectTest, ChecksRunInOrder) {
  core::Constraints bad = constraints(0, 1);
  auto config_first = detect(step_series(), Stopping::known_k(0), bad);
  expect_error(config_first.result.error(), ErrorKind::InvalidInput,
               "Stopping::KnownK requires k >= 1; got 0");
  auto constraints_next = detect(step_series(), Stopping::known_k(1), bad);
  expect_error(constraints_next.result.error(), ErrorKind::InvalidInput,
               "constraints.min_segment_len must be >= 1; got 0");
  const Series ignore({1.0, 2.0, 3.0, 4.0}, 1, core::MissingPolicy::Ignore);
  auto missing = detect(ignore, Stopping::known_k(1), constraints(1, 1));
  expect_error(missing.result.error(), ErrorKind::InvalidInput,
               "incompatible missing handling: policy=Ignore requires support=MaskAware, got "
               "support=Reject");
  // With a value actually missing, the model's own refusal comes first.
  const Series gap({1.0, std::nan(""), 3.0, 4.0}, 1, core::MissingPolicy::Ignore);
  expect_error(detect(gap, Stopping::known_k(1), constraints(1, 1)).result.error(),
               ErrorKind::InvalidInput,
               "CostL2Mean does not support missing values: effective_missing_count=1");
}

TEST(DynpDetectTest, WithoutCandidatesThePenalisedAnswerIsTheWholeSeries) {
  const Series s(random_series(6, 4), 1);
  for (const Stopping& st : {Stopping::penalized(Penalty::bic()),
                             Stopping::penalty_path({Penalty::aic(), Penalty::manual(1.0)})}) {
    auto run = detect(s, st, constraints(4, 1));
    ASSERT_TRUE(run.result) << run.result.error().display();
    EXPECT_EQ(run.result->breakpoints, (std::vector<std::size_t>{6}));
    EXPECT_TRUE(run.result->change_points.empty());
  }
  auto known = detect(s, Stopping::known_k(1), constraints(4, 1));
  expect_error(known.result.error(), ErrorKind::InvalidInput,
               "KnownK exact solution unreachable: requested k=1, but only 0 candidate split "
               "positions are available under constraints");
}

TEST(DynpDetectTest, EveryCostModelRunsAndNamesItself) {
  std::vector<double> values = random_series(40, 5);
  std::vector<double> two_dim;
  for (double v : values) {
    two_dim.push_back(v);
    two_dim.push_back(0.5 * v + 1.0);
  }
  const Series s(two_dim, 2);
  const core::Constraints c = constraints(5, 1);
  const Stopping st = Stopping::penalized(Penalty::bic());
  auto name_of = [&]<typename C>(C) {
    auto run = detect<C>(s, st, c);
    return run.result ? run.result->diagnostics.cost_model : run.result.error().display();
  };
  EXPECT_EQ(name_of(costs::CostL2Mean{}), "l2_mean");
  EXPECT_EQ(name_of(costs::CostL1Median{}), "l1_median");
  EXPECT_EQ(name_of(costs::CostNormalMeanVar{}), "normal_mean_var");
  EXPECT_EQ(name_of(costs::CostNormalFullCov{}), "normal_full_cov");
  EXPECT_EQ(name_of(costs::CostNIGMarginal{}), "nig_marginal");
  EXPECT_EQ(name_of(costs::CostRank{}), "rank");
  EXPECT_EQ(name_of(costs::CostCosine{}), "cosine");
  auto ar = detect<costs::CostAR>(s, st, c);
  ASSERT_TRUE(ar.result) << ar.result.error().display();
  EXPECT_EQ(ar.result->diagnostics.cost_model, "ar");
  EXPECT_TRUE(ar.result->diagnostics.notes[0].ends_with("params_per_segment=3 (model_default)"));
}

// ---------------------------------------------------------------------------------------------
// PELT's penalised optimum is Dynp's penalised selection when every count may be searched.

class DynpPeltAgreementTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(DynpPeltAgreementTest, SameBreakpointsForOnePenalty) {
  const Series s(random_series(80, GetParam(), 0.6), 1);
  const core::Constraints c = constraints(3, 1);
  for (const Penalty& penalty : {Penalty::bic(), Penalty::manual(0.8), Penalty::manual(6.0)}) {
    const Stopping stopping = Stopping::penalized(penalty);
    auto d = detect(s, stopping, c);
    const Pelt<costs::CostL2Mean> pelt{PeltConfig{stopping, 2, 1000}, {}};
    const core::ExecutionContext ctx(c);
    auto p = pelt.detect(s.view, ctx);
    ASSERT_TRUE(d.result) << d.result.error().display();
    ASSERT_TRUE(p) << p.error().display();
    EXPECT_EQ(d.result->breakpoints, p->breakpoints) << core::debug(penalty);
  }
}

INSTANTIATE_TEST_SUITE_P(RandomSeries, DynpPeltAgreementTest,
                         ::testing::Values(11U, 12U, 13U, 14U, 15U));

}  // namespace
}  // namespace ovrel::offline
