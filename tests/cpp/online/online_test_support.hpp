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

inline ::testing::AssertionResult fails_with(const Status& s, ErrorKind kind,
                                             const std::string& message) {
  if (s) return ::testing::AssertionFailure() << "succeeded; expected: " << message;
  if (s.error().kind() != kind || s.error().message() != message) {
    return ::testing::AssertionFailure() << "got " << s.error().display();
  }
  return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult fails_with(const Result<T>& r, ErrorKind kind,
                                      const std::string& message) {
  if (r) return ::testing::AssertionFailure() << "succeeded; expected: " << message;
  return fails_with(Status(std::unexpect, r.error()), kind, message);
}

// The three detectors behind one face, for the shared behaviour.
struct BocpdKind {
  using Detector = BocpdDetector;
  static constexpr const char* kLabel = "BOCPD";
  static Detector make(LateDataPolicy late = LateDataPolicy::reject(), AlertPolicy alert = {}) {
    BocpdConfig c;
    c.late_data_policy = late;
    c.alert_policy = alert;
    return Detector::create(c).value();
  }
};

struct CusumKind {
  using Detector = CusumDetector;
  static constexpr const char* kLabel = "CUSUM";
  static Detector make(LateDataPolicy late = LateDataPolicy::reject(),
                       AlertPolicy alert = kBaselineAlertPolicy) {
    CusumConfig c;
    c.late_data_policy = late;
    c.alert_policy = alert;
    return Detector::create(c).value();
  }
};

struct PageHinkleyKind {
  using Detector = PageHinkleyDetector;
  static constexpr const char* kLabel = "Page-Hinkley";
  static Detector make(LateDataPolicy late = LateDataPolicy::reject(),
                       AlertPolicy alert = kBaselineAlertPolicy) {
    PageHinkleyConfig c;
    c.late_data_policy = late;
    c.alert_policy = alert;
    return Detector::create(c).value();
  }
};

using DetectorKinds = ::testing::Types<BocpdKind, CusumKind, PageHinkleyKind>;

// A result without its measured latency, for comparisons.
inline core::OnlineStepResult without_latency(core::OnlineStepResult r) {
  r.processing_latency_us.reset();
  return r;
}

}  // namespace ovrel::online::testing
