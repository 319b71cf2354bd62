#include "ovrel/offline/wbs_intervals.hpp"

#include <algorithm>
#include <limits>

namespace ovrel::offline {

const char* debug_text(WbsIntervalStrategy strategy) noexcept {
  switch (strategy) {
    case WbsIntervalStrategy::Random:
      return "Random";
    case WbsIntervalStrategy::DeterministicGrid:
      return "DeterministicGrid";
    case WbsIntervalStrategy::Stratified:
      return "Stratified";
  }
  return "Random";
}

namespace wbs {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
  std::size_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? kMax : out;
}

std::size_t floor_len(std::size_t m) noexcept { return saturating_mul(2, m); }

Result<bool> feasible(Interval interval, std::span<const std::size_t> candidates, std::size_t m) {
  OVREL_TRY_ASSIGN(auto window, split_window_for_interval(interval, candidates, m));
  return window.has_value();
}

// Sorts, removes duplicates and thins to the target count.
std::vector<Interval> finish_list(std::vector<Interval> items, std::size_t count) {
  std::sort(items.begin(), items.end());
  items.erase(std::unique(items.begin(), items.end()), items.end());
  if (items.size() <= count) return items;
  return downsample_evenly(items, count);
}

}  // namespace

Result<std::uint64_t> StableRng::gen_range(std::uint64_t upper_exclusive) noexcept {
  if (upper_exclusive == 0) {
    return core::invalid_input("StableRng.gen_range requires upper_exclusive >= 1; got 0");
  }
  return next_u64() % upper_exclusive;
}

std::size_t initial_interval_capacity(std::size_t count) noexcept {
  return std::min(count, kRandomMinAttempts);
}

std::vector<std::size_t> dyadic_lengths(std::size_t n, std::size_t m) {
  const std::size_t floor = floor_len(m);
  std::vector<std::size_t> out;
  if (n < floor) return out;
  std::size_t len = n;
  for (;;) {
    out.push_back(len);
    if (len == floor) break;
    const std::size_t next = std::max(len / 2, floor);
    if (next == len) break;
    len = next;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::vector<Interval> downsample_evenly(std::span<const Interval> items, std::size_t target) {
  if (items.empty()) return {};
  if (items.size() <= target) return {items.begin(), items.end()};
  if (target == 1) return {items[items.size() / 2]};
  if (target == 0) return {};
  const std::size_t len = items.size();
  std::vector<char> used(len, 0);
  std::vector<Interval> out;
  out.reserve(target);
  for (std::size_t i = 0; i < target; ++i) {
    const std::size_t idx = saturating_mul(i, len - 1) / (target - 1);
    std::size_t pick = kNone;
    for (std::size_t j = std::min(idx, len); j < len; ++j) {
      if (!used[j]) {
        pick = j;
        break;
      }
    }
    if (pick == kNone) {
      for (std::size_t j = std::min(idx, len); j-- > 0;) {
        if (!used[j]) {
          pick = j;
          break;
        }
      }
    }
    if (pick == kNone) break;  // unreachable: target < len leaves a free index
    used[pick] = 1;
    out.push_back(items[pick]);
  }
  std::sort(out.begin(), out.end());
  return out;
}

Result<std::optional<std::pair<std::size_t, std::size_t>>> split_window_for_interval(
    Interval interval, std::span<const std::size_t> candidates, std::size_t m) {
  using Window = std::optional<std::pair<std::size_t, std::size_t>>;
  if (interval.end <= interval.start) return Window{};
  std::size_t lo = 0;
  if (__builtin_add_overflow(interval.start, m, &lo)) {
    return core::resource_limit("interval lower bound overflow");
  }
  const std::size_t hi = interval.end > m ? interval.end - m : 0;
  if (lo > hi || candidates.empty()) return Window{};
  const auto first = static_cast<std::size_t>(
      std::lower_bound(candidates.begin(), candidates.end(), lo) - candidates.begin());
  const auto last = static_cast<std::size_t>(
      std::upper_bound(candidates.begin(), candidates.end(), hi) - candidates.begin());
  if (first >= last) return Window{};
  return Window{std::pair{first, last}};
}

Result<std::vector<Interval>> generate_random_intervals(std::size_t n, std::size_t m,
                                                        std::size_t count, std::uint64_t seed,
                                                        std::span<const std::size_t> candidates) {
  const std::size_t floor = floor_len(m);
  if (count == 0 || n < floor) return std::vector<Interval>{};
  if (n < 2) return core::invalid_input("StableRng.gen_range requires upper_exclusive >= 1; got 0");
  StableRng rng(seed);
  const std::size_t attempt_limit = std::max(saturating_mul(64, count), kRandomMinAttempts);
  std::vector<Interval> held;
  held.reserve(initial_interval_capacity(count));
  for (std::size_t attempts = 0; held.size() < count && attempts < attempt_limit; ++attempts) {
    OVREL_TRY_ASSIGN(const std::uint64_t start, rng.gen_range(n - 1));
    const std::size_t room = n - start;
    if (room < floor) continue;
    std::size_t span = 0;
    if (__builtin_add_overflow(room - floor, std::size_t{1}, &span)) {
      return core::resource_limit("random interval length range overflow");
    }
    OVREL_TRY_ASSIGN(const std::uint64_t extra, rng.gen_range(span));
    std::size_t length = 0;
    if (__builtin_add_overflow(floor, extra, &length)) {
      return core::resource_limit("random interval length overflow");
    }
    std::size_t end = 0;
    if (__builtin_add_overflow(start, length, &end)) {
      return core::resource_limit("random interval end overflow");
    }
    const Interval interval{start, end};
    OVREL_TRY_ASSIGN(const bool ok, feasible(interval, candidates, m));
    if (ok) held.push_back(interval);
  }
  return finish_list(std::move(held), count);
}

namespace {

// Walks the grid windows of every dyadic length in enumeration order, calling visit(window) for
// each feasible one; visit returns a Status.
template <class Visit>
Status walk_grid(std::size_t n, std::size_t m, std::span<const std::size_t> lengths,
                 std::span<const std::size_t> candidates, Visit&& visit) {
  for (const std::size_t len : lengths) {
    const std::size_t stride = std::max<std::size_t>(len / 2, 1);
    const std::size_t last_start = n - len;
    for (std::size_t start = 0;; start += stride) {
      const Interval window{start, start + len};
      OVREL_TRY_ASSIGN(const bool ok, feasible(window, candidates, m));
      if (ok) OVREL_TRY(visit(window));
      // The next start would pass n - len (or wrap): this length is done.
      if (last_start - start < stride) break;
    }
    if (len < n && (n - len) % stride != 0) {
      const Interval window{n - len, n};
      OVREL_TRY_ASSIGN(const bool ok, feasible(window, candidates, m));
      if (ok) OVREL_TRY(visit(window));
    }
  }
  return {};
}

}  // namespace

Result<std::vector<Interval>> generate_grid_intervals(std::size_t n, std::size_t m,
                                                      std::size_t count,
                                                      std::span<const std::size_t> candidates) {
  const std::size_t floor = floor_len(m);
  if (count == 0 || n < floor) return std::vector<Interval>{};
  const std::vector<std::size_t> lengths = dyadic_lengths(n, m);
  if (lengths.empty()) return std::vector<Interval>{};

  std::uint64_t feasible_count = 0;
  OVREL_TRY(walk_grid(n, m, lengths, candidates, [&](Interval) -> Status {
    if (__builtin_add_overflow(feasible_count, std::uint64_t{1}, &feasible_count)) {
      return core::resource_limit("deterministic interval overflow");
    }
    return {};
  }));

  std::vector<Interval> out;
  if (feasible_count == 0) return out;
  // Never more than min(F, count) windows are held.
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(feasible_count, count)));
  if (feasible_count <= count) {
    OVREL_TRY(walk_grid(n, m, lengths, candidates, [&](Interval w) -> Status {
      out.push_back(w);
      return {};
    }));
    return out;
  }
  // Keeps window t when floor((t + 1) * count / F) > floor(t * count / F): exactly `count`
  // windows, spread evenly over the enumeration.
  __extension__ typedef unsigned __int128 u128;
  const auto quotient = [&](std::uint64_t t) -> std::uint64_t {
    const u128 q = static_cast<u128>(t) * count / feasible_count;
    return q > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(q);
  };
  std::uint64_t position = 0;
  OVREL_TRY(walk_grid(n, m, lengths, candidates, [&](Interval w) -> Status {
    std::uint64_t next = 0;
    if (__builtin_add_overflow(position, std::uint64_t{1}, &next)) {
      return core::resource_limit("deterministic interval overflow");
    }
    if (quotient(next) > quotient(position)) out.push_back(w);
    position = next;
    return {};
  }));
  return out;
}

