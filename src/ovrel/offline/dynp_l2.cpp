// The segment-neighbourhood detector instantiated for CostL2Mean.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostL2Mean, );

}  // namespace ovrel::offline
