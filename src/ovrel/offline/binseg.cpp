#include "ovrel/offline/binseg.hpp"

#include <algorithm>

#include "ovrel/core/text.hpp"

namespace ovrel::offline {

Status BinSegConfig::validate() const { return core::validate_stopping(stopping); }

namespace binseg {

std::optional<std::pair<std::size_t, std::size_t>> candidate_window(
    std::span<const std::size_t> candidates, std::size_t lo, std::size_t hi) {
  if (lo > hi || candidates.empty()) return std::nullopt;
  const auto first = static_cast<std::size_t>(
      std::lower_bound(candidates.begin(), candidates.end(), lo) - candidates.begin());
  const auto end = static_cast<std::size_t>(
      std::upper_bound(candidates.begin(), candidates.end(), hi) - candidates.begin());
  if (first >= end) return std::nullopt;
  return std::pair{first, end};
}

Status insert_split_once(std::vector<std::size_t>& splits, std::size_t split,
                         std::string_view detector) {
  const auto at = std::lower_bound(splits.begin(), splits.end(), split);
  if (at != splits.end() && *at == split) {
    return core::invalid_input(core::cat("duplicate split selected at ", split, "; internal ",
                                         detector, " state is inconsistent"));
  }
  splits.insert(at, split);
  return {};
}

std::vector<std::size_t> build_result_breakpoints(std::size_t n, std::vector<std::size_t> splits) {
  splits.push_back(n);
  return splits;
}

Status refuse_series_below_minimum(std::string_view detector, std::size_t min_segment_len,
                                   std::size_t n) {
  if (min_segment_len <= n) return {};
  return core::invalid_input(core::cat(detector,
                                       " found no feasible segmentation under current constraints: "
                                       "min_segment_len=",
                                       min_segment_len, " exceeds n=", n));
}

std::optional<std::size_t> pick_best_frontier_index(std::span<const FrontierItem> items) {
  if (items.empty()) return std::nullopt;
  std::size_t best = 0;
  for (std::size_t i = 1; i < items.size(); ++i) {
    const FrontierItem& it = items[i];
    const FrontierItem& b = items[best];
    if (it.gain > b.gain || (it.gain == b.gain && it.split < b.split) ||
        (it.gain == b.gain && it.split == b.split && it.start < b.start)) {
      best = i;
    }
  }
  return best;
}

}  // namespace binseg
}  // namespace ovrel::offline
