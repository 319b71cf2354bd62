#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/stopping.hpp"

namespace ovrel::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();

const std::string kManual = "Penalty::Manual requires a finite value > 0.0; got ";

// ---------------------------------------------------------------------------------------------
// validate_stopping

struct StoppingCase {
  const char* name;
  Stopping stopping;
  std::string error;  // empty: passes
};

class ValidateStoppingTest : public ::testing::TestWithParam<StoppingCase> {};

TEST_P(ValidateStoppingTest, ByVariant) {
  const Status status = validate_stopping(GetParam().stopping);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(status.has_value()) << status.error().display();
  } else {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), OvrelError::invalid_input(GetParam().error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ValidateStoppingTest,
    ::testing::Values(
        StoppingCase{"KnownKZero", Stopping::known_k(0), "Stopping::KnownK requires k >= 1; got 0"},
        StoppingCase{"KnownKOne", Stopping::known_k(1), ""},
        StoppingCase{"KnownKHuge", Stopping::known_k(std::numeric_limits<std::size_t>::max()), ""},
        StoppingCase{"Bic", Stopping::penalized(Penalty::bic()), ""},
        StoppingCase{"Aic", Stopping::penalized(Penalty::aic()), ""},
        StoppingCase{"ManualZero", Stopping::penalized(Penalty::manual(0.0)), kManual + "0"},
        StoppingCase{"ManualNegativeZero", Stopping::penalized(Penalty::manual(-0.0)),
                     kManual + "-0"},
        StoppingCase{"ManualNegative", Stopping::penalized(Penalty::manual(-1.0)), kManual + "-1"},
        StoppingCase{"ManualNaN", Stopping::penalized(Penalty::manual(kNaN)), kManual + "NaN"},
        StoppingCase{"ManualInf", Stopping::penalized(Penalty::manual(kInf)), kManual + "inf"},
        StoppingCase{"ManualMinusInf", Stopping::penalized(Penalty::manual(-kInf)),
                     kManual + "-inf"},
        StoppingCase{"ManualSubnormal", Stopping::penalized(Penalty::manual(kTiny)), ""},
        StoppingCase{"ManualTinyPlainText", Stopping::penalized(Penalty::manual(-1e-7)),
                     kManual + "-0.0000001"},
        StoppingCase{"PathEmpty", Stopping::penalty_path({}),
                     "Stopping::PenaltyPath requires a non-empty penalty list; got length 0"},
        StoppingCase{"PathDuplicates", Stopping::penalty_path({Penalty::bic(), Penalty::bic()}),
                     ""},
        StoppingCase{"PathUnordered",
                     Stopping::penalty_path({Penalty::manual(5.0), Penalty::manual(1.0)}), ""},
        StoppingCase{"PathFirstInvalidOnly",
                     Stopping::penalty_path({Penalty::manual(-1.0), Penalty::manual(kNaN)}),
                     "Stopping::PenaltyPath[0] is invalid: invalid input: " + kManual + "-1"},
        StoppingCase{
            "PathThirdEntry",
            Stopping::penalty_path({Penalty::bic(), Penalty::aic(), Penalty::manual(-1.0)}),
            "Stopping::PenaltyPath[2] is invalid: invalid input: " + kManual + "-1"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// penalty_value_from_effective_params

struct ValueCase {
  const char* name;
  Penalty penalty;
  std::size_t n;
  std::size_t params;
  double expected;
  std::string error;
};

class PenaltyValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(PenaltyValueTest, ValueOrFirstFailure) {
  const ValueCase& c = GetParam();
  auto value = penalty_value_from_effective_params(c.penalty, c.n, c.params);
  if (!c.error.empty()) {
    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(value.error(), OvrelError::invalid_input(c.error));
    return;
  }
  ASSERT_TRUE(value.has_value()) << value.error().display();
  EXPECT_EQ(*value, c.expected);
  EXPECT_FALSE(std::signbit(*value));
}

const std::string kNZero = "penalty_value_from_effective_params requires n >= 1; got n=0";
const std::string kParamsZero =
    "penalty_value_from_effective_params requires effective_params >= 1; got 0";

INSTANTIATE_TEST_SUITE_P(
    Values, PenaltyValueTest,
    ::testing::Values(
        ValueCase{"Bic", Penalty::bic(), 100, 2, 2.0 * std::log(100.0), ""},
        ValueCase{"BicLargeN", Penalty::bic(), 1000003, 7, 7.0 * std::log(1000003.0), ""},
        ValueCase{"BicSingleton", Penalty::bic(), 1, 5, 0.0, ""},
        ValueCase{"Aic", Penalty::aic(), 1, 3, 6.0, ""},
        ValueCase{"AicAnyN", Penalty::aic(), 987654, 3, 6.0, ""},
        ValueCase{"Manual", Penalty::manual(7.5), 1, 1, 7.5, ""},
        ValueCase{"ManualUnused", Penalty::manual(7.5), 50, 9, 7.5, ""},
        ValueCase{"ManualNZero", Penalty::manual(7.5), 0, 1, 0.0, kNZero},
        ValueCase{"ManualCheckedFirst", Penalty::manual(-1.0), 0, 0, 0.0, kManual + "-1"},
        ValueCase{"BicNZero", Penalty::bic(), 0, 0, 0.0, kNZero},
        ValueCase{"AicParamsZero", Penalty::aic(), 5, 0, 0.0, kParamsZero},
        ValueCase{"ManualParamsZero", Penalty::manual(1.0), 5, 0, 0.0, kParamsZero}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Debug texts

struct PenaltyTextCase {
  double value;
  const char* text;
};

class PenaltyTextTest : public ::testing::TestWithParam<PenaltyTextCase> {};

TEST_P(PenaltyTextTest, ManualValueInDebugFloatText) {
  EXPECT_EQ(debug(Penalty::manual(GetParam().value)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PenaltyTextTest,
    ::testing::Values(PenaltyTextCase{3.0, "Manual(3.0)"}, PenaltyTextCase{10.0, "Manual(10.0)"},
                      PenaltyTextCase{2.5, "Manual(2.5)"}, PenaltyTextCase{1e16, "Manual(1e16)"},
                      // The largest value below 1e16 stays positional.
                      PenaltyTextCase{9999999999999998.0, "Manual(9999999999999998.0)"},
                      PenaltyTextCase{0.0001, "Manual(0.0001)"},
                      PenaltyTextCase{9e-5, "Manual(9e-5)"}, PenaltyTextCase{1e-5, "Manual(1e-5)"},
                      PenaltyTextCase{2.5e-5, "Manual(2.5e-5)"},
                      PenaltyTextCase{0.0, "Manual(0.0)"}, PenaltyTextCase{-0.0, "Manual(-0.0)"},
                      PenaltyTextCase{-1.0, "Manual(-1.0)"}, PenaltyTextCase{kNaN, "Manual(NaN)"},
                      PenaltyTextCase{kInf, "Manual(inf)"},
                      PenaltyTextCase{-kInf, "Manual(-inf)"}));

TEST(StoppingTextTest, Variants) {
  EXPECT_EQ(debug(Penalty::bic()), "BIC");
  EXPECT_EQ(debug(Penalty::aic()), "AIC");
  EXPECT_EQ(debug(Stopping::known_k(3)), "KnownK(3)");
  EXPECT_EQ(debug(Stopping::penalized(Penalty::bic())), "Penalized(BIC)");
  EXPECT_EQ(debug(Stopping::penalized(Penalty::manual(10.0))), "Penalized(Manual(10.0))");
  EXPECT_EQ(debug(Stopping::penalty_path({Penalty::bic(), Penalty::aic(), Penalty::manual(2.5)})),
            "PenaltyPath([BIC, AIC, Manual(2.5)])");
  EXPECT_EQ(debug(Stopping::penalty_path({})), "PenaltyPath([])");
}

// ---------------------------------------------------------------------------------------------
// Equality: by variant, manual values with IEEE semantics.

TEST(StoppingEqualityTest, IeeeComparisonOfManualValues) {
  EXPECT_EQ(Penalty::manual(0.0), Penalty::manual(-0.0));
  EXPECT_NE(Penalty::manual(kNaN), Penalty::manual(kNaN));
  EXPECT_EQ(Penalty::bic(), Penalty::bic());
  EXPECT_NE(Penalty::bic(), Penalty::aic());
  EXPECT_NE(Penalty::manual(1.0), Penalty::aic());
  EXPECT_EQ(Stopping::known_k(2), Stopping::known_k(2));
  EXPECT_NE(Stopping::known_k(2), Stopping::known_k(3));
  EXPECT_EQ(Stopping::penalized(Penalty::manual(-0.0)), Stopping::penalized(Penalty::manual(0.0)));
  EXPECT_NE(Stopping::penalized(Penalty::manual(kNaN)), Stopping::penalized(Penalty::manual(kNaN)));
  EXPECT_EQ(Stopping::penalty_path({Penalty::bic(), Penalty::manual(2.0)}),
            Stopping::penalty_path({Penalty::bic(), Penalty::manual(2.0)}));
  EXPECT_NE(Stopping::penalty_path({Penalty::bic()}),
            Stopping::penalty_path({Penalty::bic(), Penalty::bic()}));
  EXPECT_NE(Stopping::penalty_path({Penalty::manual(kNaN)}),
            Stopping::penalty_path({Penalty::manual(kNaN)}));
  EXPECT_NE(Stopping::penalized(Penalty::bic()), Stopping::penalty_path({Penalty::bic()}));
}

}  // namespace
}  // namespace ovrel::core
