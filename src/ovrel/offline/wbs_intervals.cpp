#include "ovrel/offline/wbs_intervals.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "ovrel/core/text.hpp"

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

std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
  std::size_t out = 0;
  return __builtin_add_overflow(a, b, &out) ? kMax : out;
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

// The bytes of a generation that holds at most `entries` intervals besides `held_bytes`, refused
// above the memory budget before anything is drawn.
Result<std::uint64_t> budget_interval_bytes(std::uint64_t entries, std::uint64_t held_bytes,
                                            const DrawControl& control) {
  std::uint64_t required = 0;
  if (__builtin_mul_overflow(entries, std::uint64_t{sizeof(Interval)}, &required) ||
      __builtin_add_overflow(required, held_bytes, &required)) {
    return core::resource_limit("wbs interval bytes overflow");
  }
  if (control.memory_budget_bytes && required > *control.memory_budget_bytes) {
    return core::resource_limit(core::cat(
        "constraints.memory_budget_bytes exceeded for wbs intervals: required_bytes=", required,
        ", limit_bytes=", *control.memory_budget_bytes,
        "; increase constraints.memory_budget_bytes, or reduce num_intervals"));
  }
  return required;
}

// The distinct intervals drawn so far, for a run whose result holds at most `cap` of them. Draws
// are appended unsorted; when the list reaches its threshold it is sorted and rid of duplicates
// (compacted). The threshold is at most 2 * cap, and after a compaction that leaves fewer than
// cap distinct intervals it lies above them, so the list never holds more than 2 * cap entries.
class DistinctList {
 public:
  // Allocates the whole list up front: a list the system cannot provide is refused now, not after
  // hours of draws. `required` is what the message reports.
  Status reserve(std::uint64_t cap, std::uint64_t required) {
    cap_ = static_cast<std::size_t>(cap);
    threshold_ = std::min(2 * cap_, kMinThreshold);
    try {
      items_.reserve(2 * cap_);
    } catch (const std::bad_alloc&) {
      return allocation_failed(required);
    } catch (const std::length_error&) {
      return allocation_failed(required);
    }
    return {};
  }

  // Appends one draw; true when this compacted the list (distinct() is then exact).
  bool add(Interval interval) {
    items_.push_back(interval);
    if (items_.size() < threshold_) return false;
    compact();
    return true;
  }

  void compact() {
    std::sort(items_.begin(), items_.end());
    items_.erase(std::unique(items_.begin(), items_.end()), items_.end());
    threshold_ = std::min(2 * cap_, std::max(2 * items_.size(), kMinThreshold));
  }

  // Exact after compact().
  std::size_t distinct() const noexcept { return items_.size(); }

  std::vector<Interval> take() {
    compact();
    return std::move(items_);
  }

  static std::unexpected<OvrelError> allocation_failed(std::uint64_t required) {
    return core::resource_limit(core::cat(
        "wbs interval allocation failed: required_bytes=", required, "; reduce num_intervals"));
  }

 private:
  static constexpr std::size_t kMinThreshold = 8192;

  std::vector<Interval> items_;
  std::size_t cap_ = 0;
  std::size_t threshold_ = 0;
};

// Calls the control's poll every kDrawPollEvery attempts of a whole generation.
class DrawPacer {
 public:
  explicit DrawPacer(const DrawControl& control) noexcept : control_(control) {}
  Status attempt() {
    if (++attempts_ % kDrawPollEvery != 0 || !control_.poll) [[likely]] {
      return {};
    }
    return control_.poll();
  }

 private:
  const DrawControl& control_;
  std::uint64_t attempts_ = 0;
};

// The first candidate at or after `from`, or kNone.
std::size_t first_candidate_from(std::span<const std::size_t> candidates, std::size_t from) {
  const auto it = std::lower_bound(candidates.begin(), candidates.end(), from);
  return it == candidates.end() ? kNone : *it;
}

}  // namespace

std::uint64_t count_feasible_random_intervals(std::size_t n, std::size_t m,
                                              std::span<const std::size_t> candidates,
                                              std::uint64_t stop_at) noexcept {
  const std::size_t floor = floor_len(m);
  if (n < floor || n < 2) return 0;
  // The start a has the ends c + m .. n, c the first candidate at or after a + m (then
  // b - a >= 2m holds); m <= n / 2 here, so nothing below overflows.
  std::uint64_t total = 0;
  auto it = candidates.begin();
  for (std::size_t a = 0; a <= n - floor && total < stop_at; ++a) {
    it = std::lower_bound(it, candidates.end(), a + m);
    if (it == candidates.end() || *it > n - m) break;
    if (__builtin_add_overflow(total, std::uint64_t{n - m - *it + 1}, &total)) return stop_at;
  }
  return std::min(total, stop_at);
}

