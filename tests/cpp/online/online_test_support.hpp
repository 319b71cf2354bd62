#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
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

// Steps through (x, t_ns) events, each of which must pass.
template <class D>
void steps(D& d, std::initializer_list<std::pair<double, std::int64_t>> events,
           const core::ExecutionContext& ctx = plain_ctx()) {
  for (const auto& [x, t] : events) ASSERT_TRUE(step(d, x, t, ctx)) << x << " at " << t;
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
    if (row.at(0) == group) rows.push_back(row.back());
  }
  ASSERT_FALSE(rows.empty()) << group;
  EXPECT_EQ(got, rows) << group;
}

// The numbers of a text, space between: "nan" and "inf" too, "-" for none.
template <class T = double>
std::vector<T> numbers_of(const std::string& text) {
  std::vector<T> out;
  std::istringstream in(text);
  for (std::string w; in >> w && w != "-";) {
    if constexpr (std::is_floating_point_v<T>) {
      out.push_back(std::strtod(w.c_str(), nullptr));
    } else {
      out.push_back(static_cast<T>(std::strtoll(w.c_str(), nullptr, 10)));
    }
  }
  return out;
}

// A late-data policy as the data tables write it: "reject", or kind ("buffer" or "reorder"),
// max_delay_ns, max_buffer_items and overflow ("Error", "DropOldest" or "DropNewest").
inline LateDataPolicy policy_of(const std::string& text) {
  std::istringstream in(text);
  std::string kind, overflow;
  std::int64_t delay = 0;
  std::size_t items = 0;
  in >> kind >> delay >> items >> overflow;
  const OverflowPolicy o = overflow == "Error"        ? OverflowPolicy::Error
                           : overflow == "DropOldest" ? OverflowPolicy::DropOldest
                                                      : OverflowPolicy::DropNewest;
  return kind == "reject"   ? LateDataPolicy::reject()
         : kind == "buffer" ? LateDataPolicy::buffer_within_window(delay, items, o)
                            : LateDataPolicy::reorder_by_timestamp(delay, items, o);
}

// The three detectors behind one face, for the shared behaviour: each with its default
// configuration but for the late-data policy; the label of its messages and of its alert reasons.
template <class D, class Config, const char* Label, const char* Reason>
struct Kind {
  using Detector = D;
  static constexpr const char* kLabel = Label;
  static constexpr const char* kReason = Reason;
  static D make(LateDataPolicy late = LateDataPolicy::reject()) {
    Config c;
    c.late_data_policy = late;
    return D::create(c).value();
  }
};
inline constexpr char kBocpd[] = "BOCPD", kCusum[] = "CUSUM", kPageHinkley[] = "Page-Hinkley";
inline constexpr char kBocpdReason[] = "bocpd", kCusumReason[] = "cusum",
                      kPageHinkleyReason[] = "page_hinkley";
using BocpdKind = Kind<BocpdDetector, BocpdConfig, kBocpd, kBocpdReason>;
using CusumKind = Kind<CusumDetector, CusumConfig, kCusum, kCusumReason>;
using PageHinkleyKind =
    Kind<PageHinkleyDetector, PageHinkleyConfig, kPageHinkley, kPageHinkleyReason>;
using DetectorKinds = ::testing::Types<BocpdKind, CusumKind, PageHinkleyKind>;
using Detectors = ::testing::Types<BocpdDetector, CusumDetector, PageHinkleyDetector>;

}  // namespace ovrel::online::testing
