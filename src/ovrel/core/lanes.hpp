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

}  // namespace ovrel::core
