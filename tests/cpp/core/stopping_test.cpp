#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/stopping.hpp"
#include "test_data.hpp"

namespace ovrel::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::string kManual = "Penalty::Manual requires a finite value > 0.0; got ";

// ---------------------------------------------------------------------------------------------
// Validation and Debug texts, from tests/data/core_stopping.txt.

Penalty penalty_of(const std::string& text) {
  if (text == "bic") return Penalty::bic();
  if (text == "aic") return Penalty::aic();
  return Penalty::manual(std::strtod(text.c_str() + text.find(' '), nullptr));
}

class StoppingTableTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST(StoppingTableTest, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("core_stopping.txt").size(), 40u);
}

TEST_P(StoppingTableTest, ValidationAndText) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 4u);
  const std::string& rule = r[2];
  const std::string arg = rule.substr(std::min(rule.size(), rule.find(' ') + 1));
  std::optional<Stopping> stopping;
  if (rule.starts_with("known_k")) stopping = Stopping::known_k(std::stoull(arg));
  if (rule.starts_with("penalized")) stopping = Stopping::penalized(penalty_of(arg));
  if (rule.starts_with("path")) {
    std::vector<Penalty> path;
    std::istringstream in(rule == "path" ? "" : arg);
    for (std::string p; std::getline(in, p, ',');)
      path.push_back(penalty_of(p.substr(p.find_first_not_of(' '))));
    stopping = Stopping::penalty_path(path);
  }
  if (r[1] == "text") {
    EXPECT_EQ(stopping ? debug(*stopping) : debug(penalty_of(rule)), r[3]);
    return;
  }
  const Status status = validate_stopping(stopping.value());
  if (r[3] == "ok") {
    EXPECT_TRUE(status.has_value()) << status.error().display();
  } else {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), OvrelError::invalid_input(r[3]));
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, StoppingTableTest,
                         ::testing::ValuesIn(test_support::data_rows("core_stopping.txt")),
                         [](const auto& info) { return info.param.at(0); });

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
