// What every offline detector promises alike, with a row per detector for what differs: whole runs
// from tests/data/offline_runs.txt (the order of the checks, the notes, warnings, metrics and
// errors), each repeated under an interrupt poll that lets it go, a check period of 0 and no sinks,
// which change nothing, and stopped by an interrupt or the cancel flag; then the budgets.

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

using core::Stopping;
using testing::RecordingContext;
using Detected = Result<core::OfflineChangePointResult>;

const std::string kSoftWarning =
    "budget exceeded under SoftDegrade mode; run continued without algorithm fallback";

// Each detector's configuration; Dynp has no params_per_segment, FPOP only the L2 cost.
struct PeltRow {
  static constexpr const char* kAlgorithm = "pelt";
  static constexpr std::size_t kDefaultParams = 2;
  static constexpr bool kAnyCost = true;
  template <class C>
  static Detected detect(const C& model, Stopping s, std::size_t every, std::size_t params,
                         const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
    return Pelt<C>{PeltConfig{std::move(s), params, every}, model}.detect(x, ctx);
  }
};

struct FpopRow : PeltRow {
  static constexpr const char* kAlgorithm = "fpop";
  static constexpr bool kAnyCost = false;
  static Detected detect(const costs::CostL2Mean& model, Stopping s, std::size_t every,
                         std::size_t params, const core::TimeSeriesView& x,
                         const core::ExecutionContext& ctx) {
    OVREL_TRY_ASSIGN(const Fpop fpop, Fpop::create(model, FpopConfig{std::move(s), params, every}));
    return fpop.detect(x, ctx);
  }
};

struct BinSegRow : PeltRow {
  static constexpr const char* kAlgorithm = "binseg";
  static constexpr std::size_t kDefaultParams = 0;
  template <class C>
  static Detected detect(const C& model, Stopping s, std::size_t every, std::size_t params,
                         const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
    return BinSeg<C>{BinSegConfig{std::move(s), params, every}, model}.detect(x, ctx);
  }
};

struct WbsRow : PeltRow {
  static constexpr const char* kAlgorithm = "wbs";
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

struct DynpRow : PeltRow {
  static constexpr const char* kAlgorithm = "dynp";
  template <class C>
  static Detected detect(const C& model, Stopping s, std::size_t every, std::size_t,
                         const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
    return Dynp<C>{DynpConfig{std::move(s), every}, model}.detect(x, ctx);
  }
};

void expect_no_report(const RecordingContext& rc) {
  EXPECT_TRUE(rc.recorder.metrics.empty());
  EXPECT_TRUE(rc.recorder.progress.empty() || rc.recorder.progress.back() < 1.0F);
}

// Asked at every unit of work (no pacing); asks to stop at ask `stop_at` (never when 0).
struct CountingHook : core::InterruptHook {
  std::uint64_t stop_at = 0;
  std::uint64_t asked = 0;
  bool stop_requested() override { return ++asked == stop_at; }
};

struct Polled : RecordingContext {
  CountingHook hook;
  core::InterruptPoll poll{hook, {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)}};
  Polled(const core::Constraints& c, std::uint64_t stop_at) : RecordingContext(c) {
    hook.stop_at = stop_at;
    ctx.interrupt = &poll;
  }
};

// A run as text: the error, or the breakpoints, every note, "warning: " and every warning, the
// seed and pruning counts where reported, every metric but the run time, and the progress count.
std::vector<std::string> lines_of(const Detected& got, const testing::Recorder& rec) {
  if (!got) return {got.error().display()};
  const core::Diagnostics& d = got->diagnostics;
  std::vector<std::string> lines{"breakpoints=" + core::list_text(std::span(got->breakpoints))};
  lines.insert(lines.end(), d.notes.begin(), d.notes.end());
  for (const auto& w : d.warnings) lines.push_back("warning: " + w);
  if (d.seed) lines.push_back(core::cat("seed=", *d.seed));
  if (d.pruning_stats) {
    lines.push_back(core::cat("pruning considered=", d.pruning_stats->candidates_considered,
                              " pruned=", d.pruning_stats->candidates_pruned));
  }
  for (const auto& [key, value] : rec.metrics) {
    if (!key.ends_with("runtime_ms")) lines.push_back(core::cat("metric ", key, "=", value));
  }
  lines.push_back(core::cat("progress_reports=", rec.progress.size()));
  return lines;
}

