// The stopping rules BinSeg and WBS share over their frontiers, run through each detector.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "offline/offline_test_support.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/wbs_impl.hpp"

namespace ovrel::offline {
namespace {

using core::Constraints;
using core::ExecutionContext;
using core::Penalty;
using core::Stopping;
using costs::CostL2Mean;
using namespace testing;

const std::string kSoftWarning =
    "budget exceeded under SoftDegrade mode; run continued without algorithm fallback";

struct Detector {
  std::string label;  // as the detector names itself in its messages
  std::function<Result<core::OfflineChangePointResult>(Stopping, const core::TimeSeriesView&,
                                                       const ExecutionContext&)>
      detect;
  std::vector<std::string> standing_warnings;  // warnings every successful run carries
};

void PrintTo(const Detector& d, std::ostream* os) { *os << d.label; }

Detector binseg_detector() {
  return {"BinSeg",
          [](Stopping s, const core::TimeSeriesView& x, const ExecutionContext& ctx) {
            const BinSeg<CostL2Mean> d{BinSegConfig{std::move(s), 2, 1000}, CostL2Mean{}};
            return d.detect(x, ctx);
          },
          {"BinSeg may mask closely spaced weaker changes; consider WBS for robust recovery"}};
}

Detector wbs_detector() {
  return {"WBS",
          [](Stopping s, const core::TimeSeriesView& x, const ExecutionContext& ctx) {
            WbsConfig config;
            config.stopping = std::move(s);
            const Wbs<CostL2Mean> d{config, CostL2Mean{}};
            return d.detect(x, ctx);
          },
          {}};
}

class FrontierStopping : public ::testing::TestWithParam<Detector> {
 protected:
  Result<core::OfflineChangePointResult> run(Stopping s, const std::vector<double>& x,
                                             const Constraints& c = {},
                                             core::BudgetMode mode = core::BudgetMode::HardFail,
                                             core::ProgressSink* progress = nullptr) const {
    ExecutionContext ctx(c, core::kDefaultReproMode, mode);
    ctx.progress = progress;
    return GetParam().detect(std::move(s), view_of(x), ctx);
  }
  static bool has_note(const core::OfflineChangePointResult& r, const std::string& note) {
    const auto& notes = r.diagnostics.notes;
    return std::find(notes.begin(), notes.end(), note) != notes.end();
  }
};

TEST_P(FrontierStopping, KnownKAcceptsExactlyKWhateverTheGain) {
  // A flat series: every split gains nothing, yet k of them are taken.
  const auto r = run(Stopping::known_k(3), std::vector<double>(30, 1.0));
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->change_points.size(), 3U);
  EXPECT_TRUE(has_note(*r, "stopping=KnownK(3), accepted_splits=3"));
}

TEST_P(FrontierStopping, KnownKAboveTheLimitFailsBeforeAnyPass) {
  const auto x = piecewise_series({{20, 0.0}, {20, 3.0}, {20, 0.0}}, 0.5);
  Constraints limited;
  limited.max_change_points = 2;
  RecordingProgress progress;
  EXPECT_EQ(run(Stopping::known_k(3), x, limited, core::BudgetMode::HardFail, &progress).error(),
            OvrelError::invalid_input("KnownK=3 exceeds constraints.max_change_points=2"));
  EXPECT_TRUE(progress.values.empty());
  EXPECT_TRUE(run(Stopping::known_k(2), x, limited));
}

TEST_P(FrontierStopping, KnownKBeyondTheFrontierIsUnreachable) {
  EXPECT_EQ(run(Stopping::known_k(1), {1.0, 2.0, 3.0}).error(),
            OvrelError::invalid_input("KnownK exact solution unreachable: requested k=1, "
                                      "accepted=0 before frontier exhaustion"));
  const auto x = piecewise_series({{20, 0.0}, {20, 3.0}, {20, 0.0}}, 0.5);
  Constraints shallow;
  shallow.max_depth = 1;
  EXPECT_EQ(run(Stopping::known_k(2), x, shallow).error(),
            OvrelError::invalid_input("KnownK exact solution unreachable: requested k=2, "
                                      "accepted=1 before frontier exhaustion"));
}

TEST_P(FrontierStopping, PenalizedRunsStopAtTheBetaTheCapAndTheDepth) {
  const auto x = piecewise_series({{20, 0.0}, {20, 5.0}, {20, 0.0}, {20, 5.0}}, 0.5);
  const auto huge = run(Stopping::penalized(Penalty::manual(1e12)), x);
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->breakpoints, (std::vector<std::size_t>{80}));
  Constraints none;
  none.max_change_points = 0;
  const auto capped = run(Stopping::penalized(Penalty::bic()), x, none);
  ASSERT_TRUE(capped);
  EXPECT_EQ(capped->breakpoints, (std::vector<std::size_t>{80}));
  Constraints one;
  one.max_change_points = 1;
  EXPECT_EQ(run(Stopping::penalized(Penalty::bic()), x, one)->change_points.size(), 1U);
  Constraints shallow;
  shallow.max_depth = 1;
  EXPECT_EQ(run(Stopping::penalized(Penalty::bic()), x, shallow)->change_points.size(), 1U);
}

TEST_P(FrontierStopping, PenaltyPathIsRefusedAfterTheRootStep) {
  const auto x = piecewise_series({{20, 0.0}, {20, 5.0}}, 0.5);
  const auto path = Stopping::penalty_path({Penalty::bic(), Penalty::aic(), Penalty::manual(1.0)});
  EXPECT_EQ(
      run(path, x).error(),
      OvrelError::not_supported(GetParam().label + " penalty sweep is deferred for this issue; got "
                                                   "PenaltyPath of length 3"));
  // A budget error of the root step wins over the refusal, and over the known-k limit.
  Constraints budget;
  budget.max_cost_evals = 2;
  EXPECT_EQ(run(path, x, budget).error(),
            OvrelError::resource_limit(
                "constraints.max_cost_evals exceeded: used=3, limit=2, budget_mode=HardFail"));
  budget.max_change_points = 1;
  EXPECT_EQ(run(Stopping::known_k(2), x, budget).error().kind(), ErrorKind::ResourceLimit);
  // An empty path is refused by the configuration check first.
  EXPECT_EQ(run(Stopping::penalty_path({}), x).error(),
            OvrelError::invalid_input(
                "Stopping::PenaltyPath requires a non-empty penalty list; got length 0"));
}

TEST_P(FrontierStopping, SoftDegradeBudgetCompletesWithOneWarning) {
  const auto x = piecewise_series({{300, 0.0}, {300, 2.0}}, 0.5);
  Constraints constraints;
  constraints.max_cost_evals = 5;
  const auto r =
      run(Stopping::penalized(Penalty::bic()), x, constraints, core::BudgetMode::SoftDegrade);
  ASSERT_TRUE(r) << r.error().display();
  auto expected = GetParam().standing_warnings;
  expected.push_back(kSoftWarning);
  EXPECT_EQ(r->diagnostics.warnings, expected);
}

INSTANTIATE_TEST_SUITE_P(Detectors, FrontierStopping,
                         ::testing::Values(binseg_detector(), wbs_detector()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace ovrel::offline
