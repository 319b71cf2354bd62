// The contract every cost model keeps, checked once over the eight models with a row per model
// (tests/data/costs_models.txt) for what differs, and the shared helpers behind it: planning,
// reading, prefix tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/table_test.hpp"
#include "costs/series_samples.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace ovrel::costs {
namespace {

// The model with default parameters and its row, found by its name.
template <class C>
class CostContract : public ::testing::Test {
 protected:
  static std::vector<std::string> row_of() {
    for (const auto& r : test_support::data_rows("costs_models.txt")) {
      if (r.at(0) == C::name() && r.size() == 5) return r;
    }
    throw std::runtime_error("no row for " + std::string(C::name()));
  }
  const C model{};
  const std::vector<std::string> r = row_of();
};

using Models = ::testing::Types<CostL2Mean, CostL1Median, CostNormalMeanVar, CostNormalFullCov,
                                CostAR, CostNIGMarginal, CostCosine, CostRank>;
TYPED_TEST_SUITE(CostContract, Models);

// The parameter count and where it overflows; missing values are refused; the exact planned cache
// size passes a budget, one byte less is refused with the model's text, an approximate policy is
// refused whatever its limit; a value outside the buffer stops precompute (and the cosine model's
// validation, which reads every value for finiteness).
TYPED_TEST(CostContract, ParametersValidationAndCachePlanning) {
  const auto& [model, r] = std::tie(this->model, this->r);
  EXPECT_EQ(model.penalty_effective_params(3), std::stoull(r[2]));
  EXPECT_TRUE(model.penalty_effective_params(std::stoull(r[3]) - 1).has_value());
  EXPECT_EQ(model.penalty_effective_params(std::stoull(r[3])), std::nullopt);
  EXPECT_EQ(TypeParam::missing_support(), core::MissingSupport::Reject);
  const OwnedSeries missing(std::vector<double>{1.0, 2.0, 3.0, std::nan("")}, 4, 1, Layout::C,
                            Width::F64, core::MissingPolicy::Ignore);
  EXPECT_EQ(
      outcome(model.validate(missing.view())),
      "invalid input: " + r[1] + " does not support missing values: effective_missing_count=1");
  const auto bytes = test_support::numbers<std::uint64_t>(r[4]);
  for (std::size_t d : {1u, 2u, 3u}) {
    OwnedSeries s(uniform_rows(17, d, 5), 17, d);
    const std::uint64_t b = bytes.at(d - 1);
    EXPECT_EQ(outcome(model.precompute(s.view(), core::CachePolicy::budgeted(b))), "ok") << d;
    EXPECT_EQ(outcome(model.precompute(s.view(), core::CachePolicy::budgeted(b - 1))),
              "resource limit exceeded: " + r[1] + " cache requires " + std::to_string(b) +
                  " bytes, exceeds budget " + std::to_string(b - 1) + " bytes");
    EXPECT_EQ(outcome(model.precompute(s.view(), core::CachePolicy::approximate(1ULL << 40, 0.5))),
              "not supported: " + r[1] + " does not support CachePolicy::Approximate");
  }
  const OwnedSeries strided(std::vector<double>{1.0, 2.0, 3.0, 4.0}, 2, 2,
                            core::MemoryLayout::strided(-1, 1));
  const std::string negative = "invalid input: strided index negative at t=1, dim=0: idx=-1";
  EXPECT_EQ(outcome(model.precompute(strided.view(), core::CachePolicy::full())), negative);
  if constexpr (std::is_same_v<TypeParam, CostCosine>) {
    EXPECT_EQ(outcome(model.validate(strided.view())), negative);
  }
}

// The batch form the detectors use between changes gives every segment_cost bit for bit, on every
// path (d = 1 is vectorised, d > 1 loops over dimensions): over lane remainders, offset starts, a
// constant run (totals rounding to either side of 0, or exactly 0; the variance floor) and squares
// near and beyond the top of the range.
TYPED_TEST(CostContract, BatchCostsEqualSingleCosts) {
  const TypeParam& model = this->model;
  if constexpr (requires(double* out) { model.segment_costs_to_end({}, 0, 1, 1, out); }) {
    for (const auto& [d, constant] :
         {std::pair{1u, 0.1}, {2u, 0.1}, {3u, 0.1}, {1u, 2.5}, {3u, 2.5}}) {
      std::vector<double> rows = uniform_rows(40, d, 11, -1e3, 1e3);
      rows[7 * d] = 1e155;
      for (std::size_t i = 20 * d; i < 26 * d; ++i) rows[i] = constant;
      if (d == 3) rows[34 * d + 2] = 1e160;
      const OwnedSeries series(rows, 40, d);
      const auto cache = model.precompute(series.view(), core::CachePolicy::full()).value();
      for (std::size_t end = 1; end <= 40; ++end) {
        for (std::size_t first : {0u, 3u, 21u}) {
          std::vector<double> out(end - std::min<std::size_t>(first, end));
          if (first < end) model.segment_costs_to_end(cache, first, end - first, end, out.data());
          for (std::size_t start = first; start < end; ++start) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(out[start - first]),
                      std::bit_cast<std::uint64_t>(model.segment_cost(cache, start, end)))
                << "d=" << d << " [" << start << ", " << end << ")";
          }
        }
      }
    }
  }
}