// "steps n every jump noise seed" (see noisy_steps) or the values.
testing::OwnedSeries series_of(const std::string& text) {
  const bool steps = text.starts_with("steps");
  std::istringstream in(steps ? text.substr(5) : text);
  std::vector<double> v;
  for (double value; in >> value;) v.push_back(value);
  if (!steps) return testing::series(std::move(v));
  const auto count = [&](std::size_t i) { return static_cast<std::size_t>(v.at(i)); };
  return testing::noisy_steps(count(0), 1, count(1), v.at(2), v.at(3), count(4));
}

// detector | stopping | series | settings | lines: see the head of the data file.
template <class Row>
void run_row(const std::vector<std::string>& r) {
  testing::OwnedSeries x = series_of(r.at(2));
  core::Constraints c;
  std::size_t params = Row::kDefaultParams;
  bool l1 = false;
  std::istringstream settings(r.at(3) == "-" ? "" : r[3]);
  for (std::string w; settings >> w;) {
    const std::string key = w.substr(0, w.find('='));
    const std::size_t value = key == w ? 0 : std::stoull(w.substr(key.size() + 1));
    if (key == "min_segment_len") c.min_segment_len = value;
    if (key == "max_change_points") c.max_change_points = value;
    if (key == "max_depth") c.max_depth = value;
    if (key == "max_cost_evals") c.max_cost_evals = value;
    if (key == "params") params = value;
    if (key == "approximate") c.cache_policy = core::CachePolicy::approximate(100, 0.1);
    if (key == "missing_ignore") x.policy = core::MissingPolicy::Ignore;
    l1 = l1 || key == "l1";
  }
  const Stopping stopping = testing::stopping_of(r.at(1));
  const auto run = [&](const core::ExecutionContext& ctx, std::size_t every) -> Detected {
    if constexpr (Row::kAnyCost) {
      if (l1) return Row::detect(costs::CostL1Median{}, stopping, every, params, x.view(), ctx);
    }
    return Row::detect(costs::CostL2Mean{}, stopping, every, params, x.view(), ctx);
  };
  RecordingContext rc(c, core::BudgetMode::HardFail, core::ReproMode::Strict);
  const Detected got = run(rc.ctx, 1000);
  const std::vector<std::string> lines = lines_of(got, rc.recorder);
  EXPECT_EQ(lines, std::vector<std::string>(r.begin() + 4, r.end()));
  if (!got) return expect_no_report(rc);
  const core::Diagnostics& d = got->diagnostics;
  EXPECT_EQ(d.algorithm, Row::kAlgorithm);
  EXPECT_EQ(d.cost_model, l1 ? "l1_median" : "l2_mean");
  EXPECT_EQ((std::pair{d.n, d.d}), (std::pair<std::uint64_t, std::uint64_t>{x.n, 1}));
  EXPECT_EQ(d.repro_mode, core::ReproMode::Strict);
  ASSERT_TRUE(d.runtime_ms.has_value());
  EXPECT_EQ(rc.recorder.metrics.back(),
            std::pair(core::cat("offline.", Row::kAlgorithm, ".runtime_ms"),
                      static_cast<double>(*d.runtime_ms)));
  const auto& p = rc.recorder.progress;
  EXPECT_EQ(p.back(), 1.0F);
  EXPECT_GE(*std::min_element(p.begin(), p.end()), 0.0F);
  // Polled at every unit of work with a check period of 0, or without sinks, the run is the same.
  Polled polled(c, 0);
  polled.ctx.repro_mode = core::ReproMode::Strict;
  EXPECT_EQ(lines_of(run(polled.ctx, 0), polled.recorder), lines);
  const core::ExecutionContext bare(c, core::ReproMode::Strict);
  const Detected alone = run(bare, 1);
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(alone->breakpoints, got->breakpoints);
  EXPECT_EQ(alone->diagnostics.notes, d.notes);
  EXPECT_EQ(alone->diagnostics.warnings, d.warnings);
  // An interrupt at the first or fifth ask, or the cancel flag, ends it before any report.
  for (const std::uint64_t stop_at : {1u, 5u}) {
    if (stop_at > polled.hook.asked) continue;
    Polled stopped(c, stop_at);
    EXPECT_EQ(run(stopped.ctx, 1000).error(), OvrelError::cancelled());
    EXPECT_EQ(stopped.hook.asked, stop_at);
    expect_no_report(stopped);
  }
  RecordingContext cancelled(c);
  cancelled.token.cancel();
  EXPECT_EQ(run(cancelled.ctx, 1).error(), OvrelError::cancelled());
  expect_no_report(cancelled);
}

