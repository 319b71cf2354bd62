#pragma once

// A test cost model: the L2 cost, with a script that can replace chosen segments' costs (by
// non-finite or huge values) and stall the first evaluation (to cross a time budget).

#include <chrono>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::offline::testing {

struct ScriptedCost {
  struct Cache {
    costs::L2Cache l2;
    std::size_t n = 0;
    std::size_t d = 0;
  };

  struct Override {
    std::size_t start;
    std::size_t end;
    double value;
  };
  struct Script {
    std::vector<Override> overrides;  // segments whose cost is replaced
    std::chrono::milliseconds stall_first{0};
    bool stalled = false;
  };

  costs::CostL2Mean inner;
  std::shared_ptr<Script> script = std::make_shared<Script>();

  static constexpr std::string_view name() { return "scripted"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const { return inner.validate(x); }
  core::Result<Cache> precompute(const core::TimeSeriesView& x,
                                 const core::CachePolicy& policy) const {
    OVREL_TRY_ASSIGN(auto l2, inner.precompute(x, policy));
    const std::size_t n = l2.n;
    const std::size_t d = l2.d;
    return Cache{std::move(l2), n, d};
  }
  double segment_cost(const Cache& cache, std::size_t start, std::size_t end) const {
    if (script->stall_first.count() > 0 && !script->stalled) {
      script->stalled = true;
      std::this_thread::sleep_for(script->stall_first);
    }
    for (const Override& o : script->overrides) {
      if (o.start == start && o.end == end) return o.value;
    }
    return inner.segment_cost(cache.l2, start, end);
  }
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const {
    return inner.penalty_effective_params(d);
  }
};

static_assert(costs::CostModel<ScriptedCost>);

}  // namespace ovrel::offline::testing
