// Edge cases of each model's formula, its guards and clamps, overflowing data and its own
// parameters, most as rows of tables under tests/data; the segment precondition, and the
// full-covariance model's fallback and per-thread workspace.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/table_test.hpp"
#include "costs/series_samples.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"

namespace ovrel::costs {
namespace {

using test_support::numbers;

template <CostModel C>
typename C::Cache cache_of(const C& model, const std::vector<double>& rows, std::size_t d) {
  OwnedSeries series(rows, rows.size() / d, d);
  return model.precompute(series.view(), core::CachePolicy::full()).value();
}

// Calls f with the model a table row names: l2, normal, full_cov, cosine, ar<order>, or nig with
// the default prior or "nig mu0 kappa0 alpha0 beta0".
template <class F>
void with_model(const std::string& name, core::ReproMode mode, F f) {
  if (name == "l2") return f(CostL2Mean{mode});
  if (name == "normal") return f(CostNormalMeanVar{mode});
  if (name == "full_cov") return f(CostNormalFullCov{mode});
  if (name == "cosine") return f(CostCosine{mode});
  if (name.starts_with("ar")) return f(CostAR{std::stoull(name.substr(2)), mode});
  ASSERT_TRUE(name.starts_with("nig")) << name;
  const std::vector<double> p = numbers<double>(name.substr(3));
  f(CostNIGMarginal{p.empty() ? NIGPrior{} : NIGPrior{p[0], p[1], p[2], p[3]}, mode});
}

// A cost against a table's expectation: an exact number, "~number [tolerance, 1e-12 unless
// given]", "+0" (not -0), "nan" or "nonfinite".
void expect_cost(double got, const std::string& want) {
  if (want == "nan" || want == "nonfinite") {
    EXPECT_TRUE(want == "nan" ? std::isnan(got) : !std::isfinite(got)) << got;
  } else if (want == "+0") {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got), 0u) << got;
  } else if (want.starts_with("~")) {
    const std::vector<double> near = numbers<double>(want.substr(1));
    EXPECT_NEAR(got, near.at(0), near.size() > 1 ? near[1] : 1e-12);
  } else {
    EXPECT_EQ(got, std::strtod(want.c_str(), nullptr));
  }
}

TEST(EdgeCaseTable, HandMadeSeries) {
  const auto rows = test_support::data_rows("costs_edge_cases.txt");
  ASSERT_EQ(rows.size(), 33u);
  for (const auto& r : rows) {
    const auto mode = r.at(1) == "strict" ? core::ReproMode::Strict : core::ReproMode::Balanced;
    with_model(r[0], mode, [&](const auto& model) {
      const auto cache = cache_of(model, numbers<double>(r.at(3)), std::stoull(r.at(2)));
      std::istringstream segments(r.at(4));
      for (std::size_t start, end; segments >> start && segments.ignore() >> end;) {
        SCOPED_TRACE(r[0] + " " + r[1] + " " + r[3] + " [" + std::to_string(start) + ", " +
                     std::to_string(end) + ")");
        expect_cost(model.segment_cost(cache, start, end), r.at(5));
      }
    });
  }
}

TEST(EdgeCaseTable, HandMadeSums) {
  const auto rows = test_support::data_rows("costs_sums.txt");
  ASSERT_EQ(rows.size(), 14u);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.at(0) + " " + r.at(1) + " " + r.at(2));
    const auto check = [&](const auto& model) {
      const std::vector<double> s1 = numbers<double>(r[1]), s2 = numbers<double>(r[2]);
      typename std::remove_cvref_t<decltype(model)>::Cache c{{}, {}, 1, s1.size()};
      for (std::size_t j = 0; j < s1.size(); ++j) {
        c.prefix_sum.insert(c.prefix_sum.end(), {0.0, s1[j]});
        c.prefix_sum_sq.insert(c.prefix_sum_sq.end(), {0.0, s2.at(j)});
      }
      const double got = model.segment_cost(c, 0, 1);
      expect_cost(got, r.at(3));
      double batch = 0.0;
      model.segment_costs_to_end(c, 0, 1, 1, &batch);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(batch), std::bit_cast<std::uint64_t>(got));
    };
    r[0] == "l2" ? check(CostL2Mean{}) : check(CostNormalMeanVar{});
  }
}

