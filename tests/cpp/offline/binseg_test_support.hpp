#pragma once

// Shared fixtures of the binary-segmentation and WBS tests: series, contexts with recording sinks,
// a scripted cost model, and a direct L2 cost used as an oracle.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::offline::testing {

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

inline core::TimeSeriesView view_of(const std::vector<double>& values, std::size_t d = 1) {
  auto view = core::TimeSeriesView::from_f64(values, values.size() / d, d,
                                             core::MemoryLayout::c_contiguous(), std::nullopt,
                                             core::TimeIndex::none(), core::MissingPolicy::Error);
  if (!view) throw std::runtime_error(view.error().display());
  return *view;
}

// The L2 cost computed directly from the values: the oracle's own arithmetic.
inline double direct_l2(const std::vector<double>& x, std::size_t start, std::size_t end) {
  double mean = 0.0;
  for (std::size_t i = start; i < end; ++i) mean += x[i];
  mean /= static_cast<double>(end - start);
  double cost = 0.0;
  for (std::size_t i = start; i < end; ++i) cost += (x[i] - mean) * (x[i] - mean);
  return cost;
}

struct RecordingProgress : core::ProgressSink {
  std::vector<float> values;
  void report_progress(float fraction) override { values.push_back(fraction); }
};

struct RecordingTelemetry : core::TelemetrySink {
  std::vector<std::pair<std::string, double>> values;
  void record_scalar(std::string_view key, double value) override {
    values.emplace_back(std::string(key), value);
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& [k, v] : values) out.push_back(k);
    return out;
  }
};

// A cost model whose segment costs come from a function of (start, end); its name and default
// parameter count are fixed. Used to script ties, NaN costs and overflowing gains.
struct ScriptedCost {
  struct Cache {
    std::size_t n = 0;
    std::size_t d = 0;
  };
  std::shared_ptr<std::function<double(std::size_t, std::size_t)>> cost;

  static constexpr std::string_view name() { return "l2_mean"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }
  core::Status validate(const core::TimeSeriesView&) const { return {}; }
  core::Result<Cache> precompute(const core::TimeSeriesView& x, const core::CachePolicy&) const {
    return Cache{x.n(), x.d()};
  }
  double segment_cost(const Cache&, std::size_t start, std::size_t end) const {
    return (*cost)(start, end);
  }
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const { return 2 * d; }

  static ScriptedCost of(std::function<double(std::size_t, std::size_t)> f) {
    return ScriptedCost{
        std::make_shared<std::function<double(std::size_t, std::size_t)>>(std::move(f))};
  }
};
static_assert(costs::CostModel<ScriptedCost>);

inline core::ValidatedConstraints validated(const core::Constraints& c, std::size_t n) {
  auto v = core::validate_constraints(c, n);
  if (!v) throw std::runtime_error(v.error().display());
  return *v;
}

}  // namespace ovrel::offline::testing
