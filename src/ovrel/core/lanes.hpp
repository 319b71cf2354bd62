#pragma once

// Explicit vector lanes for the hot loops of the cost models and the dynamic programmes. Each lane
// performs the same IEEE operations, in the same order, as the scalar code it replaces, so results
// keep their bits; only independent candidates share a vector.
//
// OVREL_MULTIVERSION compiles a function once per x86-64 level (AVX-512, AVX2, the baseline) and
// selects one when the library loads, so a package built anywhere runs on any x86-64 and uses the
// widest unit present. Elsewhere it expands to nothing and the lanes map to the target's own
// vectors (or to scalars).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

// The clones are chosen through an indirect function, which glibc's loader resolves; other
// targets and C libraries get the single baseline version.
#if defined(__x86_64__) && defined(__gnu_linux__) && defined(__GNUC__) && !defined(__clang__)
#define OVREL_MULTIVERSION __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define OVREL_MULTIVERSION
#endif

namespace ovrel::core {

inline constexpr std::size_t kLanes = 4;
using LaneF64 = double __attribute__((vector_size(32)));
using LaneI64 = std::int64_t __attribute__((vector_size(32)));

// The helpers below are always inlined, so no vector ever crosses a call: the ABI note GCC gives
// for 32-byte vectors in baseline code does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
[[gnu::always_inline]] inline LaneF64 load_lanes(const double* p) noexcept {
  LaneF64 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void store_lanes(double* p, const LaneF64& v) noexcept {
  std::memcpy(p, &v, sizeof v);
}
[[gnu::always_inline]] inline LaneF64 splat(double x) noexcept { return LaneF64{x, x, x, x}; }
#pragma GCC diagnostic pop

// The choice among the candidate objectives of a run of starts: the smallest (the first among
// equals, as a scalar loop with `cand < best` picks it) and whether every one was finite.
struct RunMinimum {
  double objective = std::numeric_limits<double>::infinity();
  std::size_t index = SIZE_MAX;  // into the run; SIZE_MAX when no candidate is below +inf
  bool all_finite = true;        // objective and index mean nothing when false
  // No score of the run is above it (the candidates less their common penalty).
  double max_score = -std::numeric_limits<double>::infinity();

  // Folds in the smallest, largest and finiteness of other candidates (before first_at).
  void merge(const RunMinimum& other) noexcept {
    all_finite = all_finite && other.all_finite;
    max_score = other.max_score > max_score ? other.max_score : max_score;
    objective = other.objective < objective ? other.objective : objective;
  }
};

// The end of the run of consecutive values that begins at position k of the strictly ascending
// list `v` of length `count`: the first r > k with v[r] != v[k] + (r - k), or count. A gap once
// passed stays (v[j] - v[k] - (j - k) never falls), so the end is found by bisection after a
// check of the whole rest, which between changes is usually one run.
inline std::size_t consecutive_run_end(const std::size_t* v, std::size_t k,
                                       std::size_t count) noexcept {
  if (v[count - 1] - v[k] == count - 1 - k) return count;
  std::size_t lo = k + 1;      // positions below lo are in the run
  std::size_t hi = count - 1;  // the one at hi is not
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (v[mid] - v[k] == mid - k) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// RunMinimum over lanes, in two steps: while the candidates are made, each lane keeps its
// smallest candidate, its largest score and the sum of its candidates (finite exactly when every
// candidate was, unless the sum itself overflows, which only sends the caller to its exact
// scalar path); then `first_at` finds the first start whose candidate equals the smallest. A run's
// best start is usually among its first (the start of the current segment), so the second step
// rarely reads far.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
struct FirstMinLanes {
  LaneF64 best = splat(std::numeric_limits<double>::infinity());
  LaneF64 sum = splat(0.0);
  LaneF64 max_score = splat(-std::numeric_limits<double>::infinity());

  // score is the candidate less the penalty (cand = score + beta).
  [[gnu::always_inline]] void add(const LaneF64& score, const LaneF64& cand) noexcept {
    max_score = score > max_score ? score : max_score;
    sum += cand;
    best = cand < best ? cand : best;
  }
  // The lanes folded; index is left for first_at.
  [[gnu::always_inline]] RunMinimum finish() const noexcept {
    RunMinimum out;
    double total = 0.0;
    for (std::size_t l = 0; l < kLanes; ++l) {
      total += sum[l];
      out.max_score = max_score[l] > out.max_score ? max_score[l] : out.max_score;
      out.objective = best[l] < out.objective ? best[l] : out.objective;
    }
    out.all_finite = total - total == 0.0;
    return out;
  }
};
#pragma GCC diagnostic pop

// The first k in [0, count) with scores[k] + beta == r.objective, set as r.index with that
// candidate as r.objective (the same value, but with the sign of the first among equal zeros);
// r.index stays SIZE_MAX when the smallest is +inf. Call once every candidate is in r.
[[gnu::always_inline]] inline void first_at(RunMinimum& r, const double* scores, std::size_t count,
                                            double beta) noexcept {
  if (!r.all_finite || !(r.objective < std::numeric_limits<double>::infinity())) return;
  std::size_t k = 0;
  // Sixteen starts a test until the block that holds it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
  const LaneF64 b = splat(beta);
  const LaneF64 target = splat(r.objective);
  for (; k + 4 * kLanes <= count; k += 4 * kLanes) {
    const double* p = scores + k;
    const LaneI64 hit = ((load_lanes(p) + b == target) | (load_lanes(p + 4) + b == target)) |
                        ((load_lanes(p + 8) + b == target) | (load_lanes(p + 12) + b == target));
    if ((hit[0] | hit[1] | hit[2] | hit[3]) != 0) break;
  }
#pragma GCC diagnostic pop
  for (; k < count; ++k) {
    const double cand = scores[k] + beta;
    if (cand == r.objective) {
      r.objective = cand;
      r.index = k;
      return;
    }
  }
}

// One scalar candidate folded in after the lanes (before first_at).
[[gnu::always_inline]] inline void add_candidate(RunMinimum& r, double score,
                                                 double cand) noexcept {
  r.max_score = score > r.max_score ? score : r.max_score;
  r.all_finite = r.all_finite && cand - cand == 0.0;
  r.objective = cand < r.objective ? cand : r.objective;
}

// Scores of starts whose segment costs are already in o[0, len): o[i] += f[i], each score a
// candidate (score + beta), whole vectors into `lanes` and the tail into `rest`, in order.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
[[gnu::always_inline]] inline void add_objectives(double* o, const double* f, std::size_t len,
                                                  double beta, FirstMinLanes& lanes,
                                                  RunMinimum& rest) noexcept {
  const LaneF64 b = splat(beta);
  std::size_t i = 0;
  for (; i + kLanes <= len; i += kLanes) {
    const LaneF64 s0 = load_lanes(o + i) + load_lanes(f + i);
    store_lanes(o + i, s0);
    lanes.add(s0, s0 + b);
  }
  for (; i < len; ++i) {
    const double s0 = o[i] + f[i];
    o[i] = s0;
    add_candidate(rest, s0, s0 + beta);
  }
}
#pragma GCC diagnostic pop

}  // namespace ovrel::core
