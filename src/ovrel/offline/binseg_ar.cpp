// The binary-segmentation detector over the autoregressive cost model.
#include "ovrel/costs/ar.hpp"
#include "ovrel/offline/binseg_impl.hpp"

OVREL_INSTANTIATE_BINSEG(::ovrel::costs::CostAR)
