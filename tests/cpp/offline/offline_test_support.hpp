#pragma once

// Shared fixtures of the offline detector tests: series over owned values, a context that records
// progress and metrics, a cost model given by a function, the eight models as a type list, and
// the exhaustive optimal-partitioning oracle with the direct L2 cost it is checked with.

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace ovrel::offline::testing {

// Values kept alive next to the view that borrows them.
struct OwnedSeries {
  std::vector<double> values;
  std::size_t n = 0;
  std::size_t d = 1;
  core::MissingPolicy policy = core::MissingPolicy::Error;

  core::TimeSeriesView view() const {
    auto v = core::TimeSeriesView::from_f64(values, n, d, core::MemoryLayout::c_contiguous(),
                                            std::nullopt, core::TimeIndex::none(), policy);
    if (!v) throw std::runtime_error(v.error().display());
    return *v;
  }
};

inline OwnedSeries series(std::vector<double> values, std::size_t d = 1) {
  const std::size_t n = values.size() / d;
  return OwnedSeries{std::move(values), n, d};
}

// Levels 0, jump, 2 * jump repeating every `every` points, plus seeded Gaussian noise.
inline OwnedSeries noisy_steps(std::size_t n, std::size_t d, std::size_t every, double jump,
                               double noise, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0.0, noise);
  std::vector<double> v(n * d);
  for (std::size_t t = 0; t < n; ++t) {
    const double level = static_cast<double>((t / every) % 3) * jump;
    for (std::size_t j = 0; j < d; ++j) v[t * d + j] = level + gauss(rng);
  }
  return OwnedSeries{std::move(v), n, d};
}

// Three levels of 20 points each: every exact detector finds {20, 40, 60}.
inline OwnedSeries three_steps() { return noisy_steps(60, 1, 20, 5.0, 0.3, 7); }

// Piecewise-constant means with small deterministic noise.
inline std::vector<double> piecewise_series(
    const std::vector<std::pair<std::size_t, double>>& parts, double noise,
    std::uint64_t seed = 1) {
  std::vector<double> out;
  std::uint64_t state = seed;
  for (const auto& [len, mean] : parts) {
    for (std::size_t i = 0; i < len; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const double u = static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
      out.push_back(mean + noise * (u - 0.5));
    }
  }
  return out;
}

class Recorder : public core::ProgressSink, public core::TelemetrySink {
 public:
  void report_progress(float fraction) override { progress.push_back(fraction); }
  void record_scalar(std::string_view key, double value) override {
    metrics.emplace_back(std::string(key), value);
  }
  std::vector<std::string> metric_names() const {
    std::vector<std::string> out;
    for (const auto& m : metrics) out.push_back(m.first);
    return out;
  }
  std::vector<float> progress;
  std::vector<std::pair<std::string, double>> metrics;
};

// A context over its own constraints with a recording sink and a cancel token attached.
struct RecordingContext {
  core::Constraints constraints;
  Recorder recorder;
  core::CancelToken token;
  core::ExecutionContext ctx;

  explicit RecordingContext(core::Constraints c = {},
                            core::BudgetMode mode = core::BudgetMode::HardFail,
                            core::ReproMode repro = core::ReproMode::Balanced)
      : constraints(std::move(c)), ctx(constraints, repro, mode) {
    ctx.progress = &recorder;
    ctx.telemetry = &recorder;
    ctx.cancel = &token;
  }
  RecordingContext(const RecordingContext&) = delete;
  RecordingContext& operator=(const RecordingContext&) = delete;
};

inline core::Constraints constraints_with(std::size_t min_segment_len, std::size_t jump) {
  core::Constraints c;
  c.min_segment_len = min_segment_len;
  c.jump = jump;
  return c;
}

inline core::ValidatedConstraints validated(const core::Constraints& c, std::size_t n) {
  auto v = core::validate_constraints(c, n);
  if (!v) throw std::runtime_error(v.error().display());
  return *v;
}

// The L2 cost computed directly from the values: the oracles' own arithmetic.
inline double direct_l2(const std::vector<double>& x, std::size_t start, std::size_t end) {
  double mean = 0.0;
  for (std::size_t i = start; i < end; ++i) mean += x[i];
  mean /= static_cast<double>(end - start);
  double cost = 0.0;
  for (std::size_t i = start; i < end; ++i) cost += (x[i] - mean) * (x[i] - mean);
  return cost;
}

