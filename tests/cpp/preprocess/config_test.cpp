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

std::pair<double, double> two(const std::string& text) {
  std::istringstream in(text);
  std::string a, b;
  in >> a >> b;
  return {std::strtod(a.c_str(), nullptr), std::strtod(b.c_str(), nullptr)};
}

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
  if (r[3] != "-") config.winsorize = WinsorizeConfig{two(r[3]).first, two(r[3]).second};
  if (r[4] != "-") config.robust_scale = RobustScaleConfig{two(r[4]).first, two(r[4]).second};
  test_support::outcome_is(config.validate(), r[5] == "ok", r[5]);
}

}  // namespace
}  // namespace ovrel::preprocess
