import re
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


def stopping_note(result):
    return next(n for n in result.diagnostics.notes if n.startswith("stopping="))


def same_run(a, b):
    assert a.breakpoints == b.breakpoints
    assert a.diagnostics.notes == b.diagnostics.notes
    assert (a.diagnostics.algorithm, a.diagnostics.cost_model) == (
        b.diagnostics.algorithm,
        b.diagnostics.cost_model,
    )


# ----- every pair the parser can name -----


EXPLICIT_PAIRS = [("fpop", "l2")] + [
    (d, c) for d in ("pelt", "binseg", "dynp") for c in EXPLICIT_COSTS
]
PIPELINE_ONLY_PAIRS = [("wbs", c) for c in [*EXPLICIT_COSTS, "nig"]] + [
    (d, "nig") for d in ("pelt", "binseg", "segneigh")
]


@pytest.mark.parametrize("detector, cost", EXPLICIT_PAIRS)
def test_pairs_equal_the_explicit_road(detector, cost):
    for stopping in ({"n_bkps": 2}, {"pen": 8.0}):
        pipeline = {"detector": detector, "cost": cost, "stopping": stopping}
        explicit = ovrel.detect_offline(X2, detector=detector, cost=cost, stopping=stopping)
        same_run(run(pipeline, X2), explicit)


@pytest.mark.parametrize("detector, cost", PIPELINE_ONLY_PAIRS)
def test_pipeline_only_pairs_run(detector, cost):
    result = run({"detector": detector, "cost": cost, "stopping": {"KnownK": 2}}, X2)
    assert len(result.change_points) == 2
    assert result.diagnostics.algorithm == {"segneigh": "dynp"}.get(detector, detector)
    names = {"l2": "l2_mean", "normal": "normal_mean_var", "nig": "nig_marginal"}
    assert result.diagnostics.cost_model == names.get(cost, cost)


def test_fpop_runs_over_l2_only():
    assert run({"detector": "fpop"}).diagnostics.algorithm == "fpop"
    with pytest.raises(ValueError, match=r"^pipeline.detector='fpop' requires pipeline.cost='l2'$"):
        run({"detector": "fpop", "cost": "Rank"})


# ----- WBS and its seed -----

WBS_SEEDED = {"detector": {"kind": "wbs", "num_intervals": 30}, "seed": 11}
PRINT_WBS = (
    "import numpy as np, ovrel, sys; x = np.array(eval(sys.argv[1])); "
    "r = ovrel.detect_offline(x, pipeline=eval(sys.argv[2])); "
    "print(r.breakpoints, r.diagnostics.notes)"
)


def test_wbs_with_a_seed_is_reproducible_across_runs_and_processes():
    first = run(WBS_SEEDED)
    assert first.diagnostics.seed == 11
    same_run(first, run(WBS_SEEDED))
    other = subprocess.run(
        [sys.executable, "-c", PRINT_WBS, repr(X.tolist()), repr(WBS_SEEDED)],
        capture_output=True,
        text=True,
        check=True,
    )
    assert other.stdout.strip() == f"{first.breakpoints} {first.diagnostics.notes}"


@pytest.mark.parametrize(
    "pipeline, seed, strategy",
    [
        ({"detector": "WBS"}, 0, "Random"),
        ({"detector": {"kind": "wbs", "seed": 3}, "seed": 9}, 9, "Random"),
        ({"detector": {"kind": "wbs", "seed": 3}, "seed": None}, 3, "Random"),
        ({"detector": {"Offline": {"Wbs": {"seed": 4}}}}, 4, "Random"),
        (
            {"detector": {"kind": "wbs", "interval_strategy": "Deterministic_Grid"}},
            0,
            "DeterministicGrid",
        ),
        ({"detector": {"kind": "wbs", "interval_strategy": "stratified"}}, 0, "Stratified"),
    ],
)
def test_wbs_shapes(pipeline, seed, strategy):
    result = run(pipeline)
    assert result.diagnostics.seed == seed
    assert result.diagnostics.notes[0].startswith(
        f"interval_strategy={strategy}, requested_intervals=100"
    )
    assert stopping_note(result).startswith("stopping=Penalized(BIC)")


