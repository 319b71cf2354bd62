// The WBS detector over the autoregressive cost model.
#include "ovrel/costs/ar.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostAR)
