#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/preprocess/config.hpp"
#include "test_data.hpp"

namespace ovrel::preprocess {
namespace {

std::pair<double, double> two(const std::string& text) {
  std::istringstream in(text);
  std::string a, b;
  in >> a >> b;
  return {std::strtod(a.c_str(), nullptr), std::strtod(b.c_str(), nullptr)};
}

class ConfigValidationTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ConfigValidationTest, FirstFailingCheckDecides) {
  const auto& r = GetParam();
  ASSERT_EQ(test_support::data_rows("preprocess_config.txt").size(), 32u);
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
  const Status status = config.validate();
  if (r[5] == "ok") {
    EXPECT_TRUE(status.has_value()) << status.error().display();
  } else {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), OvrelError::invalid_input(r[5]));
  }
}

INSTANTIATE_TEST_SUITE_P(Checks, ConfigValidationTest,
                         ::testing::ValuesIn(test_support::data_rows("preprocess_config.txt")),
                         [](const auto& info) { return info.param.at(0); });

}  // namespace
}  // namespace ovrel::preprocess
