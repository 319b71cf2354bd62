// The segment-neighbourhood detector instantiated for CostNormalMeanVar.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostNormalMeanVar, );

}  // namespace ovrel::offline
