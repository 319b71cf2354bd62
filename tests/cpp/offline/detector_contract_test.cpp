// What every offline detector promises alike: the order of its checks, budgets, cancellation,
// metrics, progress, diagnostics and penalty texts, with a row per detector for what differs.
// The rows also agree with each other on the answer for a clear series.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/dynp_impl.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt_impl.hpp"
#include "ovrel/offline/wbs_impl.hpp"
#include "test_data.hpp"

namespace ovrel::offline {
namespace {

using core::Penalty;
using core::Stopping;
using testing::RecordingContext;
using Detected = Result<core::OfflineChangePointResult>;

const std::string kSoftWarning =
    "budget exceeded under SoftDegrade mode; run continued without algorithm fallback";

// The defaults of a row; each detector states what differs.
struct BaseRow {
  static constexpr std::size_t kDefaultParams = 2;
  static constexpr const char* kSource = "model_default";
  static constexpr const char* kZeroParamsError = nullptr;
  static constexpr bool kAnyCost = true, kPaths = false, kHonoursDepth = false, kSeed = false,
                        kPruningStats = false;
  static std::vector<std::string> standing_warnings() { return {}; }
};

struct PeltRow : BaseRow {
  static constexpr const char* kName = "PELT";
  static constexpr const char* kAlgorithm = "pelt";
  static constexpr const char* kZeroParamsError =
      "PeltConfig.params_per_segment must be >= 1; got 0";
  static constexpr bool kPaths = true, kPruningStats = true;
  template <class C>
  static Detected detect(const C& model, Stopping s, std::size_t every, std::size_t params,
                         const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
    return Pelt<C>{PeltConfig{std::move(s), params, every}, model}.detect(x, ctx);
  }
};

struct FpopRow : PeltRow {
  static constexpr const char* kName = "FPOP";
  static constexpr const char* kAlgorithm = "fpop";
  static constexpr const char* kZeroParamsError =
      "FpopConfig.params_per_segment must be >= 1; got 0";
  static constexpr bool kAnyCost = false;
  static Detected detect(const costs::CostL2Mean& model, Stopping s, std::size_t every,
                         std::size_t params, const core::TimeSeriesView& x,
                         const core::ExecutionContext& ctx) {
    OVREL_TRY_ASSIGN(const Fpop fpop, Fpop::create(model, FpopConfig{std::move(s), params, every}));
    return fpop.detect(x, ctx);
  }
};

struct BinSegRow : BaseRow {
  static constexpr const char* kName = "BinSeg";
  static constexpr const char* kAlgorithm = "binseg";
  static constexpr std::size_t kDefaultParams = 0;
  static constexpr const char* kSource = "model_default_auto";
  static constexpr bool kHonoursDepth = true;
  static std::vector<std::string> standing_warnings() {
    return {"BinSeg may mask closely spaced weaker changes; consider WBS for robust recovery"};
  }
  template <class C>
  static Detected detect(const C& model, Stopping s, std::size_t every, std::size_t params,
                         const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
    return BinSeg<C>{BinSegConfig{std::move(s), params, every}, model}.detect(x, ctx);
  }
};

struct WbsRow : BaseRow {
  static constexpr const char* kName = "WBS";
  static constexpr const char* kAlgorithm = "wbs";
  static constexpr const char* kZeroParamsError =
      "WbsConfig.params_per_segment must be >= 1; got 0";
  static constexpr bool kHonoursDepth = true, kSeed = true;
  template <class C>
  static Detected detect(const C& model, Stopping s, std::size_t every, std::size_t params,
                         const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
    WbsConfig config;
    config.stopping = std::move(s);
    config.params_per_segment = params;
    config.cancel_check_every = every;
    return Wbs<C>{config, model}.detect(x, ctx);
  }
};

struct DynpRow : BaseRow {  // params_per_segment is not configurable
  static constexpr const char* kName = "Dynp";
  static constexpr const char* kAlgorithm = "dynp";
  static constexpr bool kPaths = true;
  template <class C>
  static Detected detect(const C& model, Stopping s, std::size_t every, std::size_t,
                         const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
    return Dynp<C>{DynpConfig{std::move(s), every}, model}.detect(x, ctx);
  }
};

template <class Row>
class DetectorContract : public ::testing::Test {
 protected:
  static Detected run(RecordingContext& rc, Stopping s, std::size_t every = 1000,
                      const testing::OwnedSeries& x = testing::three_steps(),
                      std::size_t params = Row::kDefaultParams) {
    return Row::detect(costs::CostL2Mean{}, std::move(s), every, params, x.view(), rc.ctx);
  }
  static void expect_no_report(const RecordingContext& rc) {
    EXPECT_TRUE(rc.recorder.metrics.empty());
    EXPECT_TRUE(rc.recorder.progress.empty() || rc.recorder.progress.back() < 1.0F);
  }
};

struct RowNames {
  template <class Row>
  static std::string GetName(int) {
    return Row::kName;
  }
};
using Rows = ::testing::Types<PeltRow, FpopRow, BinSegRow, WbsRow, DynpRow>;
TYPED_TEST_SUITE(DetectorContract, Rows, RowNames);

const Stopping kBic = Stopping::penalized(Penalty::bic());

TYPED_TEST(DetectorContract, ConfigurationThenConstraintsThenDataAreCheckedFirst) {
  core::Constraints bad;
  bad.min_segment_len = 0;
  RecordingContext rc(bad);
  EXPECT_EQ(this->run(rc, Stopping::known_k(0)).error(),
            OvrelError::invalid_input("Stopping::KnownK requires k >= 1; got 0"));
  if (TypeParam::kZeroParamsError != nullptr) {
    EXPECT_EQ(this->run(rc, kBic, 1000, testing::three_steps(), 0).error(),
              OvrelError::invalid_input(TypeParam::kZeroParamsError));
  }
  EXPECT_EQ(this->run(rc, kBic).error(),
            OvrelError::invalid_input("constraints.min_segment_len must be >= 1; got 0"));
  RecordingContext ok;
  auto ignoring = testing::three_steps();
  ignoring.policy = core::MissingPolicy::Ignore;
  EXPECT_EQ(this->run(ok, kBic, 1000, ignoring).error(),
            OvrelError::invalid_input("incompatible missing handling: policy=Ignore requires "
                                      "support=MaskAware, got support=Reject"));
  core::Constraints approx;
  approx.cache_policy = core::CachePolicy::approximate(100, 0.1);
  RecordingContext ra(approx);
  EXPECT_EQ(this->run(ra, kBic).error(),
            OvrelError::not_supported("CostL2Mean does not support CachePolicy::Approximate"));
  // A penalty that resolves to nothing stops the run before anything is reported.
  RecordingContext one;
  EXPECT_EQ(this->run(one, kBic, 1000, testing::series({1.0})).error(),
            OvrelError::invalid_input("resolved penalty must be finite and > 0.0; got beta=0"));
  this->expect_no_report(rc);
  this->expect_no_report(one);
}

TYPED_TEST(DetectorContract, PenalisedRunFindsTheStepsAndReportsItself) {
  RecordingContext rc({}, core::BudgetMode::HardFail, core::ReproMode::Strict);
  const auto r = this->run(rc, kBic);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{20, 40, 60}));
  // The notes, warnings and metric values are rows of tests/data/offline_notes.txt.
  const core::Diagnostics& d = r->diagnostics;
  EXPECT_EQ(d.algorithm, TypeParam::kAlgorithm);
  EXPECT_EQ(d.cost_model, "l2_mean");
  EXPECT_EQ((std::pair{d.n, d.d}), (std::pair<std::uint64_t, std::uint64_t>{60, 1}));
  EXPECT_EQ(d.repro_mode, core::ReproMode::Strict);
  EXPECT_EQ(d.seed.has_value(), TypeParam::kSeed);
  EXPECT_EQ(d.pruning_stats.has_value(), TypeParam::kPruningStats);
  ASSERT_TRUE(d.runtime_ms.has_value());
  EXPECT_EQ(rc.recorder.metrics.back(),
            std::pair(core::cat("offline.", TypeParam::kAlgorithm, ".runtime_ms"),
                      static_cast<double>(*d.runtime_ms)));
  if (d.pruning_stats) {
    EXPECT_EQ(rc.recorder.metrics[1].second,
              static_cast<double>(d.pruning_stats->candidates_considered));
    EXPECT_EQ(rc.recorder.metrics[2].second,
              static_cast<double>(d.pruning_stats->candidates_pruned));
  }
  const auto& p = rc.recorder.progress;
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back(), 1.0F);
  EXPECT_GE(*std::min_element(p.begin(), p.end()), 0.0F);
  EXPECT_LE(*std::max_element(p.begin(), p.end()), 1.0F);
}

