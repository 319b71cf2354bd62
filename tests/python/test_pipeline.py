import subprocess
import sys

import numpy as np
import pytest

import ovrel

RNG = np.random.default_rng(5)
X = np.r_[np.zeros(40), np.full(40, 4.0), np.full(40, 1.0)] + RNG.normal(scale=0.5, size=120)
# Directions turn at the changes too, for the cosine cost.
X2 = np.c_[X + 1.0, 5.0 - X]

EXPLICIT_COSTS = ["l2", "l1_median", "normal", "normal_full_cov", "rank", "cosine"]


def run(pipeline, x=X, **kwargs):
    return ovrel.detect_offline(x, pipeline=pipeline, **kwargs)


def same_run(a, b):
    d, e = a.diagnostics, b.diagnostics
    assert (a.breakpoints, d.notes, d.algorithm, d.cost_model) == (b.breakpoints, e.notes, e.algorithm, e.cost_model)  # fmt: skip


# ----- every pair the parser can name -----


EXPLICIT_PAIRS = [("fpop", "l2")] + [
    (d, c) for d in ("pelt", "binseg", "dynp") for c in EXPLICIT_COSTS
]
PIPELINE_ONLY_PAIRS = [("wbs", c) for c in [*EXPLICIT_COSTS, "nig"]] + [
    (d, "nig") for d in ("pelt", "binseg", "segneigh")
]


def expect_names(result, detector, cost):
    assert result.diagnostics.algorithm == {"segneigh": "dynp"}.get(detector, detector)
    names = {"l2": "l2_mean", "normal": "normal_mean_var", "nig": "nig_marginal"}
    assert result.diagnostics.cost_model == names.get(cost, cost)


@pytest.mark.parametrize("detector, cost", EXPLICIT_PAIRS)
def test_pairs_equal_the_explicit_road(detector, cost):
    for stopping in ({"n_bkps": 2}, {"pen": 8.0}):
        pipeline = {"detector": detector, "cost": cost, "stopping": stopping}
        explicit = ovrel.detect_offline(X2, detector=detector, cost=cost, stopping=stopping)
        same_run(run(pipeline, X2), explicit)
        expect_names(explicit, detector, cost)
        assert "n_bkps" not in stopping or len(explicit.breakpoints) == 3


@pytest.mark.parametrize("detector, cost", PIPELINE_ONLY_PAIRS)
def test_pipeline_only_pairs_run(detector, cost):
    result = run({"detector": detector, "cost": cost, "stopping": {"KnownK": 2}}, X2)
    assert len(result.change_points) == 2
    expect_names(result, detector, cost)


# ----- WBS and its seed; the shapes of the dictionary are data rows of
# tests/data/python_pipeline_texts.txt -----

WBS_SEEDED = {"detector": {"kind": "wbs", "num_intervals": 30}, "seed": 11}


def test_wbs_with_a_seed_is_reproducible():
    # The seeded interval lists are pinned, platform-independent, by the engine's golden lists.
    first = run(WBS_SEEDED)
    assert first.diagnostics.seed == 11
    same_run(first, run(WBS_SEEDED))


# Interval counts far above what a series holds: the child may grow its address space by 512 MB
# only. Each request finishes with every feasible interval, or is refused before drawing.
HUGE_WBS = """
import resource, sys
import numpy as np, ovrel
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20),) * 2)
n, count, strategy = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
x = np.random.default_rng(0).normal(size=n)
detector = {"kind": "wbs", "num_intervals": count, "interval_strategy": strategy}
try:
    print(ovrel.detect_offline(x, pipeline={"detector": detector}).diagnostics.notes[0])
except RuntimeError as e:
    print(e)
"""


@pytest.mark.parametrize(
    "n, count, strategy, printed",
    [(200, 2**62, "random", "effective_intervals=19503"), (200, 2**62, "stratified", "effective_intervals=1010"),
     (100, 10**8, "random", "effective_intervals=4753"), (100, 10**8, "stratified", "effective_intervals=409"),
     (10**6, 2**62, "random", "wbs interval allocation failed: required_bytes=15999920000096; reduce num_intervals")],
)  # fmt: skip
def test_wbs_interval_counts_far_above_the_series_stay_bounded(n, count, strategy, printed):
    child = subprocess.run(
        [sys.executable, "-c", HUGE_WBS, str(n), str(count), strategy],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.stdout.strip().endswith(printed), child.stderr[-400:]


# 100 penalties over 1e6 points under a 2.5 GB address-space cap: the states are counted first,
# so the refusal names them before any of them is filled (the growth of the peak RSS, in MiB,
# stays near that of the series and its cache).
HUGE_PATH = """
import resource, sys
import numpy as np, ovrel
resource.setrlimit(resource.RLIMIT_AS, (2_500_000_000,) * 2)
x = np.random.default_rng(0).normal(size=10**6)
pipeline = {"detector": "pelt", "stopping": {"PenaltyPath": np.linspace(1, 200, 100).tolist()}}
if len(sys.argv) > 1:
    pipeline["constraints"] = {"memory_budget_bytes": int(sys.argv[1])}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    ovrel.detect_offline(x, pipeline=pipeline)
except (MemoryError, RuntimeError) as e:
    print(f"{type(e).__name__}: {e}")
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) >> 10)
"""


@pytest.mark.parametrize(
    "budget, printed",
    [((), "MemoryError: penalty path state allocation failed: required_bytes=5632030432; use fewer penalties"),
     (("100000000",), "RuntimeError: constraints.memory_budget_bytes exceeded for penalty path states: "
      "required_bytes=5632030432, limit_bytes=100000000; increase constraints.memory_budget_bytes, or use fewer penalties")],
)  # fmt: skip
def test_penalty_path_states_are_refused_before_they_are_filled(budget, printed):
    child = subprocess.run(
        [sys.executable, "-c", HUGE_PATH, *budget], capture_output=True, text=True, timeout=60
    )
    message, grown_mib = child.stdout.strip().splitlines()
    assert message == printed, child.stderr[-400:]
    assert int(grown_mib) < 200


def test_constraints_preprocess_and_diagnostics_reach_the_run():
    constraints = {"min_segment_len": 5, "jump": 5}
    preprocess = {"detrend": {"method": "linear"}, "winsorize": {}}
    result = run({"detector": "pelt", "constraints": constraints, "preprocess": preprocess})
    explicit = ovrel.detect_offline(X, constraints=constraints, preprocess=preprocess)
    assert result.breakpoints == explicit.breakpoints
    # preprocessing notes belong to the explicit road only
    assert [n for n in explicit.diagnostics.notes if not n.startswith("preprocess:")] == (
        result.diagnostics.notes
    )
    quiet = run({"detector": "pelt"}, np.asfortranarray(X2), return_diagnostics=False)
    notes = quiet.diagnostics.notes
    assert (
        notes and all(n.startswith("input: ") for n in notes) and quiet.diagnostics.warnings == []
    )
    assert run({"detector": "wbs"}, repro_mode="FAST").diagnostics.repro_mode == "fast"


# Refusals: the exact texts are in tests/data/python_pipeline_texts.txt.
