#pragma once

// What one optimal-partitioning run returns (PELT and FPOP share the record).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovrel::offline {

struct KernelResult {
  std::vector<std::size_t> breakpoints;  // ascending, ends with n
  std::size_t change_count = 0;          // breakpoints.size() - 1
  double objective = 0.0;                // F[n]: segment costs plus beta * change_count
  // Candidates scored by this run (cost evaluated or, in a penalty path, taken from the memo). One
  // counter with two texts: notes and overflow errors call it "run_cost_evals" for a penalised
  // run and "run_candidates_scored" for a penalty-path entry.
  std::uint64_t run_cost_evals = 0;
  std::uint64_t run_candidates_considered = 0;
  std::uint64_t run_candidates_pruned = 0;

  friend bool operator==(const KernelResult&, const KernelResult&) = default;
};

struct KnownKSearchResult {
  KernelResult result;  // the probe with exactly k changes
  double selected_beta = 0.0;
  std::uint64_t search_iterations = 0;  // probes run, the accepted one included
};

}  // namespace ovrel::offline
