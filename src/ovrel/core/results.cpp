#include "ovrel/core/results.hpp"

#include <algorithm>

#include "ovrel/core/text.hpp"

namespace ovrel::core {

Status validate_breakpoints(std::size_t n, std::span<const std::size_t> breakpoints) {
  if (n == 0) {
    if (breakpoints.empty()) return {};
    return invalid_input(
        cat("breakpoints must be empty when n=0; got breakpoints=", list_text(breakpoints)));
  }
  if (breakpoints.empty()) {
    return invalid_input(
        cat("breakpoints must be non-empty and include n=", n, " as the final element"));
  }
  for (std::size_t i = 0; i < breakpoints.size(); ++i) {
    const std::size_t b = breakpoints[i];
    if (b == 0) return invalid_input(cat("breakpoints[", i, "] must be > 0; got 0"));
    if (b > n) {
      return invalid_input(cat("breakpoints[", i, "] must be <= n; got breakpoint=", b, ", n=", n));
    }
    if (i >= 1 && b <= breakpoints[i - 1]) {
      return invalid_input(cat("breakpoints must be strictly increasing and unique: breakpoints[",
                               i, "]=", b, ", previous=", breakpoints[i - 1]));
    }
  }
  if (breakpoints.back() != n) {
    return invalid_input(cat(
        "breakpoints must include n as the final element: last=", breakpoints.back(), ", n=", n));
  }
  return {};
}

std::vector<std::pair<std::size_t, std::size_t>> segments_from_breakpoints(
    std::size_t n, std::span<const std::size_t> breakpoints) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  if (n == 0) return out;
  out.reserve(breakpoints.size());
  std::size_t prev = 0;
  for (std::size_t b : breakpoints) {
    out.emplace_back(prev, b);
    prev = b;
  }
  return out;
}

namespace {
std::vector<std::size_t> change_points_of(std::size_t n, std::span<const std::size_t> breakpoints) {
  std::vector<std::size_t> out;
  out.reserve(breakpoints.size());
  for (std::size_t b : breakpoints) {
    if (b < n) out.push_back(b);
  }
  return out;
}
}  // namespace

Result<OfflineChangePointResult> OfflineChangePointResult::create(
    std::size_t n, std::vector<std::size_t> breakpoints, Diagnostics diagnostics) {
  OVREL_TRY(validate_breakpoints(n, breakpoints));
  OfflineChangePointResult result;
  result.change_points = change_points_of(n, breakpoints);
  result.breakpoints = std::move(breakpoints);
  result.diagnostics = std::move(diagnostics);
  return result;
}

Status OfflineChangePointResult::validate(std::size_t n) const {
  OVREL_TRY(validate_breakpoints(n, breakpoints));
  const std::vector<std::size_t> expected = change_points_of(n, breakpoints);
  if (expected != change_points) {
    return invalid_input(cat("change_points must equal breakpoints excluding n; got change_points=",
                             list_text(change_points), ", expected=", list_text(expected)));
  }
  if (scores && scores->size() != change_points.size()) {
    return invalid_input(cat("scores length must equal change_points length; got scores=",
                             scores->size(), ", change_points=", change_points.size()));
  }
  if (!segments) return {};
  if (segments->size() != breakpoints.size()) {
    return invalid_input(cat("segments length must equal breakpoints length; got segments=",
                             segments->size(), ", breakpoints=", breakpoints.size()));
  }
  const auto bounds = segments_from_breakpoints(n, breakpoints);
  const std::uint64_t d = diagnostics.d;
  for (std::size_t i = 0; i < segments->size(); ++i) {
    const SegmentStats& s = (*segments)[i];
    const auto [es, ee] = bounds[i];
    if (s.end < s.start) {
      return invalid_input(
          cat("segments[", i, "] has end < start: start=", s.start, ", end=", s.end));
    }
    const std::size_t len = s.end - s.start;
    if (s.count != len) {
      return invalid_input(cat("segments[", i, "] count mismatch: count=", s.count,
                               ", expected=", len, " from [start=", s.start, ", end=", s.end, ")"));
    }
    if (s.missing_count > s.count) {
      return invalid_input(cat(
          "segments[", i, "] missing_count must be <= count; got missing_count=", s.missing_count,
          ", count=", s.count));
    }
    if (s.start != es || s.end != ee) {
      return invalid_input(cat("segments[", i, "] boundaries mismatch: got [start=", s.start,
                               ", end=", s.end, "), expected [start=", es, ", end=", ee, ")"));
    }
    if (d != 0) {
      if (s.mean && s.mean->size() != d) {
        return invalid_input(cat(
            "segments[", i, "].mean length must equal diagnostics.d; got mean_len=", s.mean->size(),
            ", diagnostics.d=", d));
      }
      if (s.variance && s.variance->size() != d) {
        return invalid_input(cat("segments[", i,
                                 "].variance length must equal diagnostics.d; got variance_len=",
                                 s.variance->size(), ", diagnostics.d=", d));
      }
    }
  }
  return {};
}

}  // namespace ovrel::core
