// The segment-neighbourhood detector instantiated for CostCosine.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostCosine, );

}  // namespace ovrel::offline
