#pragma once

// The cost models PELT is built for, as test type lists, with how each is made for a test.

#include <string>

#include <gtest/gtest.h>

#include "ovrel/core/constraints.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace ovrel::offline::testing {

using AllPeltModels =
    ::testing::Types<costs::CostL2Mean, costs::CostL1Median, costs::CostNormalMeanVar,
                     costs::CostNormalFullCov, costs::CostNIGMarginal, costs::CostCosine,
                     costs::CostRank, costs::CostAR>;

template <class C>
C make_model() {
  return C{};
}

// Dimensions of the oracle's series: the full-covariance model is tried on two.
template <class C>
constexpr std::size_t oracle_dims() {
  return std::is_same_v<C, costs::CostNormalFullCov> ? 2 : 1;
}

// Settings a model needs on tiny segments: finite costs for the full covariance.
template <class C>
void adjust_for_model(core::Constraints& c, [[maybe_unused]] bool pruned = true) {
  if constexpr (std::is_same_v<C, costs::CostNormalFullCov>) {
    if (c.min_segment_len < 3) c.min_segment_len = 3;
  }
}

struct ModelNames {
  template <class C>
  static std::string GetName(int) {
    return std::string(C::name());
  }
};

}  // namespace ovrel::offline::testing
