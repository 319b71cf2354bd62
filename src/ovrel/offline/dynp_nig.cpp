// The segment-neighbourhood detector instantiated for CostNIGMarginal.

#include "ovrel/offline/dynp_impl.hpp"

namespace ovrel::offline {

OVREL_DECLARE_DYNP(costs::CostNIGMarginal, );

}  // namespace ovrel::offline
