#include "ovrel/offline/start_scores.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

#include "ovrel/core/lanes.hpp"

// Lane helpers are inlined: no vector crosses a call, so GCC's ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace ovrel::offline::detail {

namespace {

using core::kLanes;
using core::LaneF64;
using core::LaneI64;

// One candidate of the scalar tail: the same operations as a lane.
[[gnu::always_inline]] inline void score_one(double* scored, double f, double beta, std::size_t k,
                                             double& best, std::size_t& best_k, bool& finite) {
  const double s0 = scored[k] + f;
  const double cand = s0 + beta;
  scored[k] = s0;
  finite &= cand - cand == 0.0;
  if (cand < best) {
    best = cand;
    best_k = k;
  }
}

}  // namespace

OVREL_MULTIVERSION
StartScores add_start_scores(double* scored, const double* F, const std::size_t* active,
                             std::size_t count, double beta) noexcept {
  double best = std::numeric_limits<double>::infinity();
  std::size_t best_k = SIZE_MAX;
  bool finite = true;
  if (count == 0) return {best, best_k, finite};
  const std::size_t whole = count - count % kLanes;
  // Between changes the live starts are consecutive: their F entries are then read as a block.
  const bool consecutive = active[count - 1] - active[0] == count - 1;
  const double* f_run = F + active[0];
  if (whole > 0) {
    // Each lane keeps its own first strict minimum; finite lanes give x - x == 0.
    LaneF64 lane_best = core::splat(std::numeric_limits<double>::infinity());
    LaneI64 lane_k = {-1, -1, -1, -1};
    LaneI64 lane_finite = {-1, -1, -1, -1};
    LaneI64 ks = {0, 1, 2, 3};
    const LaneF64 b = core::splat(beta);
    for (std::size_t k = 0; k < whole; k += kLanes, ks += 4) {
      const LaneF64 f =
          consecutive ? core::load_lanes(f_run + k)
                      : LaneF64{F[active[k]], F[active[k + 1]], F[active[k + 2]], F[active[k + 3]]};
      const LaneF64 s0 = core::load_lanes(scored + k) + f;
      const LaneF64 cand = s0 + b;
      core::store_lanes(scored + k, s0);
      lane_finite &= cand - cand == 0.0;
      const LaneI64 better = cand < lane_best;
      lane_best = better ? cand : lane_best;
      lane_k = better ? ks : lane_k;
    }
    // The smallest lane value, the lowest position among equals: the first minimum overall.
    for (std::size_t l = 0; l < kLanes; ++l) {
      finite &= lane_finite[l] != 0;
      const auto k = static_cast<std::size_t>(lane_k[l]);
      if (lane_best[l] < best || (lane_best[l] == best && k < best_k)) {
        best = lane_best[l];
        best_k = k;
      }
    }
  }
  for (std::size_t k = whole; k < count; ++k) {
    score_one(scored, consecutive ? f_run[k] : F[active[k]], beta, k, best, best_k, finite);
  }
  return {best, best_k, finite};
}

OVREL_MULTIVERSION
std::size_t first_score_reaching(const double* scored, std::size_t from, std::size_t len,
                                 double ft) noexcept {
  std::size_t k = from;
  const LaneF64 limit = core::splat(ft);
  // Most scores stay below ft: eight vectors are tested together, one branch for 32 starts.
  constexpr std::size_t kBlock = 8 * kLanes;
  for (; k + kBlock <= len; k += kBlock) {
    const double* p = scored + k;
    const LaneI64 hit =
        ((core::load_lanes(p) >= limit) | (core::load_lanes(p + 4) >= limit)) |
        ((core::load_lanes(p + 8) >= limit) | (core::load_lanes(p + 12) >= limit)) |
        ((core::load_lanes(p + 16) >= limit) | (core::load_lanes(p + 20) >= limit)) |
        ((core::load_lanes(p + 24) >= limit) | (core::load_lanes(p + 28) >= limit));
    if ((hit[0] | hit[1] | hit[2] | hit[3]) != 0) break;
  }
  for (; k < len; ++k) {
    if (scored[k] >= ft) return k;
  }
  return len;
}

}  // namespace ovrel::offline::detail
