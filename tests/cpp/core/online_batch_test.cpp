#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/detectors.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

// A univariate stand-in for the streaming detectors: it refuses what they refuse (d != 1,
// non-finite values, cancellation) and remembers every applied observation in its state.
struct FakeState {
  std::vector<double> values;
  std::vector<std::optional<std::int64_t>> times;
  friend bool operator==(const FakeState&, const FakeState&) = default;
};

class FakeDetector {
 public:
  using State = FakeState;

  Result<OnlineStepResult> update(std::span<const double> x, std::optional<std::int64_t> t_ns,
                                  const ExecutionContext& ctx) {
    OVREL_TRY(ctx.check_cancelled());
    if (x.size() != 1) {
      return invalid_input(cat("FAKE currently supports univariate updates only; got d=", x.size(),
                               " (expected 1)"));
    }
    if (!std::isfinite(x[0])) return invalid_input("FAKE observation must be finite for update");
    state_.values.push_back(x[0]);
    state_.times.push_back(t_ns);
    OnlineStepResult r;
    r.t = state_.values.size() - 1;
    r.p_change = 0.5;
    r.run_length_mean = x[0];
    return r;
  }
  void reset() { state_ = {}; }
  State save_state() const { return state_; }
  void load_state(const State& s) { state_ = s; }

 private:
  FakeState state_;
};

static_assert(OnlineDetector<FakeDetector>);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TimeSeriesView view_f64(std::span<const double> values, std::size_t n, std::size_t d,
                        MemoryLayout layout = MemoryLayout::c_contiguous(),
                        TimeIndex time = TimeIndex::none(),
                        std::optional<std::span<const std::uint8_t>> mask = std::nullopt,
                        MissingPolicy policy = MissingPolicy::Error) {
  return TimeSeriesView::from_f64(values, n, d, layout, mask, time, policy).value();
}

TEST(UpdateManyTest, DrivesTheDetectorStepByStepWithoutTimes) {
  const std::vector<double> v{1, 2, 3};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector det;
  auto records = update_many(det, view_f64(v, 3, 1), ctx);
  ASSERT_TRUE(records.has_value()) << records.error().display();
  ASSERT_EQ(records->size(), 3u);
  for (std::size_t t = 0; t < 3; ++t) {
    EXPECT_EQ((*records)[t].t, t);
    EXPECT_EQ((*records)[t].run_length_mean, v[t]);
  }
  EXPECT_EQ(det.save_state(), (FakeState{v, {std::nullopt, std::nullopt, std::nullopt}}));
}

TEST(UpdateManyTest, BatchEqualsSingleUpdates) {
  const std::vector<double> v{0.5, -1, 4, 8};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector batch;
  FakeDetector single;
  auto records = update_many(
      batch, view_f64(v, 4, 1, MemoryLayout::c_contiguous(), TimeIndex::uniform(10, 5)), ctx);
  ASSERT_TRUE(records.has_value());
  for (std::size_t t = 0; t < v.size(); ++t) {
    auto r = single.update(std::span<const double>(&v[t], 1), 10 + 5 * std::int64_t(t), ctx);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, (*records)[t]);
  }
  EXPECT_EQ(batch.save_state(), single.save_state());
}

TEST(UpdateManyTest, ExplicitTimesArePassedAsGiven) {
  const std::vector<double> v{1, 2, 3};
  const std::vector<std::int64_t> times{30, 10, 20};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector det;
  ASSERT_TRUE(
      update_many(det,
                  view_f64(v, 3, 1, MemoryLayout::c_contiguous(), TimeIndex::explicit_times(times)),
                  ctx)
          .has_value());
  EXPECT_EQ(det.save_state().times, (std::vector<std::optional<std::int64_t>>{30, 10, 20}));
}

TEST(UpdateManyTest, PresetCancellationEndsBeforeStepZero) {
  const std::vector<double> v{1, 2};
  const Constraints constraints;
  ExecutionContext ctx(constraints);
  CancelToken token;
  token.cancel();
  ctx.cancel = &token;
  FakeDetector det;
  auto r = update_many(det, view_f64(v, 2, 1), ctx);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), OvrelError::cancelled());
  EXPECT_EQ(det.save_state(), FakeState{});
}

