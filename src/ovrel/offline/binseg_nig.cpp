// The binary-segmentation detector over the normal-inverse-gamma marginal cost model.
#include "ovrel/costs/nig.hpp"
#include "ovrel/offline/binseg_impl.hpp"

OVREL_INSTANTIATE_BINSEG(::ovrel::costs::CostNIGMarginal)
