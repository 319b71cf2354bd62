#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/text.hpp"

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

Status fails_when(bool fail) {
  if (fail) return invalid_input("bad");
  return {};
}
Result<int> twice(int v, bool fail) {
  OVREL_TRY(fails_when(fail));
  OVREL_TRY_ASSIGN(int w, Result<int>(v));
  return 2 * w;
}

TEST(OvrelErrorTest, TryMacrosPropagateTheFirstError) {
  EXPECT_EQ(twice(4, false).value(), 8);
  auto r = twice(4, true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), OvrelError::invalid_input("bad"));
}

struct FloatCase {
  double value;
  const char* plain;
  const char* debug;
};

class FloatTextTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatTextTest, PlainAndDebug) {
  const FloatCase& c = GetParam();
  EXPECT_EQ(plain(c.value), c.plain);
  EXPECT_EQ(debug(c.value), c.debug);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FloatTextTest,
    ::testing::Values(FloatCase{0.0, "0", "0.0"}, FloatCase{-0.0, "-0", "-0.0"},
                      FloatCase{2.5, "2.5", "2.5"}, FloatCase{10.0, "10", "10.0"},
                      FloatCase{1.0, "1", "1.0"}, FloatCase{0.5, "0.5", "0.5"},
                      FloatCase{0.005, "0.005", "0.005"}, FloatCase{1e-7, "0.0000001", "1e-7"},
                      FloatCase{1e-5, "0.00001", "1e-5"}, FloatCase{2.5e-5, "0.000025", "2.5e-5"},
                      FloatCase{9e-5, "0.00009", "9e-5"}, FloatCase{1e-4, "0.0001", "0.0001"},
                      FloatCase{1e16, "10000000000000000", "1e16"},
                      FloatCase{1.5e16, "15000000000000000", "1.5e16"},
                      FloatCase{9999999999999998.0, "9999999999999998", "9999999999999998.0"},
                      FloatCase{0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
                      FloatCase{-3.25, "-3.25", "-3.25"}, FloatCase{-1e-5, "-0.00001", "-1e-5"},

                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN", "NaN"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf", "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf", "-inf"}));

TEST(FloatTextTest, ExtremesRoundTripPositionally) {
  EXPECT_EQ(plain(1e300), "1" + std::string(300, '0'));
  const double tiny = std::numeric_limits<double>::denorm_min();
  const std::string t = plain(tiny);
  EXPECT_EQ(t.rfind("0.", 0), 0u);
  EXPECT_EQ(t.find('e'), std::string::npos);
  EXPECT_EQ(std::strtod(t.c_str(), nullptr), tiny);
  EXPECT_EQ(debug(tiny), "5e-324");
  EXPECT_EQ(debug(std::numeric_limits<double>::max()), "1.7976931348623157e308");
  EXPECT_EQ(plain(0.1f), "0.1");
  EXPECT_EQ(plain(-std::numeric_limits<double>::quiet_NaN()), "NaN");
}

TEST(FloatTextTest, FixedPrecision) {
  EXPECT_EQ(fixed(1.0, 6), "1.000000");
  EXPECT_EQ(fixed(2.0 / 3.0, 3), "0.667");
  EXPECT_EQ(fixed(std::nan(""), 6), "NaN");
  EXPECT_EQ(fixed(-std::numeric_limits<double>::infinity(), 2), "-inf");
}

TEST(ListTextTest, Lists) {
  std::vector<std::size_t> empty;
  std::vector<std::size_t> two{1, 2};
  std::vector<std::int64_t> signed_values{-3, 4};
  EXPECT_EQ(list_text(empty), "[]");
  EXPECT_EQ(list_text(two), "[1, 2]");
  EXPECT_EQ(list_text(signed_values), "[-3, 4]");
}

TEST(CatTest, MixesTextsIntegersFloatsAndBooleans) {
  EXPECT_EQ(cat("n=", std::size_t{3}, ", x=", 2.0, ", ok=", true, ", t=", std::int64_t{-5}),
            "n=3, x=2, ok=true, t=-5");
}

}  // namespace
}  // namespace ovrel::core
