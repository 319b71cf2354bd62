// PELT instantiated for CostL1Median.

#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_PELT(costs::CostL1Median, );

}  // namespace ovrel::offline
