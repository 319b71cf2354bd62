#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/preprocess/config.hpp"

namespace ovrel::preprocess {
namespace {

OVREL_ROW_SUITE(ConfigValidationTest, "preprocess_config.txt", 32);

TEST_P(ConfigValidationTest, FirstFailingCheckDecides) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 6u);
  PreprocessConfig config;
  const auto number = [](const std::string& text) {
    return std::stoull(text.substr(text.find(' ')));
  };
  if (r[1] == "linear") config.detrend = DetrendMethod::linear();
  if (r[1].starts_with("polynomial")) config.detrend = DetrendMethod::polynomial(number(r[1]));
  if (r[2].starts_with("differencing")) {
    config.deseasonalize = DeseasonalizeMethod::differencing(number(r[2]));
  }
  if (r[2].starts_with("stl_like"))
    config.deseasonalize = DeseasonalizeMethod::stl_like(number(r[2]));
  const auto w = test_support::numbers<double>(r[3]), s = test_support::numbers<double>(r[4]);
  if (r[3] != "-") config.winsorize = WinsorizeConfig{w.at(0), w.at(1)};
  if (r[4] != "-") config.robust_scale = RobustScaleConfig{s.at(0), s.at(1)};
  test_support::outcome_is(config.validate(), r[5] == "ok", r[5]);
}

}  // namespace
}  // namespace ovrel::preprocess
