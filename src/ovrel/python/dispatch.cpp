#include "ovrel/python/dispatch.hpp"

#include <cmath>
#include <string>
#include <type_traits>
#include <utility>

#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"
#include "ovrel/offline/binseg.hpp"
#include "ovrel/offline/common.hpp"
#include "ovrel/offline/dynp.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

std::optional<PyCostModel> parse_cost_model(std::string_view text) {
  const std::string lower = ascii_lower(std::string(text));
  if (lower == "cosine") return PyCostModel::Cosine;
  if (lower == "l1_median" || lower == "l1") return PyCostModel::L1Median;
  if (lower == "l2") return PyCostModel::L2;
  if (lower == "normal") return PyCostModel::Normal;
  if (lower == "normal_full_cov" || lower == "normal_fullcov" || lower == "normalfullcov") {
    return PyCostModel::NormalFullCov;
  }
  if (lower == "rank") return PyCostModel::Rank;
  return std::nullopt;
}

PyCostModel parse_cost_model_or_raise(std::string_view text) {
  if (auto model = parse_cost_model(text)) return *model;
  raise(PyExc_ValueError, cat("unsupported model '", text,
                              "'; expected one of: 'cosine', 'l1_median', 'l2', 'normal', "
                              "'normal_full_cov', 'rank'"));
}

const char* cost_model_keyword(PyCostModel model) {
  switch (model) {
    case PyCostModel::Cosine:
      return "cosine";
    case PyCostModel::L1Median:
      return "l1_median";
    case PyCostModel::L2:
      return "l2";
    case PyCostModel::Normal:
      return "normal";
    case PyCostModel::NormalFullCov:
      return "normal_full_cov";
    case PyCostModel::Rank:
      return "rank";
  }
  return "l2";
}

core::Stopping resolve_stopping(std::string_view context, std::optional<double> pen,
                                std::optional<std::size_t> n_bkps) {
  if (!pen) {
    if (!n_bkps)
      raise(PyExc_ValueError, cat(context, " requires exactly one of pen or n_bkps; got neither"));
    if (*n_bkps == 0)
      raise(PyExc_ValueError, cat(context, " with n_bkps=... requires n_bkps >= 1; got 0"));
    return core::Stopping::known_k(*n_bkps);
  }
  if (n_bkps)
    raise(PyExc_ValueError, cat(context, " requires exactly one of pen or n_bkps; got both"));
  if (!std::isfinite(*pen) || !(*pen > 0.0)) {
    raise(PyExc_ValueError,
          cat(context, " with pen=... requires a finite value > 0.0; got ", *pen));
  }
  return core::Stopping::penalized(core::Penalty::manual(*pen));
}

core::Result<core::OfflineChangePointResult> detect_with_spec(DetectorKind kind, PyCostModel cost,
                                                              const OwnedSeries& series,
                                                              const core::Constraints& constraints,
                                                              core::Stopping stopping,
                                                              core::ReproMode repro_mode,
                                                              core::InterruptPoll* interrupt) {
  OVREL_TRY_ASSIGN(const core::TimeSeriesView view, series.view());
  return detect_with_view(kind, cost, view, constraints, std::move(stopping), repro_mode,
                          interrupt);
}

namespace {

template <class C>
core::Result<core::OfflineChangePointResult> run_on_model(DetectorKind kind,
                                                          const core::TimeSeriesView& view,
                                                          const core::ExecutionContext& context,
                                                          core::Stopping stopping, C model) {
  switch (kind) {
    case DetectorKind::Pelt: {
      offline::PeltConfig config{std::move(stopping), 2, 1000};
      OVREL_TRY(config.validate());
      const offline::Pelt<C> detector{std::move(config), model};
      return detector.detect(view, context);
    }
    case DetectorKind::Binseg: {
      offline::BinSegConfig config{std::move(stopping), 0, 1000};
      OVREL_TRY(config.validate());
      const offline::BinSeg<C> detector{std::move(config), model};
      return detector.detect(view, context);
    }
    case DetectorKind::Fpop:
      if constexpr (std::is_same_v<C, costs::CostL2Mean>) {
        OVREL_TRY_ASSIGN(
            const offline::Fpop detector,
            offline::Fpop::create(model, offline::FpopConfig{std::move(stopping), 2, 1000}));
        return detector.detect(view, context);
      } else {
        // detect_with_view refuses every other cost before it gets here.
        return core::invalid_input("detector='fpop' requires cost='l2'");
      }
    case DetectorKind::Dynp: {
      offline::DynpConfig config{std::move(stopping), 1000};
      OVREL_TRY(config.validate());
      const offline::Dynp<C> detector{std::move(config), model};
      return detector.detect(view, context);
    }
  }
  return core::not_supported("unknown detector");
}

}  // namespace

namespace {

core::Result<core::OfflineChangePointResult> run_with_cost(DetectorKind kind, PyCostModel cost,
                                                           const core::TimeSeriesView& view,
                                                           const core::ExecutionContext& context,
                                                           core::Stopping stopping,
                                                           core::ReproMode repro_mode) {
  switch (cost) {
    case PyCostModel::Cosine:
      return run_on_model(kind, view, context, std::move(stopping), costs::CostCosine{repro_mode});
    case PyCostModel::L1Median:
      return run_on_model(kind, view, context, std::move(stopping),
                          costs::CostL1Median{repro_mode});
    case PyCostModel::L2:
      return run_on_model(kind, view, context, std::move(stopping), costs::CostL2Mean{repro_mode});
    case PyCostModel::Normal:
      return run_on_model(kind, view, context, std::move(stopping),
                          costs::CostNormalMeanVar{repro_mode});
    case PyCostModel::NormalFullCov:
      return run_on_model(kind, view, context, std::move(stopping),
                          costs::CostNormalFullCov{repro_mode});
    case PyCostModel::Rank:
      return run_on_model(kind, view, context, std::move(stopping), costs::CostRank{repro_mode});
  }
  return core::invalid_input("unknown cost model");
}

std::string_view cost_model_name(PyCostModel cost) {
  switch (cost) {
    case PyCostModel::Normal:
      return costs::CostNormalMeanVar::name();
    case PyCostModel::NormalFullCov:
      return costs::CostNormalFullCov::name();
    default:
      return cost_model_keyword(cost);
  }
}

}  // namespace

core::Result<core::OfflineChangePointResult> detect_with_view(DetectorKind kind, PyCostModel cost,
                                                              const core::TimeSeriesView& view,
                                                              const core::Constraints& constraints,
                                                              core::Stopping stopping,
                                                              core::ReproMode repro_mode,
                                                              core::InterruptPoll* interrupt) {
  if (kind == DetectorKind::Fpop && cost != PyCostModel::L2) {
    return core::invalid_input("detector='fpop' requires cost='l2'");
  }
  core::Constraints run_constraints = constraints;
  const std::optional<std::string> raised = offline::raise_min_segment_len_for_model(
      run_constraints, cost_model_name(cost), view.n(), view.d());
  core::ExecutionContext context(run_constraints, repro_mode, core::BudgetMode::HardFail);
  context.interrupt = interrupt;
  const core::InterruptScope in_evaluations(interrupt);
  auto result = run_with_cost(kind, cost, view, context, std::move(stopping), repro_mode);
  if (result && raised) result->diagnostics.notes.push_back(*raised);
  return result;
}

}  // namespace ovrel::python
