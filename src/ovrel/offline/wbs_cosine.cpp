// The WBS detector over the cosine cost model.
#include "ovrel/costs/cosine.hpp"
#include "ovrel/offline/wbs_impl.hpp"

OVREL_INSTANTIATE_WBS(::ovrel::costs::CostCosine)
