// PELT instantiated for CostAR.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostAR, );

}  // namespace ovrel::offline
