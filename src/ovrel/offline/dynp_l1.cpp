// The segment-neighbourhood detector instantiated for CostL1Median.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostL1Median, );

}  // namespace ovrel::offline
