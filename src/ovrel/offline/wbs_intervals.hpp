#pragma once

// The interval lists of wild binary segmentation. Everything here is deterministic for a given
// seed, n, minimum segment length and candidate list, on every platform: the generator, the
// reduction of its values to a range (a plain remainder) and the 128-bit thinning of the grid are
// part of the behaviour, since a stored seed must reproduce the same segmentation.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ovrel/core/error.hpp"

namespace ovrel::offline {

// How WBS draws its intervals. The numeric values are part of the wire form.
enum class WbsIntervalStrategy : std::uint8_t {
  Random = 0,
  DeterministicGrid = 1,
  Stratified = 2,
};

// "Random", "DeterministicGrid", "Stratified".
const char* debug_text(WbsIntervalStrategy strategy) noexcept;

namespace wbs {

// A half-open interval [start, end) of sample positions, ordered by start, then end.
struct Interval {
  std::size_t start = 0;
  std::size_t end = 0;
  friend auto operator<=>(const Interval&, const Interval&) = default;
};

// SplitMix64. The whole state is one word; all arithmetic wraps modulo 2^64.
class StableRng {
 public:
  static constexpr std::uint64_t kIncrement = 0x9e3779b97f4a7c15ULL;

  explicit StableRng(std::uint64_t seed) noexcept : state_(seed + kIncrement) {}

  std::uint64_t next_u64() noexcept {
    state_ += kIncrement;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  // The next value modulo upper_exclusive. The modulo bias is kept on purpose: rejection would
  // consume a varying number of values and change every later interval of a seed.
  Result<std::uint64_t> gen_range(std::uint64_t upper_exclusive) noexcept;

  // Skips k values: the state after k calls of next_u64, in one step.
  void discard(std::uint64_t k) noexcept { state_ += k * kIncrement; }

 private:
  std::uint64_t state_;
};

// Stream constants of the Stratified strategy, combined with the seed by exclusive or.
inline constexpr std::uint64_t kStrataStream = 0xa0761d6478bd642fULL;
inline constexpr std::uint64_t kShortfallStream = 0xe7037ed1a0b428dbULL;

// Random attempts: at least this many, otherwise 64 per wanted interval.
inline constexpr std::size_t kRandomMinAttempts = 4096;
// Stratified attempts per stratum: at least this many, otherwise 64 per wanted interval.
inline constexpr std::size_t kStratumMinAttempts = 256;

// Attempts between two calls of DrawControl::poll.
inline constexpr std::uint64_t kDrawPollEvery = 16384;

// What the drawing loops answer to besides their inputs. A requested count can be far larger than
// the distinct intervals a series holds (the count comes straight from the configuration, and
// duplicates count towards it), so the generators hold distinct intervals only: their lists
// never exceed three times the distinct intervals the result can hold. That size is estimated
// before anything is drawn and refused (ResourceLimit) above memory_budget_bytes, or when the
// system refuses it. Drawing stops as soon as no later draw can change the list.
struct DrawControl {
  std::optional<std::uint64_t> memory_budget_bytes;
  // Called every kDrawPollEvery attempts (never for fewer); an error ends the generation. The
  // detector checks cancellation, the interrupt hook and the time budget here.
  std::function<Status()> poll;
};

// The number of random-strategy intervals [a, b) (a <= n - 2, b - a >= 2m, b <= n) with an
// admissible split, counted up to `stop_at`: the result is min(that number, stop_at).
std::uint64_t count_feasible_random_intervals(std::size_t n, std::size_t m,
                                              std::span<const std::size_t> candidates,
                                              std::uint64_t stop_at) noexcept;

// The number of starts a <= n - len whose window [a, a + len) has an admissible split, counted up
// to `stop_at`: the result is min(that number, stop_at).
std::uint64_t count_feasible_windows(std::size_t n, std::size_t len, std::size_t m,
                                     std::span<const std::size_t> candidates,
                                     std::uint64_t stop_at) noexcept;

// The interval lengths n, n/2, n/4, ... down to 2*m (each at least 2*m), ascending and unique;
// empty when n < 2*m.
std::vector<std::size_t> dyadic_lengths(std::size_t n, std::size_t m);

// At most `target` items of `items`, spread evenly over it, sorted.
std::vector<Interval> downsample_evenly(std::span<const Interval> items, std::size_t target);

// The index range [first, end) of the candidates c with a + m <= c <= b - m (b - m saturating at
// 0), or none when the interval admits no split.
Result<std::optional<std::pair<std::size_t, std::size_t>>> split_window_for_interval(
    Interval interval, std::span<const std::size_t> candidates, std::size_t m);

Result<std::vector<Interval>> generate_random_intervals(std::size_t n, std::size_t m,
                                                        std::size_t count, std::uint64_t seed,
                                                        std::span<const std::size_t> candidates,
                                                        const DrawControl& control = {});
Result<std::vector<Interval>> generate_grid_intervals(std::size_t n, std::size_t m,
                                                      std::size_t count,
                                                      std::span<const std::size_t> candidates);
Result<std::vector<Interval>> generate_stratified_intervals(std::size_t n, std::size_t m,
                                                            std::size_t count, std::uint64_t seed,
                                                            std::span<const std::size_t> candidates,
                                                            const DrawControl& control = {});

// Dispatches on the strategy; m is the minimum segment length (at least 1) and the candidates the
// effective split positions, ascending.
Result<std::vector<Interval>> generate_intervals(WbsIntervalStrategy strategy, std::size_t count,
                                                 std::uint64_t seed, std::size_t n, std::size_t m,
                                                 std::span<const std::size_t> candidates,
                                                 const DrawControl& control = {});

}  // namespace wbs
}  // namespace ovrel::offline