std::uint64_t count_feasible_windows(std::size_t n, std::size_t len, std::size_t m,
                                     std::span<const std::size_t> candidates,
                                     std::uint64_t stop_at) noexcept {
  if (len > n || len < floor_len(m)) return 0;
  std::uint64_t total = 0;
  auto it = candidates.begin();
  for (std::size_t a = 0; a <= n - len && total < stop_at; ++a) {
    it = std::lower_bound(it, candidates.end(), a + m);
    if (it == candidates.end()) break;
    if (*it <= a + len - m) ++total;
  }
  return total;
}

Result<std::uint64_t> StableRng::gen_range(std::uint64_t upper_exclusive) noexcept {
  if (upper_exclusive == 0) {
    return core::invalid_input("StableRng.gen_range requires upper_exclusive >= 1; got 0");
  }
  return next_u64() % upper_exclusive;
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

namespace {

// The Random strategy, for a run that already holds `held_bytes` of other intervals.
Result<std::vector<Interval>> generate_random_intervals_holding(
    std::size_t n, std::size_t m, std::size_t count, std::uint64_t seed,
    std::span<const std::size_t> candidates, const DrawControl& control, std::uint64_t held_bytes) {
  const std::size_t floor = floor_len(m);
  if (count == 0 || n < floor) return std::vector<Interval>{};
  if (n < 2) return core::invalid_input("StableRng.gen_range requires upper_exclusive >= 1; got 0");
  // Once every feasible interval was drawn, later draws are duplicates: the list is final. With
  // none feasible no draw is ever kept.
  const std::uint64_t reachable = count_feasible_random_intervals(n, m, candidates, count);
  if (reachable == 0) return std::vector<Interval>{};
  // The working list holds at most twice the intervals the result can hold.
  OVREL_TRY_ASSIGN(const std::uint64_t required,
                   budget_interval_bytes(saturating_mul(2, reachable), held_bytes, control));
  DistinctList held;
  OVREL_TRY(held.reserve(reachable, required));
  DrawPacer pacer(control);
  StableRng rng(seed);
  const std::size_t attempt_limit = std::max(saturating_mul(64, count), kRandomMinAttempts);
  // Draws kept, duplicates included: they count towards the requested total.
  std::size_t kept = 0;
  for (std::size_t attempts = 0; kept < count && attempts < attempt_limit; ++attempts) {
    OVREL_TRY(pacer.attempt());
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
    if (!ok) continue;
    ++kept;
    if (held.add(interval) && held.distinct() == reachable) break;
  }
  return finish_list(held.take(), count);
}

}  // namespace

Result<std::vector<Interval>> generate_random_intervals(std::size_t n, std::size_t m,
                                                        std::size_t count, std::uint64_t seed,
                                                        std::span<const std::size_t> candidates,
                                                        const DrawControl& control) {
  return generate_random_intervals_holding(n, m, count, seed, candidates, control, 0);
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

Result<std::vector<Interval>> generate_stratified_intervals(std::size_t n, std::size_t m,
                                                            std::size_t count, std::uint64_t seed,
                                                            std::span<const std::size_t> candidates,
                                                            const DrawControl& control) {
  const std::size_t floor = floor_len(m);
  if (count == 0 || n < floor) return std::vector<Interval>{};
  const std::vector<std::size_t> lengths = dyadic_lengths(n, m);
  if (lengths.empty()) return std::vector<Interval>{};

  const std::size_t strata = lengths.size();
  const std::size_t base = count / strata;
  const std::size_t rest = count % strata;
  const auto quota_of = [&](std::size_t i) { return base + (i < rest ? 1 : 0); };
  // A stratum keeps at most min(quota, feasible windows) distinct intervals; windows of different
  // strata differ in length, so their sum bounds the list.
  std::vector<std::uint64_t> reachable(strata);
  std::uint64_t cap = 0;
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < strata; ++i) {
    reachable[i] = count_feasible_windows(n, lengths[i], m, candidates, quota_of(i));
    cap += reachable[i];  // at most count
    largest = std::max(largest, reachable[i]);
  }
  // The list of every stratum's windows, plus the working list of the current stratum (twice
  // what it can keep).
  OVREL_TRY_ASSIGN(
      const std::uint64_t required,
      budget_interval_bytes(saturating_add(cap, saturating_mul(2, largest)), 0, control));
  std::vector<Interval> out;
  try {
    out.reserve(cap);
  } catch (const std::bad_alloc&) {
    return DistinctList::allocation_failed(required);
  } catch (const std::length_error&) {
    return DistinctList::allocation_failed(required);
  }
  DrawPacer pacer(control);
  StableRng rng(seed ^ kStrataStream);
  // Draws kept, duplicates included: they count towards the quotas and the shortfall.
  std::size_t kept_total = 0;
  for (std::size_t i = 0; i < strata; ++i) {
    const std::size_t len = lengths[i];
    const std::size_t quota = quota_of(i);
    if (quota == 0) continue;
    const std::size_t bound = n - len + 1;
    const std::size_t attempt_limit = std::max(saturating_mul(64, quota), kStratumMinAttempts);
    // A list per stratum, sized to what it can keep: it compacts soon enough to see the stratum
    // fill up long before its quota.
    DistinctList held;
    OVREL_TRY(held.reserve(reachable[i], required));
    // Whether every start is feasible, so that every attempt keeps its window.
    const bool every_start_feasible =
        reachable[i] < quota && count_feasible_windows(n, len, m, candidates, bound) == bound;
    std::size_t accepted = 0;
    std::size_t attempts = 0;
    bool saturated = reachable[i] == 0;
    // With no feasible window the stratum spends its whole attempt limit, one value each.
    if (saturated) {
      rng.discard(attempt_limit);
      attempts = attempt_limit;
    }
    while (!saturated) {
      ++attempts;
      OVREL_TRY(pacer.attempt());
      OVREL_TRY_ASSIGN(const std::uint64_t start, rng.gen_range(bound));
      std::size_t end = 0;
      if (!__builtin_add_overflow(start, len, &end) && len >= floor) {
        const Interval interval{start, end};
        OVREL_TRY_ASSIGN(const bool ok, feasible(interval, candidates, m));
        if (ok) {
          ++accepted;
          if (held.add(interval) && held.distinct() == reachable[i]) saturated = true;
        }
      }
      if (accepted >= quota || attempts >= attempt_limit) break;
    }
    // Every feasible window of this stratum is held: the remaining attempts only move the
    // generator (for the strata after it) and count kept draws (for the shortfall).
    if (saturated && accepted < quota && attempts < attempt_limit) {
      if (every_start_feasible) {
        const std::size_t skipped = std::min(quota - accepted, attempt_limit - attempts);
        rng.discard(skipped);
        accepted += skipped;
      } else {
        do {
          ++attempts;
          OVREL_TRY(pacer.attempt());
          OVREL_TRY_ASSIGN(const std::uint64_t start, rng.gen_range(bound));
          const std::size_t first = first_candidate_from(candidates, start + m);
          if (first != kNone && first <= start + len - m) ++accepted;
        } while (accepted < quota && attempts < attempt_limit);
      }
    }
    kept_total += accepted;
    const std::vector<Interval> kept = held.take();
    out.insert(out.end(), kept.begin(), kept.end());
  }
  if (kept_total < count) {
    OVREL_TRY_ASSIGN(auto extra, generate_random_intervals_holding(
                                     n, m, count - kept_total, seed ^ kShortfallStream, candidates,
                                     control, out.capacity() * sizeof(Interval)));
    out.insert(out.end(), extra.begin(), extra.end());
  }
  return finish_list(std::move(out), count);
}

Result<std::vector<Interval>> generate_intervals(WbsIntervalStrategy strategy, std::size_t count,
                                                 std::uint64_t seed, std::size_t n, std::size_t m,
                                                 std::span<const std::size_t> candidates,
                                                 const DrawControl& control) {
  switch (strategy) {
    case WbsIntervalStrategy::DeterministicGrid:
      return generate_grid_intervals(n, m, count, candidates);
    case WbsIntervalStrategy::Stratified:
      return generate_stratified_intervals(n, m, count, seed, candidates, control);
    case WbsIntervalStrategy::Random:
      break;
  }
  return generate_random_intervals(n, m, count, seed, candidates, control);
}

}  // namespace wbs
}  // namespace ovrel::offline
