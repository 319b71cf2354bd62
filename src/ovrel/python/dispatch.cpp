#include "ovrel/python/dispatch.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/offline/dispatch.hpp"
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

offline::CostKind offline_cost_kind(PyCostModel cost) {
  switch (cost) {
    case PyCostModel::Cosine:
      return offline::CostKind::Cosine;
    case PyCostModel::L1Median:
      return offline::CostKind::L1Median;
    case PyCostModel::L2:
      return offline::CostKind::L2;
    case PyCostModel::Normal:
      return offline::CostKind::Normal;
    case PyCostModel::NormalFullCov:
      return offline::CostKind::NormalFullCov;
    case PyCostModel::Rank:
      return offline::CostKind::Rank;
  }
  throw InternalError("unknown Python cost model");
}

// The configurations of this road, the same for every cost model: no parameter count (the cost
// model's own applies) and the runtime checks every 1000 iterations.
offline::OfflineDetectorConfig detector_config(DetectorKind kind, core::Stopping stopping) {
  switch (kind) {
    case DetectorKind::Pelt:
      return offline::PeltConfig{.stopping = std::move(stopping), .cancel_check_every = 1000};
    case DetectorKind::Binseg:
      return offline::BinSegConfig{.stopping = std::move(stopping), .cancel_check_every = 1000};
    case DetectorKind::Fpop:
      return offline::FpopConfig{.stopping = std::move(stopping), .cancel_check_every = 1000};
    case DetectorKind::Dynp:
      return offline::DynpConfig{.stopping = std::move(stopping), .cancel_check_every = 1000};
  }
  throw InternalError("unknown offline detector kind");
}

}  // namespace

core::Result<core::OfflineChangePointResult> detect_with_view(DetectorKind kind, PyCostModel cost,
                                                              const core::TimeSeriesView& view,
                                                              const core::Constraints& constraints,
                                                              core::Stopping stopping,
                                                              core::ReproMode repro_mode,
                                                              core::InterruptPoll* interrupt) {
  offline::OfflineDetectorConfig detector = detector_config(kind, std::move(stopping));
  const offline::CostKind cost_kind = offline_cost_kind(cost);
  if (!offline::pair_exists(detector, cost_kind)) {
    return core::invalid_input("detector='fpop' requires cost='l2'");
  }
  return offline::run_pair(std::move(detector), cost_kind, view, constraints, repro_mode,
                           interrupt);
}

}  // namespace ovrel::python
