// The segment-neighbourhood detector instantiated for CostNormalFullCov.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostNormalFullCov, );

}  // namespace ovrel::offline
