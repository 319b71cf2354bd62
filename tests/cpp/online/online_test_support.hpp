#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/detectors.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/online/baseline.hpp"
#include "ovrel/online/bocpd.hpp"
#include "test_data.hpp"

namespace ovrel::online::testing {

inline const core::Constraints& no_constraints() {
  static const core::Constraints c;
  return c;
}

inline const core::ExecutionContext& plain_ctx() {
  static const core::ExecutionContext ctx(no_constraints());
  return ctx;
}

template <class D>
Result<core::OnlineStepResult> step(D& d, double x, std::optional<std::int64_t> t_ns = std::nullopt,
                                    const core::ExecutionContext& ctx = plain_ctx()) {
  const double row[1] = {x};
  return d.update(row, t_ns, ctx);
}

// "ok", or the error as OvrelError::display() writes it.
template <class R>
std::string outcome(const R& r) {
  return r ? "ok" : r.error().display();
}

// The outcomes of one check, run again after each change of its input, against the rows of a
// group of tests/data/online_checks.txt.
inline void expect_outcomes(const std::string& group, const std::vector<std::string>& got) {
  std::vector<std::string> rows;
  for (const auto& row : test_support::data_rows("online_checks.txt")) {
    if (row.at(0) == group) rows.push_back(row.at(1));
  }
  ASSERT_FALSE(rows.empty()) << group;
  EXPECT_EQ(got, rows) << group;
}

// The three detectors behind one face, for the shared behaviour: each with its default
// configuration but for the late-data policy.
template <class D, class Config, const char* Label>
struct Kind {
  using Detector = D;
  static constexpr const char* kLabel = Label;
  static D make(LateDataPolicy late = LateDataPolicy::reject()) {
    Config c;
    c.late_data_policy = late;
    return D::create(c).value();
  }
};
inline constexpr char kBocpd[] = "BOCPD", kCusum[] = "CUSUM", kPageHinkley[] = "Page-Hinkley";
using BocpdKind = Kind<BocpdDetector, BocpdConfig, kBocpd>;
using CusumKind = Kind<CusumDetector, CusumConfig, kCusum>;
using PageHinkleyKind = Kind<PageHinkleyDetector, PageHinkleyConfig, kPageHinkley>;
using DetectorKinds = ::testing::Types<BocpdKind, CusumKind, PageHinkleyKind>;
using Detectors = ::testing::Types<BocpdDetector, CusumDetector, PageHinkleyDetector>;

// A result without its measured latency, for comparisons.
inline core::OnlineStepResult without_latency(core::OnlineStepResult r) {
  r.processing_latency_us.reset();
  return r;
}

}  // namespace ovrel::online::testing
