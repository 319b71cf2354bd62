// The WBS detector over the L2 mean cost model.
#include "ovrel/costs/l2.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostL2Mean)