class OfflineRuns : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(OfflineRuns, Row) {
  const std::string& detector = GetParam().at(0);
  if (detector == "pelt") run_row<PeltRow>(GetParam());
  if (detector == "fpop") run_row<FpopRow>(GetParam());
  if (detector == "binseg") run_row<BinSegRow>(GetParam());
  if (detector == "wbs") run_row<WbsRow>(GetParam());
  if (detector == "dynp") run_row<DynpRow>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, OfflineRuns,
                         ::testing::ValuesIn(test_support::data_rows("offline_runs.txt")));

TEST(OfflineRuns, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("offline_runs.txt").size(), 82u);
}

// ---------------------------------------------------------------------------------------------
// Budgets, per detector.

template <class Row>
class Budgets : public ::testing::Test {};
using Rows = ::testing::Types<PeltRow, FpopRow, BinSegRow, WbsRow, DynpRow>;
TYPED_TEST_SUITE(Budgets, Rows);

const Stopping kBic = Stopping::penalized(core::Penalty::bic());

TYPED_TEST(Budgets, CostBudgetFailsUnderHardFailAndWarnsUnderSoftDegrade) {
  core::Constraints c;
  c.max_cost_evals = 10;
  RecordingContext hard(c), soft(c, core::BudgetMode::SoftDegrade), free;
  const auto x = testing::three_steps();
  const auto run = [&](RecordingContext& rc, const Stopping& s) {
    return TypeParam::detect(costs::CostL2Mean{}, s, 1000, TypeParam::kDefaultParams, x.view(),
                             rc.ctx);
  };
  for (const Stopping& s : {kBic, Stopping::known_k(2)}) {
    EXPECT_EQ(run(hard, s).error(),
              OvrelError::resource_limit(
                  "constraints.max_cost_evals exceeded: used=11, limit=10, budget_mode=HardFail"));
    expect_no_report(hard);
    const auto sd = run(soft, s);
    const auto f = run(free, s);
    ASSERT_TRUE(sd.has_value() && f.has_value());
    EXPECT_EQ(sd->breakpoints, f->breakpoints);
    EXPECT_EQ(sd->diagnostics.notes, f->diagnostics.notes);
    auto warnings = f->diagnostics.warnings;
    warnings.push_back(kSoftWarning);
    EXPECT_EQ(sd->diagnostics.warnings, warnings);
  }
}

TYPED_TEST(Budgets, TimeBudgetFailsUnderHardFailAndWarnsUnderSoftDegrade) {
  if constexpr (TypeParam::kAnyCost) {
    core::Constraints c;
    c.time_budget_ms = 1;
    const auto x = testing::three_steps();
    for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
      RecordingContext rc(c, mode);
      const auto slow = testing::FunctionCost::l2_of(x.values, std::chrono::milliseconds(20));
      const auto r = TypeParam::detect(slow, kBic, 1, TypeParam::kDefaultParams, x.view(), rc.ctx);
      if (mode == core::BudgetMode::SoftDegrade) {
        ASSERT_TRUE(r.has_value()) << r.error().display();
        EXPECT_EQ(r->diagnostics.warnings.back(), kSoftWarning);
        continue;
      }
      EXPECT_EQ(r.error().kind(), ErrorKind::ResourceLimit);
      EXPECT_TRUE(r.error().message().starts_with("constraints.time_budget_ms exceeded: "));
      EXPECT_TRUE(r.error().message().ends_with(", limit_ms=1, budget_mode=HardFail"));
    }
  }
}

}  // namespace
}  // namespace ovrel::offline
