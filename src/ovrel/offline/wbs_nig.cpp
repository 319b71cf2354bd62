// The WBS detector over the normal-inverse-gamma marginal cost model.
#include "ovrel/costs/nig.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostNIGMarginal)
