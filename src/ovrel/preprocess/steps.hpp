#pragma once

// The four steps of the preprocessing chain. Each works in place on an owned row-major n-by-d
// buffer (value of row t, dimension j at t*d + j), one dimension at a time, skips NaN (missing)
// values and never fills them.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/preprocess/config.hpp"

namespace ovrel::preprocess {

Result<StepReport> detrend(std::span<double> values, std::size_t n, std::size_t d,
                           const DetrendMethod& method);
Result<StepReport> deseasonalize(std::span<double> values, std::size_t n, std::size_t d,
                                 const DeseasonalizeMethod& method);
StepReport winsorize(std::span<double> values, std::size_t n, std::size_t d,
                     const WinsorizeConfig& config);
Result<StepReport> robust_scale(std::span<double> values, std::size_t n, std::size_t d,
                                const RobustScaleConfig& config);

// Mean of the non-NaN values within [i - w/2, i + w/2] (clipped to the series) for every i, NaN
// where that window holds none.
std::vector<double> centered_moving_average_ignore_nan(std::span<const double> values,
                                                       std::size_t window);

// Median in the total order of doubles; nothing for an empty span.
std::optional<double> median_of_slice(std::span<const double> values);

// The trend window of the stl_like method for a period and a series length.
std::size_t stl_like_trend_window(std::size_t period, std::size_t n);

}  // namespace ovrel::preprocess
