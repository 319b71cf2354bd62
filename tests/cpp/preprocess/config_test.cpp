#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/preprocess/config.hpp"

namespace ovrel::preprocess {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct ConfigCase {
  const char* label;
  PreprocessConfig config;
  const char* error;  // nullptr when the configuration is valid
};

PreprocessConfig with_detrend(DetrendMethod m) { return {m, {}, {}, {}}; }
PreprocessConfig with_season(DeseasonalizeMethod m) { return {{}, m, {}, {}}; }
PreprocessConfig with_winsor(double lo, double hi) { return {{}, {}, WinsorizeConfig{lo, hi}, {}}; }
PreprocessConfig with_scale(double eps, double consistency) {
  return {{}, {}, {}, RobustScaleConfig{eps, consistency}};
}

class ConfigValidationTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigValidationTest, FirstFailingCheckDecides) {
  const ConfigCase& c = GetParam();
  const Status status = c.config.validate();
  if (c.error == nullptr) {
    EXPECT_TRUE(status.has_value()) << status.error().display();
  } else {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), OvrelError::invalid_input(c.error));
  }
}

const std::vector<ConfigCase> kConfigCases = {
    {"empty", {}, nullptr},
    {"linear", with_detrend(DetrendMethod::linear()), nullptr},
    {"poly0", with_detrend(DetrendMethod::polynomial(0)),
     "DetrendMethod::Polynomial degree must be in 1..=3, got 0"},
    {"poly1", with_detrend(DetrendMethod::polynomial(1)), nullptr},
    {"poly2", with_detrend(DetrendMethod::polynomial(2)), nullptr},
    {"poly3", with_detrend(DetrendMethod::polynomial(3)), nullptr},
    {"poly4", with_detrend(DetrendMethod::polynomial(4)),
     "DetrendMethod::Polynomial degree must be in 1..=3, got 4"},
    {"polymax", with_detrend(DetrendMethod::polynomial(SIZE_MAX)),
     "DetrendMethod::Polynomial degree must be in 1..=3, got 18446744073709551615"},
    {"diff0", with_season(DeseasonalizeMethod::differencing(0)),
     "Deseasonalize differencing period must be >= 1"},
    {"diff1", with_season(DeseasonalizeMethod::differencing(1)), nullptr},
    {"stl0", with_season(DeseasonalizeMethod::stl_like(0)),
     "Deseasonalize stl_like period must be >= 2, got 0"},
    {"stl1", with_season(DeseasonalizeMethod::stl_like(1)),
     "Deseasonalize stl_like period must be >= 2, got 1"},
    {"stl2", with_season(DeseasonalizeMethod::stl_like(2)), nullptr},
    {"winsor_full", with_winsor(0.0, 1.0), nullptr},
    {"winsor_equal", with_winsor(0.5, 0.5),
     "Winsorize quantiles must satisfy lower < upper, got lower=0.5, upper=0.5"},
    {"winsor_reversed", with_winsor(0.9, 0.1),
     "Winsorize quantiles must satisfy lower < upper, got lower=0.9, upper=0.1"},
    {"winsor_negative_lower_before_order", with_winsor(-0.1, -0.2),
     "Winsorize quantiles must satisfy 0.0 <= lower <= upper <= 1.0, got lower=-0.1, "
     "upper=-0.2"},
    {"winsor_upper_above_one", with_winsor(0.1, 1.5),
     "Winsorize quantiles must satisfy 0.0 <= lower <= upper <= 1.0, got lower=0.1, upper=1.5"},
    {"winsor_nan_first", with_winsor(kNaN, 2.0), "Winsorize quantiles must be finite values"},
    {"winsor_inf_upper", with_winsor(0.1, kInf), "Winsorize quantiles must be finite values"},
    {"scale_ok", with_scale(1e-9, 1.4826), nullptr},
    {"scale_subnormal", with_scale(5e-324, 5e-324), nullptr},
    {"scale_eps_zero_first", with_scale(0.0, -1.0),
     "Robust scaling mad_epsilon must be finite and > 0, got 0"},
    {"scale_eps_negative", with_scale(-1e-9, 1.0),
     "Robust scaling mad_epsilon must be finite and > 0, got -0.000000001"},
    {"scale_eps_nan", with_scale(kNaN, 1.0),
     "Robust scaling mad_epsilon must be finite and > 0, got NaN"},
    {"scale_eps_inf", with_scale(kInf, 1.0),
     "Robust scaling mad_epsilon must be finite and > 0, got inf"},
    {"scale_consistency_zero", with_scale(1.0, 0.0),
     "Robust scaling normal_consistency must be finite and > 0, got 0"},
    {"scale_consistency_neg_inf", with_scale(1.0, -kInf),
     "Robust scaling normal_consistency must be finite and > 0, got -inf"},
    // Steps are checked in chain order: detrend, deseasonalize, winsorize, robust_scale.
    {"order_detrend_first",
     {DetrendMethod::polynomial(9), DeseasonalizeMethod::differencing(0),
      WinsorizeConfig{kNaN, 0.0}, RobustScaleConfig{0.0, 0.0}},
     "DetrendMethod::Polynomial degree must be in 1..=3, got 9"},
    {"order_season_second",
     {DetrendMethod::linear(), DeseasonalizeMethod::stl_like(1), WinsorizeConfig{kNaN, 0.0},
      RobustScaleConfig{0.0, 0.0}},
     "Deseasonalize stl_like period must be >= 2, got 1"},
    {"order_winsor_third",
     {std::nullopt, DeseasonalizeMethod::differencing(3), WinsorizeConfig{0.2, 0.1},
      RobustScaleConfig{0.0, 0.0}},
     "Winsorize quantiles must satisfy lower < upper, got lower=0.2, upper=0.1"},
    {"all_valid",
     {DetrendMethod::polynomial(3), DeseasonalizeMethod::stl_like(7), WinsorizeConfig{0.01, 0.99},
      RobustScaleConfig{1e-9, 1.4826}},
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Checks, ConfigValidationTest, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(DetrendMethodTest, PrintedForms) {
  EXPECT_EQ(DetrendMethod::linear().text(), "Linear");
  EXPECT_EQ(DetrendMethod::polynomial(2).text(), "Polynomial { degree: 2 }");
}

}  // namespace
}  // namespace ovrel::preprocess