# ----- shapes of the dictionary -----


@pytest.mark.parametrize(
    "pipeline, algorithm, stopping",
    [
        ({"detector": "pelt", "seed": None, "cost": None}, "pelt", "Penalized(BIC)"),
        ({"detector": {"kind": "pelt", "stopping": {"KnownK": 2}}}, "pelt", "KnownK(2)"),
        (
            {"detector": {"kind": "pelt", "stopping": {"KnownK": 2}}, "stopping": {"pen": 5.0}},
            "pelt",
            "Penalized(Manual(5.0))",
        ),
        ({"detector": {"Offline": {"SegNeigh": {}}}}, "dynp", "KnownK(1)"),
        ({"detector": "Seg_Neigh", "stopping": {"n_bkps": 2}}, "dynp", "KnownK(2)"),
        ({"detector": {"kind": "binseg", "params_per_segment": 0}}, "binseg", "Penalized(BIC)"),
        ({"detector": {"Offline": {"BinSeg": {"kind": 1}}}}, "binseg", "Penalized(BIC)"),
        ({"detector": "pelt", "stopping": {"Penalized": "aic"}}, "pelt", "Penalized(AIC)"),
        ({"detector": "pelt", "stopping": {"Penalized": "BIC"}}, "pelt", "Penalized(BIC)"),
        ({"detector": "pelt", "stopping": {"Penalized": 2}}, "pelt", "Penalized(Manual(2.0))"),
        ({"detector": "pelt", "stopping": {"Penalized": 2.5}}, "pelt", "Penalized(Manual(2.5))"),
        (
            {"detector": "pelt", "stopping": {"Penalized": {"Manual": 3}}},
            "pelt",
            "Penalized(Manual(3.0))",
        ),
        ({"detector": "dynp", "stopping": {"PenaltyPath": ["bic", 2.0]}}, "dynp", "PenaltyPath("),
        ({"detector": {"Offline": {"Fpop": {"cancel_check_every": 0}}}}, "fpop", "Penalized(BIC)"),
    ],
)
def test_shapes(pipeline, algorithm, stopping):
    result = run(pipeline)
    assert result.diagnostics.algorithm == algorithm
    assert stopping_note(result).startswith("stopping=" + stopping)
    assert result.diagnostics.seed is None


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
    assert quiet.diagnostics.notes == [
        n for n in quiet.diagnostics.notes if n.startswith("input: ")
    ]
    assert quiet.diagnostics.notes and quiet.diagnostics.warnings == []
    assert run({"detector": "wbs"}, repro_mode="FAST").diagnostics.repro_mode == "fast"


# ----- refusals -----

TAGGED = "{'Offline': {...}} or {'Online': {...}}"
MANUAL = "{'Manual': <positive-float>}"
KINDS = "'pelt', 'binseg', 'fpop', 'segneigh' (aliases: 'seg_neigh', 'dynp'), 'wbs'"
COSTS = "'cosine', 'l1_median', 'l2', 'normal', 'normal_full_cov', 'nig', 'rank'"
VARIANTS = "'Pelt', 'BinSeg', 'Fpop', 'SegNeigh', 'Wbs'"
STOP_KEYS = "'KnownK', 'Penalized', 'PenaltyPath'"


def pen(value):
    return {"detector": "pelt", "stopping": {"Penalized": value}}