TEST(EdgeCaseTable, ParameterAndPlanRefusals) {
  const auto rows = test_support::data_rows("costs_refusals.txt");
  ASSERT_EQ(rows.size(), 12u);
  const OwnedSeries s(uniform_rows(13, 3, 12), 13, 3, Layout::F, Width::F32);
  for (const auto& r : rows) {
    const auto policy = r.at(1) == "approximate"
                            ? core::CachePolicy::approximate(8, 0.1)
                            : core::CachePolicy::budgeted(numbers<std::uint64_t>(r[1] + " 0")[1]);
    with_model(r.at(0), core::kDefaultReproMode, [&](const auto& model) {
      EXPECT_EQ(r[1] == "validate" ? outcome(model.validate(s.view()))
                                   : outcome(model.precompute(s.view(), policy)),
                r.at(2))
          << r[0] << " " << r[1];
    });
  }
  EXPECT_EQ(CostAR{3}.penalty_effective_params(2), 10u);
  EXPECT_EQ(CostAR{SIZE_MAX - 1}.penalty_effective_params(1), SIZE_MAX);
  EXPECT_EQ(CostAR{SIZE_MAX}.penalty_effective_params(2), std::nullopt);
}

// A violated precondition is a caller's bug, stopped before anything is read; the batch form
// checks its whole range, and nothing when nothing is asked.
TEST(SegmentPreconditionTest, ViolationsStopBeforeReading) {
  const CostL2Mean model;
  const auto cache = cache_of(model, {1.0, 2.0, 3.0}, 1);
  const auto what = [](auto call) {
    try {
      call();
    } catch (const InternalError& e) {
      return std::string(e.what());
    }
    return std::string("no internal error");
  };
  EXPECT_EQ(what([&] { (void)model.segment_cost(cache, 2, 2); }),
            "segment_cost requires start < end; got start=2, end=2");
  EXPECT_EQ(what([&] { (void)model.segment_cost(cache, 0, 4); }),
            "segment_cost end out of bounds: end=4, n=3");
  std::vector<double> out(4);
  EXPECT_THROW(model.segment_costs_to_end(cache, 0, 4, 4, out.data()), InternalError);
  EXPECT_THROW(model.segment_costs_to_end(cache, 1, 3, 3, out.data()), InternalError);
  EXPECT_THROW(model.segment_costs_to_end(cache, 3, 1, 3, out.data()), InternalError);
  model.segment_costs_to_end(cache, 0, 0, 9, out.data());
}

TEST(NIGCost, LnGammaAgreesWithTheLibraryAcrossItsBranches) {
  // Below 1e-8 the value is -ln(x), which leaves out the Euler-gamma term of about 0.58 x.
  for (double x : {1e-12, 5e-9}) EXPECT_EQ(ln_gamma(x), -std::log(x));
  for (double x : {1e-8, 1e-4, 0.1, 0.4999, 0.5, 0.75, 1.0, 1.5, 2.0, 3.7, 55.5, 171.0, 1e4}) {
    const double want = static_cast<double>(std::lgamma(static_cast<long double>(x)));
    EXPECT_NEAR(ln_gamma(x), want, 1e-12 * (1.0 + std::fabs(want))) << x;
  }
}

TEST(NormalFullCovTest, FallbackAfterEightFailedFactorisations) {
  // Scaled to [[0, 1], [1, 0]]: indefinite until the jitter exceeds 1, which a ridge at the floor
  // never reaches in eight attempts.
  std::vector<double> matrix = {0.0, 1e6, 1e6, 0.0}, scratch(4);
  double lambda = kVarianceFloor;
  for (int i = 0; i < 8; ++i) lambda = lambda * 10.0;
  EXPECT_EQ(regularized_logdet_with_scratch(matrix, scratch, 2, kVarianceFloor),
            std::log(lambda) * 2.0);
}

TEST(NormalFullCovTest, WorkspaceReuseMatchesAFreshThread) {
  const CostNormalFullCov model;
  const auto cost = [&](std::size_t d, std::uint32_t seed) {
    return model.segment_cost(cache_of(model, uniform_rows(8, d, seed), d), 1, 7);
  };
  double fresh = 0.0, reused = 0.0;
  std::thread([&] { fresh = cost(2, 31); }).join();
  std::thread([&] { reused = (cost(5, 32), cost(2, 31)); }).join();
  EXPECT_EQ(reused, fresh);
  EXPECT_EQ(cost(2, 31), fresh);
}

}  // namespace
}  // namespace ovrel::costs
