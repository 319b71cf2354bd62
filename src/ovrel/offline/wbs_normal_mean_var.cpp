// The WBS detector over the normal mean-variance cost model.
#include "ovrel/costs/normal.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostNormalMeanVar)
