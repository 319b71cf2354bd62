#pragma once

// What the tests of core and preprocess share: a suite over the rows of a data file, the check of
// a row's expected outcome, the readers of the number and layout words the tables are written
// in, and a scripted interrupt hook.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/time_series.hpp"
#include "test_data.hpp"

// A value-parametrised suite `Suite` over the rows of tests/data/<file>, each case named by its
// first field. The file must hold exactly `count` rows, so a lost file or row fails a test.
#define OVREL_ROW_SUITE(Suite, file, count)                                             \
  class Suite : public ::testing::TestWithParam<std::vector<std::string>> {};           \
  TEST(Suite, TableIsRead) {                                                            \
    EXPECT_EQ(::ovrel::test_support::data_rows(file).size(), std::size_t{count});       \
  }                                                                                     \
  INSTANTIATE_TEST_SUITE_P(Rows, Suite,                                                 \
                           ::testing::ValuesIn(::ovrel::test_support::data_rows(file)), \
                           [](const auto& info) { return info.param.at(0); })

namespace ovrel::test_support {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Bitwise equality, so that -0.0 and the last bit count; any NaN equals any NaN.
inline bool same_bits(double a, double b) {
  return std::isnan(a) ? std::isnan(b) : std::signbit(a) == std::signbit(b) && a == b;
}

// A row's expected outcome of `r`: a value when `ok`, else refused as InvalidInput with exactly
// `message`. True when there is a value to check further.
template <class R>
bool outcome_is(const R& r, bool ok, const std::string& message) {
  if (ok) {
    EXPECT_TRUE(r.has_value()) << r.error().display();
    return r.has_value();
  }
  if (r.has_value()) {
    ADD_FAILURE() << "accepted; expected: " << message;
  } else {
    EXPECT_EQ(r.error(), core::OvrelError::invalid_input(message));
  }
  return false;
}

// The numbers of a space-separated text, read as doubles and converted.
template <class T>
std::vector<T> numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<T> out;
  for (std::string word; in >> word;)
    out.push_back(static_cast<T>(std::strtod(word.c_str(), nullptr)));
  return out;
}

// "C", "F" or "strided <row stride> <column stride>".
inline core::MemoryLayout layout_of(const std::string& text) {
  if (text == "C") return core::MemoryLayout::c_contiguous();
  if (text == "F") return core::MemoryLayout::f_contiguous();
  std::istringstream words(text);
  std::string kind, row, col;
  words >> kind >> row >> col;
  return core::MemoryLayout::strided(std::stoll(row), std::stoll(col));
}

// An interrupt hook that answers "stop" at one ask, counting every ask.
struct ScriptedHook : core::InterruptHook {
  std::uint64_t stop_at = 0;  // the ask that answers "stop"; never when 0
  std::uint64_t asked = 0;
  bool stop_requested() override { return ++asked == stop_at; }
};

}  // namespace ovrel::test_support