TYPED_TEST(DetectorContract, KnownKFindsTheStepsAndHonoursTheCap) {
  RecordingContext rc;
  const auto r = this->run(rc, Stopping::known_k(2));
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{20, 40, 60}));
  core::Constraints capped;
  capped.max_change_points = 1;
  RecordingContext rc1(capped);
  EXPECT_EQ(this->run(rc1, Stopping::known_k(2)).error(),
            OvrelError::invalid_input("KnownK=2 exceeds constraints.max_change_points=1"));
  this->expect_no_report(rc1);
}

TYPED_TEST(DetectorContract, CostBudgetFailsUnderHardFailAndWarnsUnderSoftDegrade) {
  core::Constraints c;
  c.max_cost_evals = 10;
  RecordingContext hard(c, core::BudgetMode::HardFail), soft(c, core::BudgetMode::SoftDegrade),
      free;
  for (const Stopping& s : {kBic, Stopping::known_k(2)}) {
    EXPECT_EQ(this->run(hard, s).error(),
              OvrelError::resource_limit(
                  "constraints.max_cost_evals exceeded: used=11, limit=10, budget_mode=HardFail"));
    this->expect_no_report(hard);
    const auto sd = this->run(soft, s);
    const auto f = this->run(free, s);
    ASSERT_TRUE(sd.has_value() && f.has_value());
    EXPECT_EQ(sd->breakpoints, f->breakpoints);
    EXPECT_EQ(sd->diagnostics.notes, f->diagnostics.notes);
    auto warnings = TypeParam::standing_warnings();
    warnings.push_back(kSoftWarning);
    EXPECT_EQ(sd->diagnostics.warnings, warnings);
  }
}

