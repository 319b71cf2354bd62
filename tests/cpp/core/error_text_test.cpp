#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/text.hpp"
#include "test_data.hpp"

namespace ovrel::core {
namespace {

TEST(OvrelErrorTest, DisplayTextsByKind) {
  EXPECT_EQ(OvrelError::invalid_input("n must be >= 1").display(), "invalid input: n must be >= 1");
  EXPECT_EQ(OvrelError::numerical_issue("x").display(), "numerical issue: x");
  EXPECT_EQ(OvrelError::not_supported("").display(), "not supported: ");
  EXPECT_EQ(OvrelError::resource_limit("y").display(), "resource limit exceeded: y");
  EXPECT_EQ(OvrelError::cancelled().display(), "cancelled");
  EXPECT_EQ(OvrelError::cancelled().message(), "");
  EXPECT_EQ(static_cast<int>(OvrelError::resource_limit("y").kind()), 3);
}

TEST(FloatTextTest, PlainDebugAndJson) {
  const auto rows = test_support::data_rows("core_float_texts.txt");
  ASSERT_EQ(rows.size(), 33u);
  for (const auto& r : rows) {
    const double value = std::strtod(r.at(0).c_str(), nullptr);
    std::string json;
    append_json_f64(json, value);
    EXPECT_EQ(plain(value), r.at(1)) << r[0];
    EXPECT_EQ(debug(value), r.at(2)) << r[0];
    EXPECT_EQ(json, r.at(3)) << r[0];
    if (std::isfinite(value)) {
      EXPECT_EQ(std::strtod(r[1].c_str(), nullptr), value) << r[0];
    }
  }
  EXPECT_EQ(plain(0.1f), "0.1");
}

TEST(TextTest, FixedListsAndCat) {
  EXPECT_EQ(fixed(1.0, 6), "1.000000");
  EXPECT_EQ(fixed(2.0 / 3.0, 3), "0.667");
  EXPECT_EQ(fixed(std::nan(""), 6), "NaN");
  EXPECT_EQ(fixed(-std::numeric_limits<double>::infinity(), 2), "-inf");
  EXPECT_EQ(list_text(std::vector<std::size_t>{}), "[]");
  EXPECT_EQ(list_text(std::vector<std::int64_t>{-3, 4}), "[-3, 4]");
  EXPECT_EQ(cat("n=", std::size_t{3}, ", x=", 2.0, ", ok=", true, ", t=", std::int64_t{-5}),
            "n=3, x=2, ok=true, t=-5");
}

}  // namespace
}  // namespace ovrel::core
