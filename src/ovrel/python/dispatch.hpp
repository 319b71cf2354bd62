#pragma once

// The explicit arguments' road to the offline detectors: the stopping rule from pen / n_bkps, the
// detector configurations of this road, its cost-model keywords and its messages; the pair itself
// is run by the offline dispatch table (offline/dispatch.hpp) with a fresh execution context.
// Detection touches no Python object and runs without the lock.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/python/numpy_interop.hpp"

namespace ovrel::python {

enum class DetectorKind : std::uint8_t { Pelt = 0, Binseg = 1, Fpop = 2, Dynp = 3 };

// The cost-model keywords of the Python side.
enum class PyCostModel : std::uint8_t {
  Cosine = 0,
  L1Median = 1,
  L2 = 2,
  Normal = 3,
  NormalFullCov = 4,
  Rank = 5,
};

// ASCII-lowercases the text and matches the keywords and their aliases exactly; nullopt when
// nothing matches.
std::optional<PyCostModel> parse_cost_model(std::string_view text);
// Raises ValueError "unsupported model '{}'; expected one of: ..." with the text as written.
PyCostModel parse_cost_model_or_raise(std::string_view text);
// "cosine", "l1_median", "l2", "normal", "normal_full_cov", "rank".
const char* cost_model_keyword(PyCostModel model);

// KnownK(n_bkps) or Penalized(Manual(pen)); raises ValueError naming `context` otherwise.
core::Stopping resolve_stopping(std::string_view context, std::optional<double> pen,
                                std::optional<std::size_t> n_bkps);

// Runs the detector over the cost model; `interrupt` (may be null) is installed in the run's
// execution context.
core::Result<core::OfflineChangePointResult> detect_with_spec(DetectorKind kind, PyCostModel cost,
                                                              const OwnedSeries& series,
                                                              const core::Constraints& constraints,
                                                              core::Stopping stopping,
                                                              core::ReproMode repro_mode,
                                                              core::InterruptPoll* interrupt);

core::Result<core::OfflineChangePointResult> detect_with_view(DetectorKind kind, PyCostModel cost,
                                                              const core::TimeSeriesView& view,
                                                              const core::Constraints& constraints,
                                                              core::Stopping stopping,
                                                              core::ReproMode repro_mode,
                                                              core::InterruptPoll* interrupt);

}  // namespace ovrel::python