TYPED_TEST(DetectorContract, TimeBudgetFailsUnderHardFailAndWarnsUnderSoftDegrade) {
  if constexpr (TypeParam::kAnyCost) {
    core::Constraints c;
    c.time_budget_ms = 1;
    const auto x = testing::three_steps();
    for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
      RecordingContext rc(c, mode);
      const auto slow = testing::FunctionCost::l2_of(x.values, std::chrono::milliseconds(20));
      const auto r = TypeParam::detect(slow, kBic, 1, TypeParam::kDefaultParams, x.view(), rc.ctx);
      if (mode == core::BudgetMode::HardFail) {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), ErrorKind::ResourceLimit);
        EXPECT_TRUE(r.error().message().starts_with("constraints.time_budget_ms exceeded: "));
        EXPECT_TRUE(r.error().message().ends_with(", limit_ms=1, budget_mode=HardFail"));
      } else {
        ASSERT_TRUE(r.has_value()) << r.error().display();
        EXPECT_EQ(r->diagnostics.warnings.back(), kSoftWarning);
      }
    }
  }
}

TYPED_TEST(DetectorContract, CancellationStopsEveryRuleInBothModes) {
  for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
    for (const Stopping& s : {kBic, Stopping::known_k(2)}) {
      RecordingContext rc({}, mode);
      rc.token.cancel();
      EXPECT_EQ(this->run(rc, s, 1).error(), OvrelError::cancelled());
      this->expect_no_report(rc);
    }
  }
}

TYPED_TEST(DetectorContract, PeriodZeroActsAsOneAndSinksChangeNothing) {
  RecordingContext zero, one;
  const auto a = this->run(zero, Stopping::penalized(Penalty::aic()), 0);
  const auto b = this->run(one, Stopping::penalized(Penalty::aic()), 1);
  const core::Constraints none;
  const core::ExecutionContext bare(none);
  const auto x = testing::three_steps();
  const auto c = TypeParam::detect(costs::CostL2Mean{}, Stopping::penalized(Penalty::aic()), 1,
                                   TypeParam::kDefaultParams, x.view(), bare);
  ASSERT_TRUE(a.has_value() && b.has_value() && c.has_value());
  EXPECT_EQ(a->breakpoints, b->breakpoints);
  EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
  EXPECT_EQ(zero.recorder.progress, one.recorder.progress);
  EXPECT_EQ(c->breakpoints, b->breakpoints);
  EXPECT_EQ(c->diagnostics.notes, b->diagnostics.notes);
}

