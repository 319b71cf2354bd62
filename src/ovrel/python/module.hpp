#pragma once

// The registration of each area of the module, called by the start-up in this order, which is the
// order of `__all__`.

#include <nanobind/nanobind.h>

namespace ovrel::python {

namespace nb = nanobind;

// BuildInfo, PruningStats, SegmentStats, Diagnostics, OfflineChangePointResult, in that order.
void register_result_classes(nb::module_& m);
// OnlineStepResult, right after the offline result classes.
void register_online_step_result(nb::module_& m);
void register_estimator_classes(nb::module_& m);
// Bocpd, Cusum, PageHinkley, then _BocpdState, _CusumState, _PageHinkleyState.
void register_online_classes(nb::module_& m);
void register_smoke_class(nb::module_& m);
void register_detect_offline(nb::module_& m);
void register_smoke_function(nb::module_& m);

}  // namespace ovrel::python
