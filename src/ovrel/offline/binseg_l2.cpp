// The binary-segmentation detector over the L2 mean cost model.
#include "ovrel/costs/l2.hpp"
#include "ovrel/offline/binseg_impl.hpp"

OVREL_INSTANTIATE_BINSEG(::ovrel::costs::CostL2Mean)
