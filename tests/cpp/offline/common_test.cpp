// The shared offline plumbing: checked counters, the check cadence, and from
// tests/data/offline_messages.txt the backtracking, the three penalty resolutions (PELT, FPOP and
// WBS share one; BinSeg and Dynp have their own), the Dynp table estimate and the kernels'
// refusals.

#include "ovrel/offline/common.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/dynp_impl.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt_impl.hpp"
#include "test_data.hpp"

namespace ovrel::offline {
namespace {

using core::Penalty;

TEST(CheckedCounters, FailAtTheMaximumAndSaturate) {
  std::uint64_t c = UINT64_MAX - 1;
  ASSERT_TRUE(checked_counter_increment(c, "cost_evals"));
  EXPECT_EQ(checked_counter_increment(c, "cost_evals").error(),
            OvrelError::resource_limit("cost_evals counter overflow"));
  EXPECT_EQ(c, UINT64_MAX);
  std::uint64_t a = 5;
  ASSERT_TRUE(checked_counter_add(a, 7, "x"));
  EXPECT_EQ(a, 12u);
  EXPECT_EQ(checked_counter_add(a, UINT64_MAX - 11, "run_cost_evals").error(),
            OvrelError::resource_limit("run_cost_evals counter overflow"));
  EXPECT_EQ(a, UINT64_MAX);
}

// The cadence of the hot loops decides exactly as the periodic check's remainder does, up to the
// top of the counter.
TEST(CheckCadence, AgreesWithTheRemainderFromAnyStart) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  const std::uint64_t starts[][2] = {{0, 1},         {0, 7},           {5, 7},
                                     {999, 1000},    {1000, 1000},     {kMax - 20, 7},
                                     {kMax - 20, 1}, {kMax - 20, kMax}};
  for (const auto& [first, every] : starts) {
    CheckCadence cadence(first, every);
    for (std::uint64_t it = first + 1; it != 0 && it - first <= 3000; ++it) {
      ASSERT_EQ(cadence.due(it), it % every == 0) << "every=" << every << " it=" << it;
    }
  }
  CheckCadence never(0, 0);
  for (std::uint64_t it = 1; it < 100; ++it) EXPECT_FALSE(never.due(it));
}

std::uint64_t number(const std::string& text) { return std::stoull(text); }

// Words read by strtod, so "nan" and "inf" are numbers; "none" is the empty list.
std::vector<double> numbers(const std::string& text) {
  std::vector<double> out;
  std::istringstream words(text == "none" ? "" : text);
  for (std::string w; words >> w;) out.push_back(std::strtod(w.c_str(), nullptr));
  return out;
}

template <class C>
void expect_penalty(const C& model, const std::vector<std::string>& r) {
  std::istringstream words(r.at(3));
  const Penalty penalty = testing::penalty_of(words);
  const std::size_t n = number(r.at(4)), d = number(r.at(5)), params = number(r.at(6));
  const auto got = r[1] == "shared"   ? resolve_penalty_beta(model, penalty, n, d, params)
                   : r[1] == "binseg" ? binseg::resolve_penalty_beta(model, penalty, n, d, params)
                                      : dynp::resolve_penalty_beta(model, penalty, n, d);
  if (r.at(7) == "error") {
    EXPECT_EQ(got.error(), OvrelError::invalid_input(r.at(8)));
    return;
  }
  ASSERT_TRUE(got.has_value()) << got.error().display();
  const double beta = r[7].ends_with(" ln")
                          ? std::strtod(r[7].c_str(), nullptr) * std::log(static_cast<double>(n))
                          : std::strtod(r[7].c_str(), nullptr);
  EXPECT_EQ(got->beta, beta);
  EXPECT_EQ(got->params_source, r.at(8));
  EXPECT_EQ(got->params_per_segment, number(r.at(9)));
  EXPECT_EQ(got->penalty, penalty);
}

template <class R>
core::Status status_of(const R& result) {
  if (result) return {};
  return std::unexpected(result.error());
}

void expect_refusal(const std::vector<std::string>& r) {
  const auto s = testing::noisy_steps(number(r.at(2)), 1, 20, 5.0, 0.3, 7);
  const std::string& kernel = r.at(1);
  const std::vector<double> args = numbers(r.at(4));
  core::Constraints c = testing::constraints_with(number(r.at(3)), 1);
  if (kernel == "dynp_sweep" && args.size() > 1) {
    c.memory_budget_bytes = static_cast<std::uint64_t>(args[1]);
  }
  const auto v = testing::validated(c, s.n);
  const core::ExecutionContext ctx(c);
  const auto now = std::chrono::steady_clock::now();
  const costs::CostL2Mean m;
  const auto cache = *m.precompute(s.view(), core::CachePolicy::full());
  const bool pelt = kernel.starts_with("pelt");
  const double beta = args.empty() ? 0.0 : args[0];
  const auto k = static_cast<std::size_t>(beta);
  RunStats st;
  core::Status got;
  if (kernel.ends_with("_penalized")) {
    got = status_of(pelt ? run_pelt_penalized(m, cache, s.n, v, beta, true, 1000, ctx, now, st)
                         : run_fpop_penalized(m, cache, s.n, v, beta, true, 1, ctx, now, st));
  } else if (kernel == "pelt_penalty_path" || kernel == "fpop_penalty_path") {
    got = status_of(pelt ? run_pelt_penalty_path(m, cache, s.n, v, args, 1, ctx, now, st)
                         : run_fpop_penalty_path(m, cache, s.n, v, args, 1, ctx, now, st));
  } else if (kernel == "dynp_known_k") {
    got = status_of(dynp::run_dynp_known_k(m, cache, s.n, v, k, 1000, ctx, now, st));
  } else if (kernel == "dynp_penalty_path") {
    got = status_of(dynp::run_dynp_penalty_path(m, cache, s.view(), v, args, 1000, ctx, now, st));
  } else {
    got = status_of(dynp::run_dynp_sweep(m, cache, s.n, v, k, 1000, ctx, now, st));
  }
  if (r.at(5) == "ok") {
    EXPECT_TRUE(got.has_value()) << got.error().display();
    return;
  }
  EXPECT_EQ(got.error(), r[5] == "ResourceLimit" ? OvrelError::resource_limit(r.at(6))
                                                 : OvrelError::invalid_input(r.at(6)))
      << got.error().display();
  // Dynp refuses before its first cost.
  if (kernel.starts_with("dynp")) {
    EXPECT_EQ(st.cost_evals, 0u);
  }
}

class OfflineMessages : public ::testing::TestWithParam<std::vector<std::string>> {};

// The model's floor of min_segment_len: raised up to it (never above n), with the note; a larger
// minimum, other models and an invalid 0 are left alone.
TEST(ModelMinimumSegment, RaisesToTheModelFloorOnly) {
  struct Row {
    std::string_view model;
    std::size_t d, n, from, to;
    const char* note;
  };
  const Row rows[] = {
      {"normal_full_cov", 5, 400, 2, 6,
       "min_segment_len raised from 2 to 6: normal_full_cov needs at least 6 points per segment"},
      {"normal_full_cov", 20, 400, 7, 21,
       "min_segment_len raised from 7 to 21: normal_full_cov needs at least 21 points per segment"},
      {"normal_full_cov", 5, 4, 2, 4,
       "min_segment_len raised from 2 to 4: normal_full_cov needs at least 6 points per segment"},
      {"normal_full_cov", 5, 400, 6, 6, nullptr},
      {"normal_full_cov", 1, 400, 2, 2, nullptr},
      {"normal_full_cov", 5, 400, 0, 0, nullptr},
      {"normal_mean_var", 3, 300, 1, 2,
       "min_segment_len raised from 1 to 2: normal_mean_var needs at least 2 points per segment"},
      {"normal_mean_var", 1, 1, 1, 1, nullptr},
      {"l2_mean", 5, 400, 1, 1, nullptr},
      {"", 5, 400, 1, 1, nullptr},
  };
  for (const Row& row : rows) {
    core::Constraints c;
    c.min_segment_len = row.from;
    const auto note = raise_min_segment_len_for_model(c, row.model, row.n, row.d);
    EXPECT_EQ(c.min_segment_len, row.to) << row.model << " d=" << row.d << " n=" << row.n;
    EXPECT_EQ(note.value_or("none"), row.note ? row.note : "none");
  }
  EXPECT_EQ(model_min_segment_len("normal_full_cov", SIZE_MAX), SIZE_MAX);
}

TEST(OfflineMessages, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("offline_messages.txt").size(), 56u);
}

