// The binary-segmentation detector over the L1 median cost model.
#include "ovrel/costs/l1.hpp"
#include "ovrel/offline/binseg_impl.hpp"

OVREL_INSTANTIATE_BINSEG(::ovrel::costs::CostL1Median)
