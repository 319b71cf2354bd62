// The binary-segmentation detector over the cosine cost model.
#include "ovrel/costs/cosine.hpp"
#include "ovrel/offline/binseg_impl.hpp"

OVREL_INSTANTIATE_BINSEG(::ovrel::costs::CostCosine)
