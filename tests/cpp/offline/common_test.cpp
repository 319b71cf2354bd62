// The shared offline helpers: targets, backtracking, checked counters, penalty resolution.

#include "ovrel/offline/common.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/pelt_models.hpp"

namespace ovrel::offline {
namespace {

core::ValidatedConstraints candidates(std::vector<std::size_t> c) {
  core::ValidatedConstraints v;
  v.effective_candidates = std::move(c);
  return v;
}

TEST(BuildTargets, AppendsNUnlessAlreadyLast) {
  EXPECT_EQ(build_targets(candidates({}), 7), (std::vector<std::size_t>{7}));
  EXPECT_EQ(build_targets(candidates({3, 5}), 7), (std::vector<std::size_t>{3, 5, 7}));
  EXPECT_EQ(build_targets(candidates({3, 7}), 7), (std::vector<std::size_t>{3, 7}));
}

struct BacktrackCase {
  std::string name;
  std::size_t n;
  std::vector<std::size_t> prev;
  std::vector<std::size_t> breakpoints;  // empty: an error is expected
  std::string error;
};

class ReconstructBreakpoints : public ::testing::TestWithParam<BacktrackCase> {};

TEST_P(ReconstructBreakpoints, WalksThePredecessorChain) {
  const BacktrackCase& c = GetParam();
  auto r = reconstruct_breakpoints(c.n, c.prev);
  if (c.error.empty()) {
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(r->breakpoints, c.breakpoints);
    EXPECT_EQ(r->change_count, c.breakpoints.size() - 1);
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(r.error().message(), c.error);
  }
}

constexpr std::size_t X = kNone;
INSTANTIATE_TEST_SUITE_P(
    Tables, ReconstructBreakpoints,
    ::testing::Values(
        BacktrackCase{"chain", 6, {0, X, 0, X, 2, X, 4}, {2, 4, 6}, ""},
        BacktrackCase{"one_segment", 6, {0, X, X, X, X, X, 0}, {6}, ""},
        BacktrackCase{"longer_table", 2, {0, 0, 1, 9}, {1, 2}, ""},
        BacktrackCase{"self_loop",
                      6,
                      {0, X, X, X, X, X, 6},
                      {},
                      "invalid DP backtrack state: predecessor tau=6 is not < t=6"},
        BacktrackCase{"missing",
                      6,
                      {0, X, X, X, X, X, 4},
                      {},
                      "invalid DP backtrack state: missing predecessor at t=4"},
        BacktrackCase{"missing_at_n",
                      3,
                      {0, X, X, X},
                      {},
                      "invalid DP backtrack state: missing predecessor at t=3"},
        // A table shorter than n + 1 is refused before anything is read from it.
        BacktrackCase{"short_table",
                      6,
                      {0, X, 0},
                      {},
                      "invalid DP backtrack state: predecessor table has 3 entries; expected "
                      "n + 1 = 7"},
        // There is no segmentation of an empty series to walk back.
        BacktrackCase{
            "empty_series", 0, {0}, {}, "invalid DP backtrack state: requires n >= 1; got n=0"}),
    [](const auto& info) { return info.param.name; });

TEST(CheckedCounterIncrement, FailsAtTheMaximumAndKeepsTheValue) {
  std::uint64_t c = UINT64_MAX - 1;
  ASSERT_TRUE(checked_counter_increment(c, "known_k_iterations").has_value());
  EXPECT_EQ(c, UINT64_MAX);
  auto r = checked_counter_increment(c, "known_k_iterations");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::ResourceLimit);
  EXPECT_EQ(r.error().message(), "known_k_iterations counter overflow");
  EXPECT_EQ(c, UINT64_MAX);
}

TEST(NormalizedCancelCheckEvery, ReadsZeroAsOne) {
  EXPECT_EQ(normalized_cancel_check_every(0), 1u);
  EXPECT_EQ(normalized_cancel_check_every(1000), 1000u);
}

// ---------------------------------------------------------------------------------------------
// Penalty resolution.

struct ResolveCase {
  std::string name;
  core::Penalty penalty;
  std::size_t n;
  std::size_t d;
  std::size_t params;
  double beta;
  std::string_view source;
  std::size_t reported;
};

template <class C>
void expect_resolution(const C& model, const ResolveCase& c) {
  auto r = resolve_penalty_beta(model, c.penalty, c.n, c.d, c.params);
  ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().display();
  EXPECT_EQ(r->beta, c.beta) << c.name;
  EXPECT_EQ(r->params_source, c.source) << c.name;
  EXPECT_EQ(r->params_per_segment, c.reported) << c.name;
  EXPECT_EQ(r->penalty, c.penalty) << c.name;
}

TEST(ResolvePenaltyBeta, ModelDefaultsOverridesAndManualValues) {
  const double ln100 = std::log(100.0);
  expect_resolution(costs::CostL2Mean{},
                    {"l2_bic", core::Penalty::bic(), 100, 1, 2, 2.0 * ln100, "model_default", 2});
  expect_resolution(costs::CostL1Median{}, {"l1_bic_d3", core::Penalty::bic(), 100, 3, 2,
                                            6.0 * ln100, "model_default", 2});
  expect_resolution(costs::CostRank{},
                    {"rank_aic", core::Penalty::aic(), 10, 2, 2, 8.0, "model_default", 2});
  expect_resolution(costs::CostNormalMeanVar{}, {"normal_bic_d2", core::Penalty::bic(), 100, 2, 2,
                                                 6.0 * ln100, "model_default", 3});
  expect_resolution(costs::CostNIGMarginal{},
                    {"nig_aic", core::Penalty::aic(), 50, 1, 2, 6.0, "model_default", 3});
  expect_resolution(costs::CostCosine{}, {"cosine_bic_d4", core::Penalty::bic(), 100, 4, 2,
                                          5.0 * ln100, "model_default", 2});
  expect_resolution(costs::CostNormalFullCov{}, {"full_cov_bic_d2", core::Penalty::bic(), 100, 2, 2,
                                                 6.0 * ln100, "model_default", 3});
  expect_resolution(costs::CostAR{1},
                    {"ar1_aic", core::Penalty::aic(), 100, 1, 2, 6.0, "model_default", 3});
  expect_resolution(costs::CostAR{3},
                    {"ar3_aic_d2", core::Penalty::aic(), 100, 2, 2, 20.0, "model_default", 5});
  expect_resolution(costs::CostNormalMeanVar{}, {"override", core::Penalty::bic(), 100, 2, 3,
                                                 6.0 * ln100, "config_override", 3});
  expect_resolution(costs::CostNormalMeanVar{}, {"override_4", core::Penalty::bic(), 100, 2, 4,
                                                 8.0 * ln100, "config_override", 4});
  expect_resolution(costs::CostL2Mean{},
                    {"manual", core::Penalty::manual(5.0), 100, 1, 7, 5.0, "config", 7});
}

struct ResolveErrorCase {
  std::string name;
  core::Penalty penalty;
  std::size_t n;
  std::size_t d;
  std::size_t params;
  std::string message;
};

class ResolvePenaltyBetaErrors : public ::testing::TestWithParam<ResolveErrorCase> {};

TEST_P(ResolvePenaltyBetaErrors, NameTheOffendingValue) {
  const ResolveErrorCase& c = GetParam();
  auto r = resolve_penalty_beta(costs::CostL2Mean{}, c.penalty, c.n, c.d, c.params);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(r.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolvePenaltyBetaErrors,
    ::testing::Values(
        ResolveErrorCase{"manual_zero_params", core::Penalty::manual(5.0), 10, 1, 0,
                         "resolved params_per_segment must be >= 1; got 0"},
        ResolveErrorCase{"bic_zero_params", core::Penalty::bic(), 10, 1, 0,
                         "resolved params_per_segment must be >= 1; got 0"},
        ResolveErrorCase{"bic_n1", core::Penalty::bic(), 1, 1, 2,
                         "resolved penalty must be finite and > 0.0; got beta=0"},
        ResolveErrorCase{"override_overflow", core::Penalty::bic(), 10, 4, std::size_t{1} << 62,
                         "effective params overflow: d * params_per_segment exceeds usize "
                         "(d=4, params_per_segment=4611686018427387904)"},
        ResolveErrorCase{"default_overflow", core::Penalty::aic(), 10, std::size_t{1} << 63, 2,
                         "model_default effective-params overflow for d=9223372036854775808, "
                         "model=l2_mean"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace ovrel::offline