Result<std::vector<Interval>> generate_stratified_intervals(
    std::size_t n, std::size_t m, std::size_t count, std::uint64_t seed,
    std::span<const std::size_t> candidates) {
  const std::size_t floor = floor_len(m);
  if (count == 0 || n < floor) return std::vector<Interval>{};
  const std::vector<std::size_t> lengths = dyadic_lengths(n, m);
  if (lengths.empty()) return std::vector<Interval>{};

  const std::size_t strata = lengths.size();
  const std::size_t base = count / strata;
  const std::size_t rest = count % strata;
  StableRng rng(seed ^ kStrataStream);
  std::vector<Interval> out;
  out.reserve(initial_interval_capacity(count));
  for (std::size_t i = 0; i < strata; ++i) {
    const std::size_t len = lengths[i];
    const std::size_t quota = base + (i < rest ? 1 : 0);
    if (quota == 0) continue;
    const std::size_t bound = n - len + 1;
    const std::size_t attempt_limit = std::max(saturating_mul(64, quota), kStratumMinAttempts);
    std::size_t accepted = 0;
    std::size_t attempts = 0;
    do {
      ++attempts;
      OVREL_TRY_ASSIGN(const std::uint64_t start, rng.gen_range(bound));
      std::size_t end = 0;
      if (__builtin_add_overflow(start, len, &end) || len < floor) continue;
      const Interval interval{start, end};
      OVREL_TRY_ASSIGN(const bool ok, feasible(interval, candidates, m));
      if (ok) {
        out.push_back(interval);
        ++accepted;
      }
    } while (accepted < quota && attempts < attempt_limit);
  }
  if (out.size() < count) {
    OVREL_TRY_ASSIGN(auto extra, generate_random_intervals(n, m, count - out.size(),
                                                           seed ^ kShortfallStream, candidates));
    out.insert(out.end(), extra.begin(), extra.end());
  }
  return finish_list(std::move(out), count);
}

Result<std::vector<Interval>> generate_intervals(WbsIntervalStrategy strategy, std::size_t count,
                                                 std::uint64_t seed, std::size_t n, std::size_t m,
                                                 std::span<const std::size_t> candidates) {
  switch (strategy) {
    case WbsIntervalStrategy::DeterministicGrid:
      return generate_grid_intervals(n, m, count, candidates);
    case WbsIntervalStrategy::Stratified:
      return generate_stratified_intervals(n, m, count, seed, candidates);
    case WbsIntervalStrategy::Random:
      break;
  }
  return generate_random_intervals(n, m, count, seed, candidates);
}

}  // namespace wbs
}  // namespace ovrel::offline
