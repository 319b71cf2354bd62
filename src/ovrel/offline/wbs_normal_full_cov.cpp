// The WBS detector over the normal full-covariance cost model.
#include "ovrel/costs/normal.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostNormalFullCov)
