// The segment-neighbourhood detector instantiated for CostRank.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostRank, );

}  // namespace ovrel::offline