// Asked at every unit of work (no pacing); asks to stop at ask `stop_at` (never when 0).
struct CountingHook : core::InterruptHook {
  std::uint64_t stop_at = 0;
  std::uint64_t asked = 0;
  bool stop_requested() override { return ++asked == stop_at; }
};
constexpr core::InterruptPacing kEveryUnit{std::chrono::nanoseconds(0),
                                           std::chrono::nanoseconds(0)};

TYPED_TEST(DetectorContract, AnInterruptPollThatLetsTheRunGoChangesNothing) {
  core::Constraints capped;
  capped.max_change_points = 1;
  std::vector<std::pair<Stopping, core::Constraints>> runs{
      {kBic, {}}, {Stopping::known_k(2), {}}, {kBic, capped}};
  if constexpr (TypeParam::kPaths) {
    runs.emplace_back(Stopping::penalty_path({Penalty::manual(10.0), Penalty::bic()}),
                      core::Constraints{});
  }
  const auto x = testing::three_steps();
  for (const auto& [stopping, constraints] : runs) {
    RecordingContext plain(constraints), polled(constraints);
    CountingHook hook;
    core::InterruptPoll poll(hook, kEveryUnit);
    polled.ctx.interrupt = &poll;
    const auto compare = [&](const auto& model) {
      const auto a =
          TypeParam::detect(model, stopping, 7, TypeParam::kDefaultParams, x.view(), plain.ctx);
      const auto b =
          TypeParam::detect(model, stopping, 7, TypeParam::kDefaultParams, x.view(), polled.ctx);
      ASSERT_TRUE(a.has_value()) << a.error().display();
      ASSERT_TRUE(b.has_value()) << b.error().display();
      EXPECT_EQ(a->breakpoints, b->breakpoints);
      EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
      EXPECT_EQ(a->diagnostics.warnings, b->diagnostics.warnings);
      EXPECT_EQ(a->diagnostics.pruning_stats, b->diagnostics.pruning_stats);
    };
    // PELT scores L2 in batches and L1 one start at a time.
    compare(costs::CostL2Mean{});
    if constexpr (TypeParam::kAnyCost) compare(costs::CostL1Median{});
    EXPECT_EQ(plain.recorder.progress, polled.recorder.progress);
    // Every metric but the run time.
    ASSERT_EQ(plain.recorder.metric_names(), polled.recorder.metric_names());
    for (std::size_t i = 0; i < plain.recorder.metrics.size(); ++i) {
      if (!plain.recorder.metrics[i].first.ends_with("runtime_ms")) {
        EXPECT_EQ(plain.recorder.metrics[i], polled.recorder.metrics[i]);
      }
    }
    EXPECT_GT(hook.asked, 10u);
  }
}

TYPED_TEST(DetectorContract, AnInterruptEndsEveryRuleWithCancelled) {
  const auto x = testing::three_steps();
  for (const Stopping& s : {kBic, Stopping::known_k(2)}) {
    for (const std::uint64_t stop_at : {1u, 5u}) {
      RecordingContext rc;
      CountingHook hook;
      hook.stop_at = stop_at;
      core::InterruptPoll poll(hook, kEveryUnit);
      rc.ctx.interrupt = &poll;
      EXPECT_EQ(this->run(rc, s, 1000, x).error(), OvrelError::cancelled());
      EXPECT_EQ(hook.asked, stop_at);
      this->expect_no_report(rc);
    }
  }
}

TYPED_TEST(DetectorContract, PenaltyPathAnswersWithItsFirstEntryOrIsRefused) {
  RecordingContext rc, single;
  const auto path = Stopping::penalty_path({Penalty::manual(10.0), Penalty::bic(), Penalty::aic()});
  const auto r = this->run(rc, path);
  if constexpr (TypeParam::kPaths) {
    const auto m = this->run(single, Stopping::penalized(Penalty::manual(10.0)));
    ASSERT_TRUE(r.has_value() && m.has_value());
    EXPECT_EQ(r->breakpoints, m->breakpoints);
    const auto& notes = r->diagnostics.notes;
    EXPECT_NE(std::find(notes.begin(), notes.end(), "stopping=PenaltyPath(len=3), primary_index=0"),
              notes.end());
  } else {
    EXPECT_EQ(r.error(),
              OvrelError::not_supported(core::cat(TypeParam::kName,
                                                  " penalty sweep is deferred for this "
                                                  "issue; got PenaltyPath of length 3")));
    // The root segment is examined before the stopping rule: its errors come first.
    core::Constraints budget;
    budget.max_cost_evals = 2;
    RecordingContext rb(budget);
    EXPECT_EQ(this->run(rb, path).error(),
              OvrelError::resource_limit(
                  "constraints.max_cost_evals exceeded: used=3, limit=2, budget_mode=HardFail"));
  }
}