// The scoring batch of the dynamic programmes against its scalar transcription: every score is
// segment_cost + F bit for bit, the first smallest candidate and its position, the largest score
// and the finiteness verdict, over runs of consecutive starts broken by gaps (lane remainders
// inside each run), equal best objectives (so that ties among equal candidates, zeros of either
// sign included, pick the first) and overflowing squares.
TYPED_TEST(CostContract, BatchScoresEqualSingleCostsPlusBestObjective) {
  const TypeParam& model = this->model;
  if constexpr (requires(const std::size_t* at, double* out) {
                  model.segment_scores_at({}, at, 1, 1, out, 1.0, out);
                }) {
    std::mt19937 gen(5);
    for (const auto& [d, constant] :
         {std::pair{1u, 0.1}, {2u, 0.1}, {3u, 0.1}, {1u, 2.5}, {3u, 2.5}}) {
      std::vector<double> rows = uniform_rows(60, d, 11, -1e3, 1e3);
      for (std::size_t i = 20 * d; i < 36 * d; ++i) rows[i] = constant;
      const bool overflow = constant == 2.5;
      if (overflow) rows[50 * d] = 1e160;
      const OwnedSeries series(rows, 60, d);
      const auto cache = model.precompute(series.view(), core::CachePolicy::full()).value();
      std::vector<double> F(61);
      for (double& f : F) f = gen() % 3 == 0 ? 0.5 : -0.25 * static_cast<double>(gen() % 8);
      for (std::size_t end = 2; end <= 60; ++end) {
        for (int round = 0; round < 6; ++round) {
          std::vector<std::size_t> starts;
          for (std::size_t tau = round % 3; tau < end; ++tau) {
            if (round == 0 || gen() % 5 != 0) starts.push_back(tau);
          }
          std::vector<double> out(starts.size());
          const double beta = round % 2 == 0 ? 1.5 : 0.0;
          const core::RunMinimum got = model.segment_scores_at(cache, starts.data(), starts.size(),
                                                               end, F.data(), beta, out.data());
          core::RunMinimum want;
          want.max_score = -std::numeric_limits<double>::infinity();
          for (std::size_t k = 0; k < starts.size(); ++k) {
            const double s0 = model.segment_cost(cache, starts[k], end) + F[starts[k]];
            const double cand = s0 + beta;
            want.all_finite = want.all_finite && std::isfinite(cand);
            want.max_score = std::fmax(want.max_score, s0);
            if (cand < want.objective) {
              want.objective = cand;
              want.index = k;
            }
            ASSERT_EQ(std::bit_cast<std::uint64_t>(out[k]), std::bit_cast<std::uint64_t>(s0))
                << "d=" << d << " [" << starts[k] << ", " << end << ")";
          }
          ASSERT_EQ(got.all_finite, want.all_finite) << "d=" << d << " end=" << end;
          if (!want.all_finite) continue;
          ASSERT_EQ(got.index, want.index) << "d=" << d << " end=" << end;
          ASSERT_EQ(std::bit_cast<std::uint64_t>(got.objective),
                    std::bit_cast<std::uint64_t>(want.objective));
          ASSERT_EQ(got.max_score, want.max_score) << "d=" << d << " end=" << end;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The shared helpers.

// Approximate is refused before an overflowing size; the size computations overflow at every step.
TEST(CachePlanningTest, ChecksInOrder) {
  for (const auto policy : {core::CachePolicy::approximate(1, 0.1), core::CachePolicy::full(),
                            core::CachePolicy::budgeted(100)}) {
    EXPECT_EQ(outcome(plan_cache(policy, prefix_table_bytes(SIZE_MAX, 1, 16), "CostL2Mean",
                                 "L2Cache", SIZE_MAX, 1)),
              policy.kind == core::CachePolicyKind::Approximate
                  ? "not supported: CostL2Mean does not support CachePolicy::Approximate"
                  : "resource limit exceeded: cache size overflow while planning L2Cache for "
                    "n=18446744073709551615, d=1");
  }
  EXPECT_EQ(cache_overflow_err(3, 4).message(),
            "cache size overflow while planning ARCache for n=3, d=4");
  EXPECT_EQ(prefix_table_bytes(SIZE_MAX, 1, 8), std::nullopt);             // n + 1
  EXPECT_EQ(prefix_table_bytes(1ULL << 32, 1ULL << 32, 8), std::nullopt);  // (n + 1) * d
  EXPECT_EQ(prefix_table_bytes((1ULL << 60) - 1, 1, 16), std::nullopt);    // * 16
  EXPECT_EQ(prefix_table_bytes((1ULL << 59) - 1, 1, 16), (1ULL << 59) * 16);
  EXPECT_EQ(value_copy_bytes(1ULL << 61, 1, 8), std::nullopt);
  EXPECT_EQ(value_copy_bytes((1ULL << 61) - 1, 1, 8), ((1ULL << 61) - 1) * 8);
}

// The strided position's checks in order; reads report the first failing element in row order:
// (0, 1) is at 0 + 5 = 5, beyond the 4 stored values, while (1, 0) would be fine.
TEST(ReadingTest, ChecksInOrder) {
  const auto rows = test_support::data_rows("costs_strided_index.txt");
  ASSERT_EQ(rows.size(), 7u);
  for (const auto& r : rows) {
    const auto got =
        strided_linear_index(std::stoull(r.at(0)), std::stoull(r.at(1)), std::stoll(r.at(2)),
                             std::stoll(r.at(3)), std::stoull(r.at(4)));
    EXPECT_EQ(got ? std::to_string(*got) : got.error().display(), r.at(5));
  }
  const OwnedSeries s(std::vector<double>{1.0, 2.0, 3.0, 4.0}, 2, 2,
                      core::MemoryLayout::strided(1, 5));
  std::vector<double> out(4);
  EXPECT_EQ(outcome(read_row_major(s.view(), out)),
            "invalid input: strided index out of bounds at t=0, dim=1: idx=5, len=4");
  EXPECT_EQ(outcome(read_value(s.view(), 1, 1)),
            "invalid input: strided index out of bounds at t=1, dim=1: idx=6, len=4");
  EXPECT_EQ(read_value(s.view(), 1, 0).value(), 2.0);
}

// 1e16 + 1 + 1: the plain sum loses both ones (the spacing at 1e16 is 2), the compensated sum of
// Strict keeps them; the same for the squares of 1e8, 1, 1, in the tables a model builds (a
// leading 0 leaves the shift out of it).
TEST(PrefixTableTest, StrictSumsAndSumsOfSquaresAreCompensated) {
  const double big = 1e16;
  const OwnedSeries s(std::vector<double>{0.0, 1e8, 1.0, 1.0}, 4, 1);
  for (const auto mode : {core::ReproMode::Strict, core::ReproMode::Balanced}) {
    const double last = mode == core::ReproMode::Strict ? big + 2 : big;
    const std::vector<double> want = {0.0, 0.0, big, big, last};
    std::vector<double> sums = {0.0}, squares = {0.0};  // appended after what is there
    append_prefix_sums(std::vector{big, 1.0, 1.0}, mode, sums);
    append_prefix_sum_squares(std::vector{1e8, 1.0, 1.0}, mode, squares);
    EXPECT_EQ(sums, want);
    EXPECT_EQ(squares, want);
    EXPECT_EQ(CostL2Mean{mode}.precompute(s.view(), core::CachePolicy::full())->prefix_sum_sq,
              want);
  }
}

}  // namespace
}  // namespace ovrel::costs
