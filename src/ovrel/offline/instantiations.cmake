# The cost models the offline detectors run over, one per line: key, header (below src/) and C++
# type. A new model also needs its CostKind in offline/dispatch.hpp and its construction in
# offline/dispatch.cpp.
set(OVREL_COST_MODELS
  "l2|ovrel/costs/l2.hpp|::ovrel::costs::CostL2Mean"
  "l1|ovrel/costs/l1.hpp|::ovrel::costs::CostL1Median"
  "normal_mean_var|ovrel/costs/normal.hpp|::ovrel::costs::CostNormalMeanVar"
  "normal_full_cov|ovrel/costs/normal.hpp|::ovrel::costs::CostNormalFullCov"
  "nig|ovrel/costs/nig.hpp|::ovrel::costs::CostNIGMarginal"
  "cosine|ovrel/costs/cosine.hpp|::ovrel::costs::CostCosine"
  "rank|ovrel/costs/rank.hpp|::ovrel::costs::CostRank"
  "ar|ovrel/costs/ar.hpp|::ovrel::costs::CostAR")

# The (detector, cost model) pairs the offline library is compiled for, one per line. Each pair
# becomes its own generated translation unit (cmake/OfflineInstantiations.cmake), so the build
# stays parallel and a cost header's edit recompiles only the pairs that use it. Detectors are
# the stems of their `<detector>_impl.hpp`; cost models are the keys of OVREL_COST_MODELS.
set(OVREL_OFFLINE_PAIRS
  pelt:l2
  pelt:l1
  pelt:normal_mean_var
  pelt:normal_full_cov
  pelt:nig
  pelt:cosine
  pelt:rank
  pelt:ar
  binseg:l2
  binseg:l1
  binseg:normal_mean_var
  binseg:normal_full_cov
  binseg:nig
  binseg:cosine
  binseg:rank
  binseg:ar
  wbs:l2
  wbs:l1
  wbs:normal_mean_var
  wbs:normal_full_cov
  wbs:nig
  wbs:cosine
  wbs:rank
  wbs:ar
  dynp:l2
  dynp:l1
  dynp:normal_mean_var
  dynp:normal_full_cov
  dynp:nig
  dynp:cosine
  dynp:rank
  dynp:ar
)
