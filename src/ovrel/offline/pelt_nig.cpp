// PELT instantiated for CostNIGMarginal.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostNIGMarginal, );

}  // namespace ovrel::offline