// A cost model whose segment costs come from a function of (start, end), optionally after a stall
// on the first evaluation (to cross a time budget). Scripts ties, non-finite costs and overflows.
struct FunctionCost {
  struct Cache {
    std::size_t n = 0;
    std::size_t d = 0;
  };
  struct Script {
    std::function<double(std::size_t, std::size_t)> cost;
    std::chrono::milliseconds stall_first{0};
  };
  std::shared_ptr<Script> script;

  static constexpr std::string_view name() { return "l2_mean"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }
  core::Status validate(const core::TimeSeriesView&) const { return {}; }
  core::Result<Cache> precompute(const core::TimeSeriesView& x, const core::CachePolicy&) const {
    return Cache{x.n(), x.d()};
  }
  double segment_cost(const Cache&, std::size_t start, std::size_t end) const {
    if (script->stall_first.count() > 0) {
      std::this_thread::sleep_for(std::exchange(script->stall_first, {}));
    }
    return script->cost(start, end);
  }
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const { return 2 * d; }

  static FunctionCost of(std::function<double(std::size_t, std::size_t)> f,
                         std::chrono::milliseconds stall_first = {}) {
    return FunctionCost{std::make_shared<Script>(Script{std::move(f), stall_first})};
  }
  // The L2 cost of the values, computed directly.
  static FunctionCost l2_of(std::vector<double> x, std::chrono::milliseconds stall_first = {}) {
    return of([x = std::move(x)](std::size_t s, std::size_t e) { return direct_l2(x, s, e); },
              stall_first);
  }
};
static_assert(costs::CostModel<FunctionCost>);

using AllModels = ::testing::Types<costs::CostL2Mean, costs::CostL1Median, costs::CostNormalMeanVar,
                                   costs::CostNormalFullCov, costs::CostNIGMarginal,
                                   costs::CostCosine, costs::CostRank, costs::CostAR>;

struct ModelNames {
  template <class C>
  static std::string GetName(int) {
    return std::string(C::name());
  }
};

// The full-covariance model is tried on two dimensions, with segments long enough to be finite.
template <class C>
constexpr std::size_t oracle_dims() {
  return std::is_same_v<C, costs::CostNormalFullCov> ? 2 : 1;
}
template <class C>
void adjust_for_model(core::Constraints& c) {
  if constexpr (std::is_same_v<C, costs::CostNormalFullCov>) {
    if (c.min_segment_len < 3) c.min_segment_len = 3;
  }
}

// The best segmentation by exhaustive search: every subset of the candidate positions whose
// segments all hold at least min_segment_len positions, optionally with exactly `exact_changes`
// change points; objective = segment costs + beta * changes.
struct OracleAnswer {
  double objective = std::numeric_limits<double>::infinity();
  std::vector<std::size_t> breakpoints;
};

inline double objective_of(const std::vector<std::size_t>& breakpoints, double beta,
                           const std::function<double(std::size_t, std::size_t)>& cost) {
  double total = 0.0;
  std::size_t start = 0;
  for (std::size_t b : breakpoints) {
    total += cost(start, b);
    start = b;
  }
  return total + beta * static_cast<double>(breakpoints.size() - 1);
}

inline OracleAnswer exhaustive_optimum(
    std::size_t n, const std::vector<std::size_t>& candidates, std::size_t min_segment_len,
    double beta, std::optional<std::size_t> exact_changes,
    const std::function<double(std::size_t, std::size_t)>& cost) {
  OracleAnswer best;
  std::vector<std::size_t> chosen;
  std::function<void(std::size_t, std::size_t)> walk = [&](std::size_t from, std::size_t last) {
    if (n - last >= min_segment_len && (!exact_changes || chosen.size() == *exact_changes)) {
      std::vector<std::size_t> bps = chosen;
      bps.push_back(n);
      const double total = objective_of(bps, beta, cost);
      if (total < best.objective) best = {total, std::move(bps)};
    }
    for (std::size_t i = from; i < candidates.size(); ++i) {
      const std::size_t s = candidates[i];
      if (s <= last || s - last < min_segment_len || s >= n) continue;
      chosen.push_back(s);
      walk(i + 1, s);
      chosen.pop_back();
    }
  };
  walk(0, 0);
  return best;
}

}  // namespace ovrel::offline::testing
