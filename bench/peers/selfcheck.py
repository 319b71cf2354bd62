"""The translation self-check: every faithful translation of an exact peer against an exact
reference solver on small series, and ruptures' segment costs against ovrel's."""

from __future__ import annotations

import numpy as np

from .cases import COSTS, DIMS, Problem, Scorer, feasibility, make_problem, make_series, objective
from .runners import RUNNERS, import_library, ruptures_cost

# ----------------------------------------------------------------------------------------------
# Self-check: translations against an exact reference solver on small series
# ----------------------------------------------------------------------------------------------


def reference_optimum(x: np.ndarray, prob: Problem) -> tuple[float, list[int]]:
    """Exact optimal partitioning (no pruning) over ovrel's costs; O(n^2) vectorised."""
    sc = Scorer(x, prob.cost)
    n, ms = prob.n, prob.min_size
    f = np.full(n + 1, np.inf)
    f[0] = -prob.pen
    arg = np.zeros(n + 1, dtype=np.int64)
    for t in range(ms, n + 1):
        starts = np.arange(0, t - ms + 1)
        starts = starts[(starts == 0) | ((starts >= ms) & (starts % prob.jump == 0))]
        starts = starts[np.isfinite(f[starts])]
        if t != n and t % prob.jump:
            continue
        if starts.size == 0:
            continue
        vals = f[starts] + sc.costs(starts, np.full(starts.shape, t)) + prob.pen
        i = int(np.argmin(vals))
        f[t], arg[t] = vals[i], starts[i]
    bkps, t = [], n
    while t > 0:
        bkps.append(t)
        t = int(arg[t])
    return float(f[n]), bkps[::-1]


def self_check() -> list[dict]:
    """Checks every faithful translation of an exact peer (and ovrel's PELT, when it imports)
    against the reference optimum, and ruptures' segment costs against ours."""
    rows = []
    for cost in COSTS:
        for d in DIMS:
            n = 150 if cost == "l1" else 600
            x, true_bkps = make_series(n, d)
            prob = make_problem("pelt", cost, x, true_bkps)
            ref_obj, ref_bkps = reference_optimum(x, prob)
            tol = 1e-7 * (abs(ref_obj) + n)
            for runner in [r for r in RUNNERS if r.algo == "pelt"]:
                why = runner.supports(prob)
                if why:
                    if runner.library == "ovrel" and why.startswith("ovrel"):
                        rows.append({"cost": cost, "d": d, "runner": runner.name, "result": why})
                    continue
                try:
                    import_library(runner.library)
                except Exception:  # noqa: BLE001
                    rows.append(
                        {"cost": cost, "d": d, "runner": runner.name, "result": "not installed"}
                    )
                    continue
                unfaithful = runner.faithful(prob)
                try:
                    bkps = runner.run(x, prob)
                except Exception as exc:  # noqa: BLE001
                    rows.append(
                        {
                            "cost": cost,
                            "d": d,
                            "runner": runner.name,
                            "result": f"error: {exc.__class__.__name__}: {str(exc)[:100]}",
                        }
                    )
                    continue
                obj = objective(x, cost, bkps, prob.pen)
                infeasible = feasibility(bkps, prob)
                if unfaithful:
                    result = unfaithful
                elif infeasible:
                    result = f"answer infeasible ({infeasible})"
                elif abs(obj - ref_obj) <= tol:
                    result = "optimum reproduced"
                elif obj > ref_obj:
                    result = f"suboptimal by {obj - ref_obj:.6g}"
                else:
                    result = f"BELOW reference by {ref_obj - obj:.6g} (harness bug)"
                rows.append(
                    {
                        "cost": cost,
                        "d": d,
                        "runner": runner.name,
                        "result": result,
                        "changes": len(bkps) - 1,
                        "ref_changes": len(ref_bkps) - 1,
                    }
                )
            # ruptures' cost objects against ours, on random segments
            try:
                rpt = import_library("ruptures")
            except Exception:  # noqa: BLE001
                continue
            if cost in ("l2", "l1") or (cost == "normal" and d == 1):
                c = ruptures_cost(prob)
                obj_c = (
                    c["custom_cost"] if "custom_cost" in c else rpt.costs.cost_factory(model=cost)
                ).fit(x)
                rng = np.random.default_rng(1)
                sc = Scorer(x, cost)
                worst = 0.0
                for _ in range(200):
                    a = int(rng.integers(0, n - 10))
                    b = int(rng.integers(a + 10, n + 1))
                    ours = float(sc.costs(np.array([a]), np.array([b]))[0])
                    worst = max(worst, abs(obj_c.error(a, b) - ours) / (1.0 + abs(ours)))
                rows.append(
                    {
                        "cost": cost,
                        "d": d,
                        "runner": "ruptures segment cost",
                        "result": ("equal to ovrel's (max rel. diff %.1e)" % worst)
                        if worst < 1e-9
                        else "differs (max rel. diff %.1e)" % worst,
                    }
                )
    return rows