TEST(UpdateManyTest, AnInterruptStopsBeforeTheStepItWasAskedAt) {
  struct StopAtThirdAsk : InterruptHook {
    int asked = 0;
    bool stop_requested() override { return ++asked == 3; }
  } hook;
  InterruptPoll poll(hook, {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)});
  const std::vector<double> v{1, 2, 3, 4};
  const Constraints constraints;
  ExecutionContext ctx(constraints);
  ctx.interrupt = &poll;
  FakeDetector det;
  EXPECT_EQ(update_many(det, view_f64(v, 4, 1), ctx).error(), OvrelError::cancelled());
  EXPECT_EQ(det.save_state(), (FakeState{{1, 2}, {std::nullopt, std::nullopt}}));
}

TEST(UpdateManyTest, TimestampOverflowDiscardsRecordsButKeepsSteps) {
  const std::vector<double> v{1, 2, 3, 4};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector det;
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  auto r = update_many(
      det, view_f64(v, 4, 1, MemoryLayout::c_contiguous(), TimeIndex::uniform(max - 2, 1)), ctx);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), OvrelError::invalid_input(
                           cat("uniform timestamp overflow: t0_ns=", max - 2, ", delta=3")));
  EXPECT_EQ(det.save_state().values, (std::vector<double>{1, 2, 3}));
}

TEST(UpdateManyTest, StridedOutOfBoundsAfterTwoSteps) {
  const std::vector<double> v{1, 2, 3, 4};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector det;
  auto r = update_many(det, view_f64(v, 4, 1, MemoryLayout::strided(2, 1)), ctx);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(),
            OvrelError::invalid_input("strided index out of bounds at t=2, j=0: idx=4, len=4"));
  EXPECT_EQ(det.save_state().values, (std::vector<double>{1, 3}));
}

TEST(UpdateManyTest, TwoColumnsFailWithTheDetectorsMessage) {
  const std::vector<double> v{1, 2, 3, 4};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector det;
  auto r = update_many(det, view_f64(v, 2, 2), ctx);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(),
            OvrelError::invalid_input(
                "FAKE currently supports univariate updates only; got d=2 (expected 1)"));
}

TEST(UpdateManyTest, F32ValuesAreWidened) {
  const std::vector<float> v{0.1f, 1e-30f};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector det;
  auto view = TimeSeriesView::create(ValueBuffer::of_f32(v), 2, 1, MemoryLayout::c_contiguous(),
                                     std::nullopt, TimeIndex::none(), MissingPolicy::Error);
  ASSERT_TRUE(update_many(det, *view, ctx).has_value());
  EXPECT_EQ(det.save_state().values,
            (std::vector<double>{static_cast<double>(0.1f), static_cast<double>(1e-30f)}));
}

// A value the mask declares missing must not reach the detector as a real observation.
TEST(UpdateManyTest, MaskedValueReadsAsNaNAndIsRefused) {
  const std::vector<double> v{1, 2, 3};
  const std::vector<std::uint8_t> mask{0, 1, 0};
  const Constraints constraints;
  const ExecutionContext ctx(constraints);
  FakeDetector det;
  auto view = view_f64(v, 3, 1, MemoryLayout::c_contiguous(), TimeIndex::none(),
                       std::span<const std::uint8_t>(mask), MissingPolicy::Ignore);
  auto row = extract_step_f64(view, 1);
  ASSERT_TRUE(row.has_value());
  EXPECT_TRUE(std::isnan((*row)[0]));
  auto r = update_many(det, view, ctx);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), OvrelError::invalid_input("FAKE observation must be finite for update"));
  EXPECT_EQ(det.save_state().values, (std::vector<double>{1}));
}

struct RowCase {
  const char* name;
  MemoryLayout layout;
  std::size_t n, d;
};

class ExtractRowTest : public ::testing::TestWithParam<RowCase> {};

