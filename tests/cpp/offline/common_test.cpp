// The shared offline plumbing: targets, backtracking, checked counters, the check cadence, and
// the three penalty resolutions (PELT, FPOP and WBS share one; BinSeg and Dynp have their own).

#include "ovrel/offline/common.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {
namespace {

using core::Penalty;

TEST(ReconstructBreakpoints, WalksThePredecessorChainOrNamesTheBreak) {
  constexpr std::size_t X = kNone;
  struct Case {
    std::size_t n;
    std::vector<std::size_t> prev;
    std::vector<std::size_t> breakpoints;  // empty: the error is expected
    std::string error;
  };
  for (const Case& c : std::vector<Case>{
           {6, {0, X, 0, X, 2, X, 4}, {2, 4, 6}, ""},
           {6, {0, X, X, X, X, X, 0}, {6}, ""},
           {2, {0, 0, 1, 9}, {1, 2}, ""},
           {6, {0, X, X, X, X, X, 6}, {}, "predecessor tau=6 is not < t=6"},
           {6, {0, X, X, X, X, X, 4}, {}, "missing predecessor at t=4"},
           {6, {0, X, 0}, {}, "predecessor table has 3 entries; expected n + 1 = 7"},
           {0, {0}, {}, "requires n >= 1; got n=0"},
       }) {
    auto r = reconstruct_breakpoints(c.n, c.prev);
    if (c.error.empty()) {
      ASSERT_TRUE(r.has_value()) << r.error().display();
      EXPECT_EQ(r->breakpoints, c.breakpoints);
      EXPECT_EQ(r->change_count, c.breakpoints.size() - 1);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), OvrelError::invalid_input("invalid DP backtrack state: " + c.error));
    }
  }
}

TEST(CheckedCounters, FailAtTheMaximumAndSaturate) {
  std::uint64_t c = UINT64_MAX - 1;
  ASSERT_TRUE(checked_counter_increment(c, "cost_evals"));
  EXPECT_EQ(checked_counter_increment(c, "cost_evals").error(),
            OvrelError::resource_limit("cost_evals counter overflow"));
  EXPECT_EQ(c, UINT64_MAX);
  std::uint64_t a = 5;
  ASSERT_TRUE(checked_counter_add(a, 7, "x"));
  EXPECT_EQ(a, 12u);
  EXPECT_EQ(checked_counter_add(a, UINT64_MAX - 11, "run_cost_evals").error(),
            OvrelError::resource_limit("run_cost_evals counter overflow"));
  EXPECT_EQ(a, UINT64_MAX);
}

// The cadence of the hot loops decides exactly as the periodic check's remainder does, up to the
// top of the counter.
TEST(CheckCadence, AgreesWithTheRemainderFromAnyStart) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  for (const auto& [first, every] :
       std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 1},
                                                            {0, 7},
                                                            {5, 7},
                                                            {999, 1000},
                                                            {1000, 1000},
                                                            {kMax - 20, 7},
                                                            {kMax - 20, 1},
                                                            {kMax - 20, kMax}}) {
    CheckCadence cadence(first, every);
    for (std::uint64_t it = first + 1; it != 0 && it - first <= 3000; ++it) {
      ASSERT_EQ(cadence.due(it), it % every == 0) << "every=" << every << " it=" << it;
    }
  }
  CheckCadence never(0, 0);
  for (std::uint64_t it = 1; it < 100; ++it) EXPECT_FALSE(never.due(it));
}

TEST(RuntimeChecks, PeriodicCheckActsOnMultiplesAndFlagsSoftOverruns) {
  core::Constraints c;
  c.time_budget_ms = 1;
  testing::RecordingContext rc(c, core::BudgetMode::SoftDegrade);
  rc.token.cancel();
  const auto long_ago = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  RunStats stats;
  EXPECT_TRUE(check_runtime_controls_if_due(rc.ctx, 7, 3, long_ago, stats));
  EXPECT_TRUE(check_runtime_controls_if_due(rc.ctx, 3, 0, long_ago, stats));
  EXPECT_EQ(check_runtime_controls_if_due(rc.ctx, 6, 3, long_ago, stats).error(),
            OvrelError::cancelled());
  EXPECT_EQ(check_runtime_controls_if_due(rc.ctx, 0, 0, long_ago, stats).error(),
            OvrelError::cancelled());
  rc.token = core::CancelToken{};
  rc.ctx.cancel = &rc.token;
  EXPECT_FALSE(stats.soft_budget_exceeded);
  EXPECT_TRUE(check_runtime_controls_now(rc.ctx, long_ago, stats));
  EXPECT_TRUE(stats.soft_budget_exceeded);
}

