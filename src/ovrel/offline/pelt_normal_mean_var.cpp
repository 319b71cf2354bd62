// PELT instantiated for CostNormalMeanVar.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostNormalMeanVar, );

}  // namespace ovrel::offline
