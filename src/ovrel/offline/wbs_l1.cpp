// The WBS detector over the L1 median cost model.
#include "ovrel/costs/l1.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostL1Median)
