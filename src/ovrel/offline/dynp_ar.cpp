// The segment-neighbourhood detector instantiated for CostAR.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostAR, );

}  // namespace ovrel::offline
