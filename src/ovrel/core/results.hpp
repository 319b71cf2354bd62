#pragma once

// The answer of every offline detector and the per-segment statistics it may carry. Segments are
// half-open [start, end); breakpoints are strictly increasing and end with n.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/error.hpp"

namespace ovrel::core {

struct SegmentStats {
  std::size_t start = 0;
  std::size_t end = 0;
  std::optional<std::vector<double>> mean;
  std::optional<std::vector<double>> variance;
  std::size_t count = 0;
  std::size_t missing_count = 0;

  friend bool operator==(const SegmentStats&, const SegmentStats&) = default;
};

struct OfflineChangePointResult {
  std::vector<std::size_t> breakpoints;
  std::vector<std::size_t> change_points;
  std::optional<std::vector<double>> scores;
  std::optional<std::vector<SegmentStats>> segments;
  Diagnostics diagnostics;

  // Checks the breakpoints against n and derives the change points; scores and segments absent.
  static Result<OfflineChangePointResult> create(std::size_t n,
                                                 std::vector<std::size_t> breakpoints,
                                                 Diagnostics diagnostics);

  // Checks a result that came from outside as a whole (breakpoints, change points, lengths of
  // scores and segments, segment bounds). Values themselves are not looked at.
  Status validate(std::size_t n) const;

  friend bool operator==(const OfflineChangePointResult&,
                         const OfflineChangePointResult&) = default;
};

Status validate_breakpoints(std::size_t n, std::span<const std::size_t> breakpoints);

// (start, end) of every segment; checks nothing, so pass validated breakpoints.
std::vector<std::pair<std::size_t, std::size_t>> segments_from_breakpoints(
    std::size_t n, std::span<const std::size_t> breakpoints);

}  // namespace ovrel::core
