// Times the segment-neighbourhood detector: one sweep costs (max_k + 1) * m^2 / 2 segment
// evaluations over m endpoints, so the table shows how n, jump and max_change_points trade off.
//
// Run: build with -DOVREL_BUILD_BENCH=ON, then ./bench/dynp_bench

#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <vector>

#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/offline/dynp.hpp"

namespace {

using namespace ovrel;

std::vector<double> piecewise(std::size_t n, std::size_t d, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> out(n * d);
  double level = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    if (t % 250 == 0) level = 4.0 * noise(gen);
    for (std::size_t j = 0; j < d; ++j) out[t * d + j] = level + noise(gen);
  }
  return out;
}

template <costs::CostModel C>
void run(const char* label, std::size_t n, std::size_t d, std::size_t jump,
         std::size_t max_change_points) {
  const std::vector<double> values = piecewise(n, d, 7);
  const auto view =
      core::TimeSeriesView::from_f64(values, n, d, core::MemoryLayout::c_contiguous(), std::nullopt,
                                     core::TimeIndex::none(), core::MissingPolicy::Error)
          .value();
  core::Constraints c;
  c.min_segment_len = 5;
  c.jump = jump;
  c.max_change_points = max_change_points;
  const core::ExecutionContext ctx(c);
  const offline::Dynp<C> detector{
      offline::DynpConfig{core::Stopping::penalized(core::Penalty::bic()), 1000}, C{}};
  const auto t0 = std::chrono::steady_clock::now();
  auto r = detector.detect(view, ctx);
  const auto t1 = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
  if (!r) {
    std::printf("%-16s n=%-7zu d=%zu jump=%-3zu max_k=%-3zu error: %s\n", label, n, d, jump,
                max_change_points, r.error().display().c_str());
    return;
  }
  std::printf("%-16s n=%-7zu d=%zu jump=%-3zu max_k=%-3zu changes=%-3zu %10.2f ms  %s\n", label, n,
              d, jump, max_change_points, r->change_points.size(), ms,
              r->diagnostics.notes.back().c_str());
}

}  // namespace

int main() {
  run<costs::CostL2Mean>("l2_mean", 1000, 1, 1, 10);
  run<costs::CostL2Mean>("l2_mean", 2000, 1, 1, 10);
  run<costs::CostL2Mean>("l2_mean", 4000, 1, 1, 10);
  run<costs::CostL2Mean>("l2_mean", 4000, 1, 1, 30);
  run<costs::CostL2Mean>("l2_mean", 20000, 1, 10, 20);
  run<costs::CostL2Mean>("l2_mean", 4000, 8, 1, 10);
  run<costs::CostNormalMeanVar>("normal_mean_var", 4000, 1, 1, 10);
  return 0;
}