TEST(EvaluateSegmentCost, CountsThenRefusesNonFiniteCostsAndAppliesTheBudget) {
  core::Constraints c;
  c.max_cost_evals = 2;
  for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
    const core::ExecutionContext ctx(c, core::kDefaultReproMode, mode);
    const CostEvalBudget budget(ctx);
    const auto nan = testing::FunctionCost::of([](std::size_t, std::size_t) { return NAN; });
    RunStats stats;
    EXPECT_EQ(evaluate_segment_cost(nan, {}, 0, 10, budget, stats).error(),
              OvrelError::numerical_issue("non-finite segment cost at [0, 10): NaN"));
    const auto one = testing::FunctionCost::of([](std::size_t, std::size_t) { return 1.0; });
    ASSERT_TRUE(evaluate_segment_cost(one, {}, 0, 10, budget, stats));
    const auto third = evaluate_segment_cost(one, {}, 0, 10, budget, stats);
    EXPECT_EQ(stats.cost_evals, 3u);
    if (mode == core::BudgetMode::HardFail) {
      EXPECT_EQ(third.error(),
                OvrelError::resource_limit(
                    "constraints.max_cost_evals exceeded: used=3, limit=2, budget_mode=HardFail"));
    } else {
      EXPECT_TRUE(third && stats.soft_budget_exceeded);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Penalty resolution: what each detector prints beside its beta.

enum class Resolver { Shared, BinSeg, Dynp };

struct PenaltyCase {
  Resolver resolver;
  std::string model;
  Penalty penalty;
  std::size_t n, d, params;
  double beta;         // NaN: the error below is expected
  std::string source;  // or the error message
  std::size_t figure = 0;
};

template <class C>
Result<ResolvedPenalty> resolve(Resolver r, const C& model, const PenaltyCase& c) {
  switch (r) {
    case Resolver::Shared:
      return resolve_penalty_beta(model, c.penalty, c.n, c.d, c.params);
    case Resolver::BinSeg:
      return binseg::resolve_penalty_beta(model, c.penalty, c.n, c.d, c.params);
    case Resolver::Dynp:
      return dynp::resolve_penalty_beta(model, c.penalty, c.n, c.d);
  }
  return std::unexpected(OvrelError::invalid_input("unreachable"));
}

template <class C>
void expect_case(const C& model, const PenaltyCase& c) {
  const auto r = resolve(c.resolver, model, c);
  const std::string label = core::cat(static_cast<int>(c.resolver), " ", c.model, " ",
                                      core::debug(c.penalty), " d=", c.d, " p=", c.params);
  if (std::isnan(c.beta)) {
    ASSERT_FALSE(r.has_value()) << label;
    EXPECT_EQ(r.error(), OvrelError::invalid_input(c.source)) << label;
    return;
  }
  ASSERT_TRUE(r.has_value()) << label << ": " << r.error().display();
  EXPECT_EQ(r->beta, c.beta) << label;
  EXPECT_EQ(r->params_source, c.source) << label;
  EXPECT_EQ(r->params_per_segment, c.figure) << label;
  EXPECT_EQ(r->penalty, c.penalty) << label;
}

TEST(ResolvePenaltyBeta, ModelDefaultsOverridesManualValuesAndRefusals) {
  const double ln100 = std::log(100.0);
  const double err = NAN;
  const std::string big = std::to_string(SIZE_MAX);
  using R = Resolver;
  const std::vector<PenaltyCase> cases{
      {R::Shared, "l2", Penalty::bic(), 100, 1, 2, 2 * ln100, "model_default", 2},
      {R::Shared, "normal", Penalty::bic(), 100, 2, 2, 6 * ln100, "model_default", 3},
      {R::Shared, "ar3", Penalty::aic(), 100, 2, 2, 20.0, "model_default", 5},
      {R::Shared, "normal", Penalty::bic(), 100, 2, 4, 8 * ln100, "config_override", 4},
      {R::Shared, "l2", Penalty::manual(5.0), 100, 1, 7, 5.0, "config", 7},
      {R::Shared, "l2", Penalty::manual(5.0), 10, 1, 0, err,
       "resolved params_per_segment must be >= 1; got 0"},
      {R::Shared, "l2", Penalty::bic(), 10, 1, 0, err,
       "resolved params_per_segment must be >= 1; got 0"},
      {R::Shared, "l2", Penalty::bic(), 1, 1, 2, err,
       "resolved penalty must be finite and > 0.0; got beta=0"},
      {R::Shared, "l2", Penalty::bic(), 10, 4, std::size_t{1} << 62, err,
       "effective params overflow: d * params_per_segment exceeds usize (d=4, "
       "params_per_segment=4611686018427387904)"},
      {R::Shared, "l2", Penalty::aic(), 10, SIZE_MAX, 2, err,
       "model_default effective-params overflow for d=" + big + ", model=l2_mean"},
      // BinSeg: 0 selects the model's own count; any other value overrides it, 2 included.
      {R::BinSeg, "l2", Penalty::bic(), 100, 1, 0, 2 * ln100, "model_default_auto", 2},
      {R::BinSeg, "l2", Penalty::bic(), 100, 1, 2, 2 * ln100, "config_override", 2},
      {R::BinSeg, "cosine", Penalty::aic(), 50, 3, 2, 12.0, "config_override", 2},
      {R::BinSeg, "ar1", Penalty::aic(), 50, 2, 0, 12.0, "model_default_auto", 3},
      {R::BinSeg, "l2", Penalty::manual(5.0), 50, 1, 0, 5.0, "model_default_auto", 2},
      {R::BinSeg, "l2", Penalty::manual(5e-324), 50, 1, 4, 5e-324, "config", 4},
      {R::BinSeg, "l2", Penalty::bic(), 100, 2, std::size_t{1} << 63, err,
       "effective params overflow: d * params_per_segment exceeds usize (d=2, "
       "params_per_segment=9223372036854775808)"},
      {R::BinSeg, "l2", Penalty::bic(), 1, 1, 0, err,
       "resolved penalty must be finite and > 0.0; got beta=0"},
      {R::BinSeg, "l2", Penalty::aic(), 10, SIZE_MAX, 0, err,
       "model_default effective-params overflow for d=" + big + ", model=l2_mean"},
      // Dynp: always the model's own count.
      {R::Dynp, "l2", Penalty::bic(), 100, 3, 0, 6 * ln100, "model_default", 2},
      {R::Dynp, "nig", Penalty::manual(0.5), 7, 9, 0, 0.5, "model_default", 3},
      {R::Dynp, "ar3", Penalty::aic(), 100, 2, 0, 20.0, "model_default", 5},
      {R::Dynp, "rank", Penalty::manual(-2.0), 5, 1, 0, err,
       "resolved penalty must be finite and > 0.0; got beta=-2"},
      {R::Dynp, "l2", Penalty::aic(), 5, SIZE_MAX, 0, err,
       "model_default effective-params overflow for d=" + big + ", model=l2_mean"},
  };
  for (const PenaltyCase& c : cases) {
    if (c.model == "l2") expect_case(costs::CostL2Mean{}, c);
    if (c.model == "normal") expect_case(costs::CostNormalMeanVar{}, c);
    if (c.model == "nig") expect_case(costs::CostNIGMarginal{}, c);
    if (c.model == "cosine") expect_case(costs::CostCosine{}, c);
    if (c.model == "ar1") expect_case(costs::CostAR{1}, c);
    if (c.model == "ar3") expect_case(costs::CostAR{3}, c);
  }
  costs::CostAR huge_order;
  huge_order.order = SIZE_MAX;
  EXPECT_EQ(
      dynp::resolve_penalty_beta(huge_order, Penalty::manual(1.0), 100, 1)->params_per_segment,
      SIZE_MAX);
}

}  // namespace
}  // namespace ovrel::offline
