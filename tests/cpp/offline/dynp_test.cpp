// The segment-neighbourhood programme beyond the shared contract and the exhaustive oracle: its
// refusals, penalised selection over hand-made sweeps, and ties.

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

using testing::FunctionCost;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(DynpSweep, RefusedTableAllocationIsAResourceLimitNotACrash) {
  // Five million endpoints and every change count: about 200 TB of backpointers. Without a memory
  // budget nothing stops the request, so the refusal itself has to come back as an error.
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "huge allocations abort under AddressSanitizer";
#endif
  const std::size_t n = 5'000'000;
  const core::Constraints c = testing::constraints_with(1, 1);
  const auto v = testing::validated(c, n);
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
  const auto c = testing::constraints_with(1, 1);
  const auto sweep = [&](const FunctionCost& model) {
    RunStats stats;
    return dynp::run_dynp_sweep(model, FunctionCost::Cache{4, 1}, 4, testing::validated(c, 4), 1,
                                1000, core::ExecutionContext(c), std::chrono::steady_clock::now(),
                                stats);
  };
  for (double bad : {std::nan(""), kInf, -kInf}) {
    const auto model = FunctionCost::of(
        [bad](std::size_t a, std::size_t b) { return a == 0 && b == 3 ? bad : 1.0; });
    EXPECT_EQ(sweep(model).error(),
              OvrelError::numerical_issue(core::cat("non-finite segment cost at [0, 3): ", bad)));
  }
  EXPECT_EQ(
      sweep(FunctionCost::of([](std::size_t, std::size_t) { return 1e308; })).error(),
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

TEST(DynpRuns, EqualTotalsKeepTheEarlierStart) {
  const core::Constraints c = testing::constraints_with(1, 1);
  RunStats stats;
  const auto flat =
      dynp::run_dynp_known_k(FunctionCost::of([](std::size_t, std::size_t) { return 1.0; }),
                             FunctionCost::Cache{6, 1}, 6, testing::validated(c, 6), 2, 1000,
                             core::ExecutionContext(c), std::chrono::steady_clock::now(), stats);
  EXPECT_EQ(flat->breakpoints, (std::vector<std::size_t>{1, 2, 6}));
}

}  // namespace
}  // namespace ovrel::offline
