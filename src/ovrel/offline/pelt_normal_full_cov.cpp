// PELT instantiated for CostNormalFullCov.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostNormalFullCov, );

}  // namespace ovrel::offline
