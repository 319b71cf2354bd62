// PELT instantiated for CostL2Mean.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostL2Mean, );

}  // namespace ovrel::offline
