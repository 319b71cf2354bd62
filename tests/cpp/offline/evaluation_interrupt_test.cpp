// A single evaluation long enough to outlast the poll's pace (the full-covariance log-determinant
// of 200 dimensions) asks the poll between its own steps: a stop ends the run as Cancelled from
// inside the first evaluation, and a host that lets the run go sees the run without a poll.

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/offline/binseg.hpp"
#include "ovrel/offline/pelt.hpp"

namespace ovrel::offline {
namespace {

using core::Stopping;
using costs::CostNormalFullCov;
using testing::RecordingContext;

Result<core::OfflineChangePointResult> run(bool pelt, const core::ExecutionContext& ctx) {
  const auto x = testing::noisy_steps(6, 200, 3, 2.0, 1.0, 5);
  const Stopping rule = Stopping::penalized(core::Penalty::manual(10.0));
  // PELT scores a target's starts in its own loop; BinSeg goes through the shared evaluation.
  if (pelt) {
    return Pelt<CostNormalFullCov>{PeltConfig{Stopping::known_k(1), 2, 1000}, {}}.detect(x.view(),
                                                                                         ctx);
  }
  return BinSeg<CostNormalFullCov>{BinSegConfig{rule, 0, 1000}, {}}.detect(x.view(), ctx);
}

// Asks whenever polled, but polls between evaluations ever more rarely: most asks then come from
// inside the evaluations, and a stop there is first seen by the evaluation's caller. Returns the
// asks and, for a finished run, its cost evaluations.
std::pair<std::uint64_t, double> asks(bool pelt, bool scoped, std::uint64_t stop_at,
                                      Result<core::OfflineChangePointResult>& out) {
  testing::Polled rc(testing::constraints_with(2, 1), stop_at,
                     {std::chrono::hours(1), std::chrono::nanoseconds(0)});
  const core::InterruptScope scope(scoped ? &rc.poll : nullptr);
  out = run(pelt, rc.ctx);
  double evals = 0;
  for (const auto& [name, value] : rc.metrics) {
    if (name.ends_with(".cost_evals")) evals = value;
  }
  if (!out) {
    EXPECT_TRUE(rc.metrics.empty());
  }
  return {rc.asked, evals};
}

TEST(EvaluationInterrupt, StopsInsideAnEvaluationOrChangesNothing) {
  for (const bool pelt : {true, false}) {
    RecordingContext plain(testing::constraints_with(2, 1));
    const auto a = run(pelt, plain.ctx);
    ASSERT_TRUE(a.has_value()) << a.error().display();
    Result<core::OfflineChangePointResult> b = core::cancelled();
    const std::uint64_t between = asks(pelt, false, 0, b).first;
    ASSERT_TRUE(b.has_value());
    const auto [within, evals] = asks(pelt, true, 0, b);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(a->breakpoints, b->breakpoints);
    EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
    // 200 dimensions: one ask before the factorisation and one between its rows.
    EXPECT_EQ(static_cast<double>(within - between), 2 * evals) << pelt;
    for (const std::uint64_t stop_at : {std::uint64_t{1}, std::uint64_t{2}, within / 2, within}) {
      EXPECT_EQ(asks(pelt, true, stop_at, b).first, stop_at);
      EXPECT_EQ(b.error(), core::OvrelError::cancelled()) << pelt << " " << stop_at;
    }
  }
}

}  // namespace
}  // namespace ovrel::offline
