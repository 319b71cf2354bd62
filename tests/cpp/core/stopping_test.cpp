#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

// ---------------------------------------------------------------------------------------------
// Validation and Debug texts, from tests/data/core_stopping.txt.

Penalty penalty_of(const std::string& text) {
  if (text == "bic") return Penalty::bic();
  if (text == "aic") return Penalty::aic();
  return Penalty::manual(std::strtod(text.c_str() + text.find(' '), nullptr));
}

// A rule of the table; none for a lone penalty.
std::optional<Stopping> stopping_of(const std::string& rule) {
  const std::string arg = rule.substr(std::min(rule.size(), rule.find(' ') + 1));
  if (rule.starts_with("known_k")) return Stopping::known_k(std::stoull(arg));
  if (rule.starts_with("penalized")) return Stopping::penalized(penalty_of(arg));
  if (!rule.starts_with("path")) return std::nullopt;
  std::vector<Penalty> path;
  std::istringstream in(rule == "path" ? "" : arg);
  for (std::string p; std::getline(in, p, ',');)
    path.push_back(penalty_of(p.substr(p.find_first_not_of(' '))));
  return Stopping::penalty_path(path);
}

OVREL_ROW_SUITE(StoppingTableTest, "core_stopping.txt", 59);

TEST_P(StoppingTableTest, ValidationAndText) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 4u);
  const std::string& rule = r[2];
  const std::optional<Stopping> stopping = stopping_of(rule);
  if (r[1].starts_with("equals ")) {
    EXPECT_EQ(stopping_of(r[1].substr(7)).value() == stopping.value(), r[3] == "true");
    return;
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
  test_support::outcome_is(validate_stopping(stopping.value()), r[3] == "ok", r[3]);
}

}  // namespace
}  // namespace ovrel::core