// Every layout reads element (t, j) at the position its rule gives; the oracle fills the buffer
// so that the value at each position names the element stored there.
TEST_P(ExtractRowTest, MatchesThePositionRule) {
  const RowCase& c = GetParam();
  const std::size_t len = c.n * c.d;
  std::vector<double> buf(len, -1);
  auto pos = [&](std::size_t t, std::size_t j) -> std::int64_t {
    switch (c.layout.kind) {
      case LayoutKind::CContiguous:
        return std::int64_t(t * c.d + j);
      case LayoutKind::FContiguous:
        return std::int64_t(t + j * c.n);
      default:
        return std::int64_t(t) * c.layout.row_stride + std::int64_t(j) * c.layout.col_stride;
    }
  };
  for (std::size_t t = 0; t < c.n; ++t)
    for (std::size_t j = 0; j < c.d; ++j) buf[std::size_t(pos(t, j))] = double(100 * t + j);
  auto view = view_f64(buf, c.n, c.d, c.layout);
  for (std::size_t t = 0; t < c.n; ++t) {
    auto row = extract_step_f64(view, t);
    ASSERT_TRUE(row.has_value()) << row.error().display();
    ASSERT_EQ(row->size(), c.d);
    for (std::size_t j = 0; j < c.d; ++j) EXPECT_EQ((*row)[j], double(100 * t + j));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExtractRowTest,
    ::testing::Values(RowCase{"C", MemoryLayout::c_contiguous(), 4, 3},
                      RowCase{"F", MemoryLayout::f_contiguous(), 4, 3},
                      RowCase{"StridedRowMajor", MemoryLayout::strided(3, 1), 4, 3},
                      RowCase{"StridedColumnMajor", MemoryLayout::strided(1, 4), 4, 3},
                      RowCase{"StridedReversed", MemoryLayout::strided(-3, 1), 1, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExtractRowTest, StridedFaultsInOrder) {
  const std::vector<double> v{1, 2, 3, 4};
  auto negative = extract_step_f64(view_f64(v, 2, 2, MemoryLayout::strided(-1, 1)), 1);
  EXPECT_EQ(negative.error(),
            OvrelError::invalid_input("strided index negative at t=1, j=0: idx=-1"));
  const std::int64_t big = std::numeric_limits<std::int64_t>::max();
  auto far = extract_step_f64(view_f64(v, 2, 2, MemoryLayout::strided(big, 1)), 1);
  EXPECT_EQ(far.error(), OvrelError::invalid_input("strided index out of bounds at t=1, j=0: idx=" +
                                                   std::to_string(big) + ", len=4"));
  auto sum = extract_step_f64(view_f64(v, 2, 2, MemoryLayout::strided(1, big)), 1);
  EXPECT_EQ(sum.error(), OvrelError::invalid_input(
                             "strided index overflow at t=1, j=1, row_stride=1, col_stride=" +
                             std::to_string(big)));
  auto product = extract_step_f64(view_f64(v, 4, 1, MemoryLayout::strided(big / 2 + 1, 1)), 2);
  EXPECT_EQ(product.error(),
            OvrelError::invalid_input("strided index overflow at t=2, j=0, row_stride=" +
                                      std::to_string(big / 2 + 1) + ", col_stride=1"));
}

struct StampCase {
  std::uint64_t t;
  std::int64_t t0, dt;
  std::optional<std::int64_t> value;
  const char* error;
};

class UniformTimestampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(UniformTimestampTest, CheckedArithmetic) {
  const StampCase& c = GetParam();
  auto r = uniform_timestamp(c.t, c.t0, c.dt);
  if (c.value) {
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(*r, *c.value);
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), OvrelError::invalid_input(c.error));
  }
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Detectors, UniformTimestampTest,
    ::testing::Values(StampCase{0, -5, 3, -5, nullptr}, StampCase{4, 100, 25, 200, nullptr},
                      StampCase{1, kMax - 1, 1, kMax, nullptr},
                      StampCase{2, kMin, -1, std::nullopt,
                                "uniform timestamp overflow: t0_ns=-9223372036854775808, delta=-2"},
                      StampCase{std::uint64_t(kMax) + 1, 0, 1, std::nullopt,
                                "time index overflow: t=9223372036854775808 does not fit into i64"},
                      StampCase{4611686018427387904, 0, 2, std::nullopt,
                                "uniform timestamp overflow: dt_ns=2, t=4611686018427387904"},
                      StampCase{2, kMax - 1, 1, std::nullopt,
                                "uniform timestamp overflow: t0_ns=9223372036854775806, delta=2"}));

}  // namespace
}  // namespace ovrel::core
