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
#include "ovrel/core/text.hpp"
#include "test_data.hpp"

namespace ovrel::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Validation and Debug texts, from tests/data/core_stopping.txt.

Penalty penalty_of(const std::string& text) {
  if (text == "bic") return Penalty::bic();
  if (text == "aic") return Penalty::aic();
  return Penalty::manual(std::strtod(text.c_str() + text.find(' '), nullptr));
}

class StoppingTableTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(StoppingTableTest, ValidationAndText) {
  const auto& r = GetParam();
  ASSERT_EQ(test_support::data_rows("core_stopping.txt").size(), 52u);
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
  if (r[1].starts_with("value")) {
    std::istringstream in(r[1]);
    std::string word, n, params;
    in >> word >> n >> params;
    auto value = penalty_value_from_effective_params(penalty_of(rule), std::stoull(n.substr(2)),
                                                     std::stoull(params.substr(7)));
    EXPECT_EQ(value ? plain(*value) : value.error().message(), r[3]);
    EXPECT_TRUE(value || value.error().kind() == ErrorKind::InvalidInput);
    return;
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
// Equality: by variant, manual values with IEEE semantics.

TEST(StoppingEqualityTest, IeeeComparisonOfManualValues) {
  EXPECT_EQ(Penalty::manual(0.0), Penalty::manual(-0.0));
  EXPECT_NE(Penalty::manual(kNaN), Penalty::manual(kNaN));
  EXPECT_NE(Penalty::manual(1.0), Penalty::aic());
  EXPECT_NE(Stopping::known_k(2), Stopping::known_k(3));
  EXPECT_EQ(Stopping::penalized(Penalty::manual(-0.0)), Stopping::penalized(Penalty::manual(0.0)));
  EXPECT_NE(Stopping::penalized(Penalty::manual(kNaN)), Stopping::penalized(Penalty::manual(kNaN)));
  EXPECT_EQ(Stopping::penalty_path({Penalty::bic(), Penalty::manual(2.0)}),
            Stopping::penalty_path({Penalty::bic(), Penalty::manual(2.0)}));
  EXPECT_NE(Stopping::penalty_path({Penalty::bic()}),
            Stopping::penalty_path({Penalty::bic(), Penalty::bic()}));
  EXPECT_NE(Stopping::penalized(Penalty::bic()), Stopping::penalty_path({Penalty::bic()}));
}

}  // namespace
}  // namespace ovrel::core
