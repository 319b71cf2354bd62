// The binary-segmentation detector over the normal full-covariance cost model.
#include "ovrel/costs/normal.hpp"
#include "ovrel/offline/binseg_impl.hpp"

OVREL_INSTANTIATE_BINSEG(::ovrel::costs::CostNormalFullCov)