TEST_P(OfflineMessages, Row) {
  const auto& r = GetParam();
  if (r.at(0) == "penalty") {
    costs::CostAR ar_max;
    ar_max.order = SIZE_MAX;
    const std::string& model = r.at(2);
    if (model == "l2") expect_penalty(costs::CostL2Mean{}, r);
    if (model == "normal") expect_penalty(costs::CostNormalMeanVar{}, r);
    if (model == "nig") expect_penalty(costs::CostNIGMarginal{}, r);
    if (model == "cosine") expect_penalty(costs::CostCosine{}, r);
    if (model == "rank") expect_penalty(costs::CostRank{}, r);
    if (model == "ar1") expect_penalty(costs::CostAR{1}, r);
    if (model == "ar3") expect_penalty(costs::CostAR{3}, r);
    if (model == "ar_max") expect_penalty(ar_max, r);
  } else if (r[0] == "refuse") {
    expect_refusal(r);
  } else if (r[0] == "backtrack") {
    std::vector<std::size_t> prev;
    for (const double p : numbers(r.at(2)))
      prev.push_back(std::isnan(p) ? kNone : static_cast<std::size_t>(p));
    const auto got = reconstruct_breakpoints(number(r.at(1)), prev);
    if (!got) {
      EXPECT_EQ(got.error(), OvrelError::invalid_input(r.at(3)));
    } else {
      EXPECT_EQ(core::list_text(std::span(got->breakpoints)), r.at(3));
      EXPECT_EQ(got->change_count, got->breakpoints.size() - 1);
    }
  } else {
    ASSERT_EQ(r[0], "dynp_state");
    const auto got = dynp::estimate_dynp_sweep_state_bytes(number(r.at(1)), number(r.at(2)));
    if (r.at(3).ends_with("overflow")) {
      EXPECT_EQ(got.error(), OvrelError::resource_limit(r[3]));
    } else {
      EXPECT_EQ(got.value(), number(r[3]));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, OfflineMessages,
                         ::testing::ValuesIn(test_support::data_rows("offline_messages.txt")));

}  // namespace
}  // namespace ovrel::offline