TYPED_TEST(DetectorContract, MaxDepthLimitsTheFrontierOrIsIgnoredWithAWarning) {
  core::Constraints c;
  c.max_depth = 1;
  RecordingContext rc(c), free;
  const auto r = this->run(rc, kBic);
  const auto f = this->run(free, kBic);
  ASSERT_TRUE(r.has_value() && f.has_value());
  if constexpr (TypeParam::kHonoursDepth) {
    EXPECT_EQ(r->change_points.size(), 1u);
    EXPECT_EQ(r->diagnostics.warnings, TypeParam::standing_warnings());
  } else {
    EXPECT_EQ(r->breakpoints, f->breakpoints);
    EXPECT_EQ(r->diagnostics.warnings,
              std::vector<std::string>{
                  core::cat("constraints.max_depth=1 is ignored by ", TypeParam::kName)});
  }
}

// ---------------------------------------------------------------------------------------------
// The notes and warnings of whole runs, one row of tests/data/offline_notes.txt per detector and
// scenario, compared as text.

Penalty penalty_word(std::istringstream& in) {
  std::string word;
  in >> word;
  if (word == "bic") return Penalty::bic();
  if (word == "aic") return Penalty::aic();
  double beta = 0.0;
  in >> beta;
  return Penalty::manual(beta);
}

Stopping stopping_of(const std::string& text) {
  std::istringstream in(text);
  if (text.starts_with("known_k")) {
    std::string word;
    std::size_t k = 0;
    in >> word >> k;
    return Stopping::known_k(k);
  }
  if (!text.starts_with("path")) return Stopping::penalized(penalty_word(in));
  std::string word;
  in >> word;
  std::vector<Penalty> path;
  while (in >> std::ws && !in.eof()) path.push_back(penalty_word(in));
  return Stopping::penalty_path(std::move(path));
}

template <class Row>
void run_row(const std::string& name, const std::vector<std::string>& r, bool& matched) {
  if (name != Row::kAlgorithm) return;
  matched = true;
  std::vector<double> values;
  std::istringstream words(r.at(2));
  for (double v; words >> v;) values.push_back(v);
  const auto x = r[2] == "three_steps" ? testing::three_steps() : testing::series(values);
  core::Constraints c;
  if (r.at(3) != "-") c.min_segment_len = std::stoull(r[3]);
  RecordingContext rc(c);
  const auto got = Row::detect(costs::CostL2Mean{}, stopping_of(r.at(1)), 1000, Row::kDefaultParams,
                               x.view(), rc.ctx);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  std::vector<std::string> lines{"breakpoints=" + core::list_text(std::span(got->breakpoints))};
  for (const auto& note : got->diagnostics.notes) lines.push_back(note);
  for (const auto& w : got->diagnostics.warnings) lines.push_back("warning: " + w);
  for (const auto& [key, value] : rc.recorder.metrics) {
    if (!key.ends_with("runtime_ms")) lines.push_back(core::cat("metric ", key, "=", value));
  }
  lines.push_back(core::cat("progress_reports=", rc.recorder.progress.size()));
  EXPECT_EQ(lines, std::vector<std::string>(r.begin() + 4, r.end()));
}

class OfflineNotes : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(OfflineNotes, Row) {
  bool matched = false;
  const auto& r = GetParam();
  run_row<PeltRow>(r.at(0), r, matched);
  run_row<FpopRow>(r[0], r, matched);
  run_row<BinSegRow>(r[0], r, matched);
  run_row<WbsRow>(r[0], r, matched);
  run_row<DynpRow>(r[0], r, matched);
  EXPECT_TRUE(matched) << r[0];
}

INSTANTIATE_TEST_SUITE_P(Table, OfflineNotes,
                         ::testing::ValuesIn(test_support::data_rows("offline_notes.txt")));

TEST(OfflineNotes, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("offline_notes.txt").size(), 13u);
}

}  // namespace
}  // namespace ovrel::offline
