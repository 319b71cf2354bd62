// PELT's kernels beyond the shared contract and the exhaustive oracle: their messages on
// non-finite costs, their counters against a plain pruned recurrence, and the penalty path's check
// period.

#include "ovrel/offline/pelt.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {
namespace {

using testing::FunctionCost;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A series with its validated constraints and L2 cache, for the kernels.
struct Kernel {
  testing::OwnedSeries s;
  core::Constraints constraints;
  core::ValidatedConstraints v = testing::validated(constraints, s.n);
  costs::L2Cache cache = *costs::CostL2Mean{}.precompute(s.view(), core::CachePolicy::full());
  MonotonicInstant now = std::chrono::steady_clock::now();
};

TEST(PeltKernels, RefuseNonFiniteCostsAndScoresAfterCountingThem) {
  using Overrides = std::vector<std::tuple<std::size_t, std::size_t, double>>;
  for (const auto& [overrides, beta, message, cost_evals] :
       std::vector<std::tuple<Overrides, double, std::string, std::uint64_t>>{
           {{{0, 2, kNaN}}, 1.0, "non-finite segment cost at [0, 2): NaN", 1},
           // Start 0 was pruned at t=2: beta vanishes against 1e308.
           {{{0, 2, 1e308}, {2, 4, 1e308}},
            1.0,
            core::cat("non-finite score without penalty at t=4, tau=2: F(tau)=",
                      (-1.0 + 1e308) + 1.0, ", segment_cost=", 1e308, ", score_no_penalty=inf"),
            2},
           {{{0, 2, 1e308}, {2, 4, 7.9e307}},
            1e306,
            core::cat("non-finite objective at t=4, tau=2: F(tau)=", (-1e306 + 1e308) + 1e306,
                      ", segment_cost=", 7.9e307, ", beta=", 1e306, ", candidate=inf"),
            3},
       }) {
    const std::vector<double> x{1.0, 2.0, 3.0, 4.0};
    const auto model = FunctionCost::of([&](std::size_t s, std::size_t e) {
      for (const auto& [a, b, v] : overrides) {
        if (a == s && b == e) return v;
      }
      return testing::direct_l2(x, s, e);
    });
    const auto v = testing::validated(testing::constraints_with(2, 1), 4);
    const core::Constraints none;
    RunStats stats;
    const auto r =
        run_pelt_penalized(model, FunctionCost::Cache{4, 1}, 4, v, beta, true, 1,
                           core::ExecutionContext(none), std::chrono::steady_clock::now(), stats);
    EXPECT_EQ(r.error(), OvrelError::numerical_issue(message));
    EXPECT_EQ(stats.cost_evals, cost_evals);
  }
}

// With min_segment_len 1, or targets at least min_segment_len apart, a dominated start leaves at
// the target that dominates it: the counters are those of the plain recurrence with immediate
// pruning, written out here.
TEST(PeltKernels, CountersMatchAPlainPrunedRecurrence) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    for (const auto& [msl, jump] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{3, 4}}) {
      const Kernel k{testing::noisy_steps(90, 1, 15, 2.0, 1.0, seed),
                     testing::constraints_with(msl, jump)};
      const double beta = 1.0 + static_cast<double>(seed % 5);
      std::vector<double> F(91, kInf);
      std::vector<std::size_t> prev(91, kNone);
      F[0] = -beta;
      prev[0] = 0;
      std::vector<std::size_t> active{0};
      std::uint64_t evaluations = 0, pruned = 0;
      for (std::size_t t : build_targets(k.v, 90)) {
        std::vector<std::pair<std::size_t, double>> scored;
        for (std::size_t tau : active) {
          if (t - tau < k.v.min_segment_len) continue;
          const double s0 = F[tau] + costs::CostL2Mean{}.segment_cost(k.cache, tau, t);
          ++evaluations;
          scored.emplace_back(tau, s0);
          if (s0 + beta < F[t]) {
            F[t] = s0 + beta;
            prev[t] = tau;
          }
        }
        std::erase_if(active, [&](std::size_t tau) {
          const auto it = std::find_if(scored.begin(), scored.end(),
                                       [&](const auto& e) { return e.first == tau; });
          return it != scored.end() && it->second >= F[t] && ++pruned;
        });
        if (t < 90) active.push_back(t);
      }
      RunStats stats;
      const auto r = run_pelt_penalized(costs::CostL2Mean{}, k.cache, 90, k.v, beta, true, 1000,
                                        core::ExecutionContext(k.constraints), k.now, stats);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->breakpoints, reconstruct_breakpoints(90, prev)->breakpoints) << seed;
      EXPECT_EQ(r->run_cost_evals, evaluations) << seed;
      EXPECT_EQ(r->run_candidates_pruned, pruned) << seed;
    }
  }
}

// The penalty path checks its period per target and penalty: with period 3 the third step (first
// beta of the second target) sees the flag, after one shared cost; 1000 never comes within 120
// steps. (The cost shared by the betas of a target is counted in tests/data/offline_runs.txt.)
TEST(PeltKernels, PenaltyPathChecksPerTargetPenaltyStep) {
  const Kernel k{testing::noisy_steps(60, 1, 20, 5.0, 0.3, 7), testing::constraints_with(1, 1)};
  for (const auto& [every, fails, evals] :
       {std::tuple{1, true, 0}, std::tuple{3, true, 1}, std::tuple{1000, false, 0}}) {
    testing::RecordingContext rc(k.constraints);
    rc.token.cancel();
    RunStats stats;
    const std::vector<double> betas = {5.0, 9.0};
    const auto p = run_pelt_penalty_path(costs::CostL2Mean{}, k.cache, 60, k.v, betas,
                                         static_cast<std::size_t>(every), rc.ctx, k.now, stats);
    EXPECT_EQ(p.has_value(), !fails) << every;
    if (fails) {
      EXPECT_EQ(stats.cost_evals, static_cast<std::uint64_t>(evals)) << every;
    }
  }
}

}  // namespace
}  // namespace ovrel::offline
