// The scoring lane pass of the optimal-partitioning kernels against a direct scalar transcription:
// the first best start among equal objectives (signed zeros included) and the finiteness verdict.
// Exact ties across lanes are too rare in the kernels' own tests; the pruning scan is left to them.

#include "ovrel/offline/start_scores.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace ovrel::offline::detail {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(StartScores, FirstBestStartAndFinitenessAsTheScalarLoop) {
  std::mt19937 gen(7);
  // Few distinct values, so ties (and ties of -0 with +0) are common.
  const std::vector<double> costs = {0.0, -0.0, 1.0, 2.0, 0.5, -0.5};
  const std::vector<double> fs = {0.0, -0.0, 1.0, -1.0};
  for (int round = 0; round < 3000; ++round) {
    const std::size_t count = gen() % 14;
    const bool gaps = round % 2 == 1;
    std::vector<std::size_t> active(count);
    std::size_t tau = gen() % 5;
    for (std::size_t k = 0; k < count; ++k, tau += gaps ? 1 + gen() % 3 : 1) active[k] = tau;
    std::vector<double> F(tau + 1);
    for (double& f : F) f = fs[gen() % fs.size()];
    std::vector<double> scored(count);
    for (double& c : scored) c = costs[gen() % costs.size()];
    if (count > 0 && round % 7 == 0) scored[gen() % count] = round % 14 == 0 ? kInf : NAN;
    const double beta = round % 3 == 0 ? 0.0 : 0.25;

    std::vector<double> expect = scored;
    double best = kInf;
    std::size_t best_k = SIZE_MAX;
    bool finite = true;
    for (std::size_t k = 0; k < count; ++k) {
      expect[k] = scored[k] + F[active[k]];
      const double cand = expect[k] + beta;
      finite = finite && std::isfinite(cand);
      if (cand < best) {
        best = cand;
        best_k = k;
      }
    }

    const StartScores got = add_start_scores(scored.data(), F.data(), active.data(), count, beta);
    ASSERT_EQ(got.all_finite, finite) << round;
    for (std::size_t k = 0; k < count; ++k) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(scored[k]), std::bit_cast<std::uint64_t>(expect[k]));
    }
    if (!finite) continue;
    ASSERT_EQ(got.index, best_k) << round;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got.objective), std::bit_cast<std::uint64_t>(best));
  }
}

}  // namespace
}  // namespace ovrel::offline::detail
