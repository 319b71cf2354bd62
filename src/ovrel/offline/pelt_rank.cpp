// PELT instantiated for CostRank.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostRank, );

}  // namespace ovrel::offline
