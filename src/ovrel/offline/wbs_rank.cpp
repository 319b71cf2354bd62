// The WBS detector over the rank cost model.
#include "ovrel/costs/rank.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostRank)
