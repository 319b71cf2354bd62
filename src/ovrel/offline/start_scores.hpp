#pragma once

// The per-target passes of the optimal-partitioning kernels over the live starts, in vector lanes:
// the selection (each start's best objective added to its segment cost, the best start found and
// every candidate checked finite in one pass) and the scan for the starts the pruning pass
// examines.

#include <cstddef>

namespace ovrel::offline::detail {

struct StartScores {
  double objective;   // the smallest s0 + beta (+inf when count is 0)
  std::size_t index;  // its first position, SIZE_MAX when count is 0
  bool all_finite;    // every s0 + beta is finite; objective and index are meaningless otherwise
};

// For k in [0, count): scored[k] (a segment cost) becomes s0 = scored[k] + F[active[k]]. Returns
// the first k with the smallest s0 + beta, the scalar loop's choice (`cand < best`, so the earlier
// start wins a tie). `active` ascends.
StartScores add_start_scores(double* scored, const double* F, const std::size_t* active,
                             std::size_t count, double beta) noexcept;

// The first k in [from, len) whose score without penalty reaches ft (scored[k] >= ft; NaN never
// does), len when there is none.
std::size_t first_score_reaching(const double* scored, std::size_t from, std::size_t len,
                                 double ft) noexcept;

}  // namespace ovrel::offline::detail