# fmt: off
REFUSALS = [
    ([1], TypeError, "pipeline must be a dict"),
    ({1: "pelt"}, TypeError, "pipeline keys must be strings"),
    ({"detector": "pelt", "Cost": "l2"}, ValueError, "unsupported pipeline key 'Cost'"),
    ({"cost": "l2"}, ValueError, "pipeline requires key 'detector' with a valid value"),
    ({"detector": 3}, TypeError, "pipeline.detector must be a string or dict"),
    ({"detector": {"kind": None}}, TypeError, "pipeline.detector.kind must be a string"),
    ({"detector": "Foo"}, ValueError, f"unsupported pipeline.detector.kind 'Foo'; expected one of: {KINDS}"),
    ({"detector": {}}, ValueError, "pipeline.detector serde form must contain exactly one key: 'Offline' or 'Online'"),
    ({"detector": {"Online": {}}}, ValueError, "detect_offline does not accept online pipeline detectors"),
    ({"detector": {"offline": {}}}, ValueError, f"unsupported pipeline.detector serde form; expected one of: {TAGGED}"),
    ({"detector": {"Offline": 1}}, TypeError, "pipeline.detector['Offline'] must be a dict"),
    ({"detector": {"Offline": {}}}, ValueError, "pipeline.detector['Offline'] must contain exactly one key: 'Pelt', 'BinSeg', 'Fpop', 'SegNeigh', or 'Wbs'"),
    ({"detector": {"Offline": {1: {}}}}, TypeError, "pipeline.detector['Offline'] keys must be strings"),
    ({"detector": {"Offline": {"Foo": 1}}}, TypeError, "pipeline.detector['Offline']['Foo'] must be a dict"),
    ({"detector": {"Offline": {"segneigh": {}}}}, ValueError, f"unsupported pipeline.detector['Offline'] variant 'segneigh'; expected one of: {VARIANTS}"),
    ({"detector": {"kind": "pelt", "max_depth": 3}}, ValueError, "unsupported pipeline.detector key 'max_depth' for detector kind='pelt'"),
    ({"detector": {"Offline": {"SegNeigh": {"params_per_segment": 2}}}}, ValueError, "unsupported pipeline.detector['Offline']['SegNeigh'] key 'params_per_segment' for detector kind='segneigh'"),
    ({"detector": {"kind": "binseg", "seed": 1}}, ValueError, "unsupported pipeline.detector key 'seed' for detector kind='binseg'"),
    ({"detector": {"kind": "wbs", 2: 1}}, TypeError, "pipeline.detector keys must be strings"),
    ({"detector": {"Offline": {"Wbs": {"interval_strategy": 1}}}}, TypeError, "pipeline.detector.interval_strategy must be a string"),
    ({"detector": {"kind": "wbs", "interval_strategy": "grid"}}, ValueError, "unsupported pipeline.detector.interval_strategy 'grid'; expected one of: 'random', 'deterministic_grid', 'stratified'"),
    ({"detector": "pelt", "cost": 2}, TypeError, "pipeline.cost must be a string"),
    ({"detector": "pelt", "cost": "L3"}, ValueError, f"unsupported pipeline.cost 'L3'; expected one of: {COSTS}, 'none'"),
    ({"detector": "pelt", "cost": "None"}, ValueError, f"detect_offline requires pipeline.cost to be one of: {COSTS}"),
    ({"detector": "pelt", "stopping": 2}, TypeError, "pipeline.stopping must be a dict"),
    ({"detector": "pelt", "stopping": {}}, ValueError, "pipeline.stopping serde form must have exactly one key: 'KnownK', 'Penalized', or 'PenaltyPath'"),
    ({"detector": "pelt", "stopping": {1: 2}}, TypeError, "pipeline.stopping keys must be strings"),
    ({"detector": "pelt", "stopping": {"KnownK": "2"}}, TypeError, "pipeline.stopping['KnownK'] must be an integer"),
    ({"detector": "pelt", "stopping": {"KnownK": -1}}, TypeError, "pipeline.stopping['KnownK'] must be an integer"),
    ({"detector": "pelt", "stopping": {"KnownK": 0}}, ValueError, "pipeline.stopping['KnownK'] must be >= 1"),
    ({"detector": "pelt", "stopping": {"PenaltyPath": ("bic",)}}, TypeError, "pipeline.stopping['PenaltyPath'] must be a list"),
    ({"detector": "pelt", "stopping": {"PenaltyPath": []}}, ValueError, "pipeline.stopping['PenaltyPath'] must not be empty"),
    ({"detector": "pelt", "stopping": {"Known": 1}}, ValueError, f"unsupported pipeline.stopping serde key 'Known'; expected one of: {STOP_KEYS}"),
    ({"detector": "pelt", "stopping": {"KnownK": 2, "pen": 1.0}}, ValueError, "unsupported stopping key 'KnownK'"),
    ({"detector": "pelt", "stopping": {"n_bkps": 0}}, ValueError, "stopping.n_bkps must be >= 1 when provided"),
    (pen("mdl"), ValueError, f"unsupported penalty 'mdl'; expected one of: 'bic', 'aic', or {MANUAL}"),
    (pen(0), ValueError, "manual penalty value must be finite and > 0.0; got 0"),
    (pen(-1), ValueError, "manual penalty value must be finite and > 0.0; got -1"),
    (pen(float("inf")), ValueError, "manual penalty value must be finite and > 0.0; got inf"),
    (pen({}), ValueError, "penalty dict form must contain exactly one key: 'Manual'"),
    (pen({1: 2.0}), TypeError, "penalty dict keys must be strings"),
    (pen({"manual": 2.0}), ValueError, "unsupported penalty dict key 'manual'; expected 'Manual'"),
    (pen({"Manual": "2"}), TypeError, "penalty['Manual'] must be a positive float"),
    (pen({"Manual": -0.5}), ValueError, "penalty['Manual'] must be finite and > 0.0; got -0.5"),
    (pen(None), TypeError, f"penalty must be 'bic', 'aic', a positive float, or {MANUAL}"),
    ({"detector": "pelt", "seed": 1}, ValueError, "pipeline.seed is only supported for detector='wbs'"),
    ({"detector": "pelt", "seed": -1}, TypeError, "pipeline.seed must be an integer when provided"),
    ({"detector": "wbs", "seed": 1.5}, TypeError, "pipeline.seed must be an integer when provided"),
    ({"detector": "pelt", "constraints": []}, TypeError, "constraints must be a dict"),
    ({"detector": "pelt", "preprocess": {"Detrend": {}}}, ValueError, "unsupported preprocess key 'Detrend'"),
    # the keys are read in a fixed order, whatever their order in the dict
    ({"detector": "pelt", "cost": "L3", "seed": 1}, ValueError, f"unsupported pipeline.cost 'L3'; expected one of: {COSTS}, 'none'"),
    ({"seed": 1.5, "detector": "pelt", "stopping": 1}, TypeError, "pipeline.stopping must be a dict"),
    # refused by the run: configuration and constraint validation
    ({"detector": {"kind": "pelt", "params_per_segment": 0}}, ValueError, "PeltConfig.params_per_segment must be >= 1; got 0"),
    ({"detector": {"kind": "wbs", "num_intervals": 0}}, ValueError, "WbsConfig.num_intervals must be >= 1 when provided; got 0"),
    ({"detector": "wbs", "constraints": {"min_segment_len": 0}}, ValueError, "constraints.min_segment_len must be >= 1; got 0"),
]
# fmt: on


@pytest.mark.parametrize("pipeline, exc, message", REFUSALS)
def test_refusals(pipeline, exc, message):
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        run(pipeline)


def test_integer_conversions_pass_through():
    with pytest.raises(OverflowError):
        run({"detector": {"kind": "pelt", "cancel_check_every": -1}})
    with pytest.raises(TypeError):
        run({"detector": {"kind": "wbs", "num_intervals": "3"}})
