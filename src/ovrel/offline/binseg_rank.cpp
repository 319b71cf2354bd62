// The binary-segmentation detector over the rank cost model.
#include "ovrel/costs/rank.hpp"
#include "ovrel/offline/binseg_impl.hpp"

OVREL_INSTANTIATE_BINSEG(::ovrel::costs::CostRank)
