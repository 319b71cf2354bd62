// The segment-neighbourhood programme beyond the shared contract: its size estimate and memory
// budget, penalised selection over hand-made sweeps, an exhaustive
// oracle, its notes, and agreement with PELT.

#include "ovrel/offline/dynp.hpp"

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/dynp_impl.hpp"
#include "ovrel/offline/pelt.hpp"

namespace ovrel::offline {
namespace {

using core::Penalty;
using core::Stopping;
using testing::FunctionCost;
using testing::OwnedSeries;

constexpr double kInf = std::numeric_limits<double>::infinity();

template <costs::CostModel C>
struct Sweep {
  Result<dynp::DynpSweepResult> result = std::unexpected(OvrelError::cancelled());
  RunStats stats;

  Sweep(const C& model, const OwnedSeries& s, const core::Constraints& c, std::size_t max_k,
        std::uint64_t every = 1000, const core::CancelToken* cancel = nullptr) {
    core::ExecutionContext ctx(c);
    ctx.cancel = cancel;
    const auto v = testing::validated(c, s.n);
    result = dynp::run_dynp_sweep(model, *model.precompute(s.view(), v.cache_policy), s.n, v, max_k,
                                  every, ctx, std::chrono::steady_clock::now(), stats);
  }
};

TEST(DynpSweep, RefusedTableAllocationIsAResourceLimitNotACrash) {
  // Five million endpoints and every change count: about 200 TB of backpointers. Without a memory
  // budget nothing stops the request, so the refusal itself has to come back as an error.
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "huge allocations abort under AddressSanitizer";
#endif
  const std::size_t n = 5'000'000;
  core::ValidatedConstraints v;
  v.min_segment_len = 1;
  v.n = n;
  v.effective_candidates.resize(n - 1);
  for (std::size_t i = 0; i < n - 1; ++i) v.effective_candidates[i] = i + 1;
  const core::Constraints c;
  RunStats stats;
  const auto r = dynp::run_dynp_sweep(
      FunctionCost::of([](std::size_t, std::size_t) { return 0.0; }), FunctionCost::Cache{n, 1}, n,
      v, n - 1, 1000, core::ExecutionContext(c), std::chrono::steady_clock::now(), stats);
  EXPECT_EQ(r.error(),
            OvrelError::resource_limit(
                core::cat("dynp state allocation failed: required_bytes=",
                          dynp::estimate_dynp_sweep_state_bytes(n + 1, n).value(),
                          "; reduce constraints.max_change_points, or increase constraints.jump")));
}

TEST(DynpSweep, RefusesNonFiniteCostsAndTotals) {
  const auto s = testing::series(std::vector<double>(4, 0.0));
  const auto c = testing::constraints_with(1, 1);
  for (double bad : {std::nan(""), kInf, -kInf}) {
    const auto model = FunctionCost::of(
        [bad](std::size_t a, std::size_t b) { return a == 0 && b == 3 ? bad : 1.0; });
    EXPECT_EQ(Sweep(model, s, c, 1).result.error(),
              OvrelError::numerical_issue(core::cat("non-finite segment cost at [0, 3): ", bad)));
  }
  EXPECT_EQ(
      Sweep(FunctionCost::of([](std::size_t, std::size_t) { return 1e308; }), s, c, 1)
          .result.error(),
      OvrelError::numerical_issue("non-finite dynp objective at segment_count=2, start=1, end=2"));
}

// Endpoints [0, 2, 5, 8]; rows for 0..3 segments.
dynp::DynpSweepResult hand_sweep(std::vector<double> objective) {
  dynp::DynpSweepResult r;
  r.endpoints = {0, 2, 5, 8};
  r.row_count = 4;
  r.backpointers = {kNone, kNone, kNone, kNone, kNone, 0,     0,     0,
                    kNone, kNone, 1,     2,     kNone, kNone, kNone, 2};
  r.objective = std::move(objective);
  return r;
}

TEST(DynpSelection, LeastPenalisedCountWithTiesToFewerChanges) {
  const auto r = hand_sweep({kInf, 9.0, 4.0, 3.0});
  // beta 5: 9, 9, 13 -> k = 0 by the tie rule.
  for (const auto& [beta, expected] :
       std::vector<std::pair<double, dynp::PenalizedSelection>>{{5.0, {{8}, 9.0, 0, 9.0}},
                                                                {1.0, {{5, 8}, 4.0, 1, 5.0}},
                                                                {0.25, {{2, 5, 8}, 3.0, 2, 3.5}}}) {
    EXPECT_EQ(dynp::select_penalized_kernel(r, 8, "Penalized selection", beta).value(), expected);
  }
  EXPECT_EQ(dynp::select_penalized_kernel(hand_sweep({kInf, kInf, NAN, 3.0}), 8, "x", 100.0)
                ->change_count,
            2U);
  EXPECT_EQ(
      dynp::select_penalized_kernel(hand_sweep({kInf, kInf, NAN, kInf}), 8, "PenaltyPath[2]", 1.0)
          .error(),
      OvrelError::invalid_input(
          "PenaltyPath[2] found no feasible segmentation under current constraints"));
  for (double beta : {0.0, -1.0, kInf, std::nan("")}) {
    EXPECT_EQ(dynp::select_penalized_kernel(r, 8, "Penalized selection", beta).error(),
              OvrelError::invalid_input(
                  core::cat("Penalized selection requires finite beta > 0.0; got ", beta)));
  }
  // k = 0 would win, but 2 * 1e308 overflows for k = 2.
  EXPECT_EQ(
      dynp::select_penalized_kernel(r, 8, "Penalized selection", 1e308).error(),
      OvrelError::numerical_issue(core::cat(
          "Penalized selection produced non-finite objective for k=2: objective=3, beta=", 1e308)));
}

TEST(DynpRuns, OneSweepAnswersAPathAndTiesKeepTheEarlierStart) {
  const auto s = testing::noisy_steps(12, 1, 7, 3.0, 1.0, 9);
  const costs::CostL2Mean model;
  const auto cache = *model.precompute(s.view(), core::CachePolicy::full());
  const auto now = std::chrono::steady_clock::now();
  // One sweep answers every beta, in order, at the cost of one penalised run.
  RunStats one_stats;
  const core::Constraints c2 = testing::constraints_with(2, 1);
  const auto one = dynp::run_dynp_penalized(model, cache, s.view(), testing::validated(c2, 12),
                                            1000, core::ExecutionContext(c2), now, one_stats, 3.0);
  RunStats stats;
  const std::vector<double> betas = {3.0, 0.5, 3.0};
  const auto all = dynp::run_dynp_penalty_path(model, cache, s.view(), testing::validated(c2, 12),
                                               betas, 1000, core::ExecutionContext(c2), now, stats);
  ASSERT_TRUE(one && all);
  EXPECT_EQ((*all)[0], *one);
  EXPECT_EQ((*all)[2], *one);
  EXPECT_EQ(stats.cost_evals, one_stats.cost_evals);
  // Equal totals keep the earlier start.
  RunStats flat_stats;
  const auto flat = dynp::run_dynp_known_k(
      FunctionCost::of([](std::size_t, std::size_t) { return 1.0; }), FunctionCost::Cache{6, 1}, 6,
      testing::validated(testing::constraints_with(1, 1), 6), 2, 1000, core::ExecutionContext(c2),
      now, flat_stats);
  EXPECT_EQ(flat->breakpoints, (std::vector<std::size_t>{1, 2, 6}));
}

// Every subset of the candidate positions, per change count.
template <costs::CostModel C>
void check_against_oracle(const C& model, std::uint32_t seed, std::size_t n, std::size_t min_len,
                          std::size_t jump) {
  const auto s = testing::noisy_steps(n, 1, 7, 3.0, 0.8, seed);
  const core::Constraints c = testing::constraints_with(min_len, jump);
  const auto v = testing::validated(c, n);
  ASSERT_LE(v.effective_candidates.size(), 14U);
  const auto cache = model.precompute(s.view(), v.cache_policy).value();
  const auto cost = [&](std::size_t a, std::size_t b) { return model.segment_cost(cache, a, b); };
  const core::ExecutionContext ctx(c);
  std::vector<double> best(v.effective_candidates.size() + 1);
  for (std::size_t k = 0; k < best.size(); ++k) {
    best[k] =
        testing::exhaustive_optimum(n, v.effective_candidates, min_len, 0.0, k, cost).objective;
    if (k == 0) continue;
    RunStats stats;
    const auto r = dynp::run_dynp_known_k(model, cache, n, v, k, 1000, ctx,
                                          std::chrono::steady_clock::now(), stats);
    if (best[k] == kInf) {
      EXPECT_EQ(r.error(), OvrelError::invalid_input(
                               core::cat("KnownK exact solution unreachable: requested k=", k,
                                         " under current constraints")));
      continue;
    }
    ASSERT_TRUE(r) << "k=" << k << ": " << r.error().display();
    // Prefix costs are added in the same order as a left-to-right sum, so the optimum is exact.
    EXPECT_EQ(r->objective, best[k]) << "k=" << k;
    EXPECT_EQ(testing::objective_of(r->breakpoints, 0.0, cost), r->objective) << "k=" << k;
  }
  for (double beta : {0.05, 0.7, 3.0, 40.0}) {
    double expected = kInf;
    for (std::size_t k = 0; k < best.size(); ++k) {
      if (best[k] != kInf) expected = std::fmin(expected, beta * static_cast<double>(k) + best[k]);
    }
    RunStats stats;
    const auto sel = dynp::run_dynp_penalized(model, cache, s.view(), v, 1000, ctx,
                                              std::chrono::steady_clock::now(), stats, beta);
    ASSERT_TRUE(sel) << sel.error().display();
    EXPECT_EQ(sel->penalized_objective, expected) << "beta=" << beta;
  }
}

TEST(DynpOracle, AgreesWithEverySegmentation) {
  for (const auto& [seed, n, min_len, jump] :
       {std::tuple{1u, 9u, 1u, 1u}, std::tuple{2u, 12u, 1u, 1u}, std::tuple{3u, 14u, 2u, 1u},
        std::tuple{4u, 15u, 3u, 1u}, std::tuple{5u, 20u, 2u, 2u}, std::tuple{6u, 25u, 2u, 3u},
        std::tuple{7u, 13u, 4u, 1u}}) {
    check_against_oracle(costs::CostL2Mean{}, seed, n, min_len, jump);
    check_against_oracle(costs::CostNormalMeanVar{}, seed, n, min_len, jump);
    check_against_oracle(costs::CostL1Median{}, seed, n, min_len, jump);
  }
}

// PELT's penalised optimum is Dynp's penalised selection when every count may be searched.
TEST(DynpDetect, AgreesWithPeltForOnePenalty) {
  const core::Constraints c = testing::constraints_with(3, 1);
  const core::ExecutionContext ctx(c);
  for (std::uint32_t seed = 11; seed <= 15; ++seed) {
    const auto s = testing::noisy_steps(80, 1, 7, 3.0, 0.6, seed);
    for (const Penalty& penalty : {Penalty::bic(), Penalty::manual(0.8), Penalty::manual(6.0)}) {
      const Stopping stopping = Stopping::penalized(penalty);
      const auto d = Dynp<costs::CostL2Mean>{DynpConfig{stopping, 1000}, {}}.detect(s.view(), ctx);
      const auto p =
          Pelt<costs::CostL2Mean>{PeltConfig{stopping, 2, 1000}, {}}.detect(s.view(), ctx);
      ASSERT_TRUE(d && p);
      EXPECT_EQ(d->breakpoints, p->breakpoints) << seed << " " << core::debug(penalty);
    }
  }
}

}  // namespace
}  // namespace ovrel::offline
