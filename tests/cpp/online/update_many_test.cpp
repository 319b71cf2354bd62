#include <vector>

#include "online_test_support.hpp"

namespace ovrel::online {
namespace {

template <class K>
class UpdateMany : public ::testing::Test {};
TYPED_TEST_SUITE(UpdateMany, testing::DetectorKinds);

// A batch with explicit times (one of them late and buffered) equals the same updates one by one.
TYPED_TEST(UpdateMany, EqualsRepeatedUpdates) {
  const std::vector<double> x{0.5, 1.0, -0.25, 3.0, 4.5, 2.0, 0.0, 5.5};
  const std::vector<std::int64_t> times{10, 20, 30, 25, 40, 50, 45, 60};
  const auto policy = LateDataPolicy::reorder_by_timestamp(100, 4, OverflowPolicy::Error);
  auto batch = TypeParam::make(policy);
  auto single = TypeParam::make(policy);
  const auto view = core::TimeSeriesView::from_f64(
                        x, x.size(), 1, core::MemoryLayout::c_contiguous(), std::nullopt,
                        core::TimeIndex::explicit_times(times), core::MissingPolicy::Error)
                        .value();
  const auto records = core::update_many(batch, view, testing::plain_ctx()).value();
  ASSERT_EQ(records.size(), x.size());
  for (std::size_t t = 0; t < x.size(); ++t) {
    const auto r = testing::step(single, x[t], times[t]).value();
    EXPECT_EQ(testing::without_latency(records[t]), testing::without_latency(r)) << t;
  }
  EXPECT_EQ(batch.save_state(), single.save_state());
  EXPECT_EQ(batch.state().late_data.buffered_events, 2u);
}

}  // namespace
}  // namespace ovrel::online
