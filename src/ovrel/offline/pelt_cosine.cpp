// PELT instantiated for CostCosine.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostCosine, );

}  // namespace ovrel::offline
