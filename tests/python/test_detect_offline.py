import re

import numpy as np
import pytest

import ovrel

RNG = np.random.default_rng(7)
X = np.r_[np.zeros(60), np.full(60, 4.0), np.zeros(60)] + RNG.normal(scale=0.5, size=180)


def detect(**kwargs):
    return ovrel.detect_offline(X, **kwargs)


def raises(exc, message, **kwargs):
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        detect(**kwargs)


def test_signature_and_defaults():
    assert ovrel.detect_offline.__text_signature__ == (
        '(x, *, pipeline=None, detector="pelt", cost="l2", constraints=None, stopping=None, '
        'preprocess=None, repro_mode="balanced", return_diagnostics=True)'
    )
    result = detect()
    assert result.breakpoints == [60, 120, 180]
    assert (
        result.diagnostics.notes[0]
        == "stopping=Penalized(BIC), beta=" + result.diagnostics.notes[0].split("beta=")[1]
    )
    assert result.diagnostics.build.abi == "nano-abi3-py39"


@pytest.mark.parametrize(
    "detector", ["pelt", "PELT", "binseg", "fpop", "segneigh", "SegNeigh", "seg_neigh", "DYNP"]
)
def test_every_detector_finds_the_changes(detector):
    result = detect(detector=detector, stopping={"n_bkps": 2})
    assert result.breakpoints == [60, 120, 180]


@pytest.mark.parametrize("detector", ["pelt", "binseg", "dynp"])
@pytest.mark.parametrize("cost", ["l2", "l1_median", "normal", "normal_full_cov", "rank", "cosine"])
def test_every_detector_and_cost_pair_runs(detector, cost):
    # cosine sees directions only: give it a series whose direction turns
    y = np.c_[X + 1.0, 5.0 - X] if cost == "cosine" else X.reshape(-1, 1)
    result = ovrel.detect_offline(y, detector=detector, cost=cost, stopping={"n_bkps": 2})
    assert result.breakpoints[-1] == 180 and len(result.breakpoints) == 3


def test_fpop_refuses_other_costs_at_dispatch():
    with pytest.raises(ValueError, match="fpop"):
        detect(detector="fpop", cost="normal")


@pytest.mark.parametrize(
    "kwargs",
    [
        {"pipeline": {}, "detector": "binseg"},
        {"pipeline": {}, "cost": "normal"},
        {"pipeline": {}, "constraints": {}},
        {"pipeline": {}, "stopping": {"n_bkps": 1}},
        {"pipeline": {}, "preprocess": {}},
    ],
)
def test_pipeline_is_exclusive(kwargs):
    raises(
        ValueError,
        "detect_offline accepts either pipeline=... or explicit detector/cost/constraints/stopping/preprocess "
        "arguments, not both",
        **kwargs,
    )


def test_pipeline_road_fails_cleanly():
    with pytest.raises(TypeError, match="^pipeline must be a dict$"):
        detect(pipeline=[1], detector="PELT", constraints=None)


def test_repro_mode():
    assert detect(repro_mode="FAST").diagnostics.repro_mode == "fast"
    assert detect(repro_mode="Strict").diagnostics.repro_mode == "strict"
    raises(
        ValueError,
        "unsupported repro_mode 'Quick'; expected one of: 'fast', 'balanced', 'strict'",
        repro_mode="Quick",
    )
    # configuration errors are found before the series is converted
    with pytest.raises(ValueError, match="^unsupported repro_mode"):
        ovrel.detect_offline("not a series", repro_mode="Quick")


@pytest.mark.parametrize("name", ["detector", "cost", "repro_mode", "return_diagnostics"])
def test_none_is_not_a_value_for_typed_arguments(name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        detect(**{name: None})


def test_unsupported_detector():
    raises(
        ValueError,
        "unsupported detector 'wbs'; expected one of: 'pelt', 'binseg', 'fpop', 'segneigh' (aliases: 'seg_neigh', 'dynp')",
        detector="wbs",
    )


def test_series_is_converted_before_dictionaries():
    bad = X.copy()
    bad[3] = np.nan
    with pytest.raises(ValueError) as err:
        ovrel.detect_offline(bad, stopping={"bogus": 1})
    assert "bogus" not in str(err.value)


def test_return_diagnostics_false_keeps_only_this_calls_notes():
    x = np.asfortranarray(np.c_[X, X])
    result = ovrel.detect_offline(
        x, preprocess={"winsorize": {}}, return_diagnostics=np.bool_(False)
    )
    assert result.diagnostics.warnings == []
    assert result.diagnostics.notes == [
        "preprocess:winsorize lower_quantile=0.01, upper_quantile=0.99",
        "input: copied from F-contiguous to C-contiguous layout",
    ]


def test_input_notes_follow_preprocess_notes():
    x = np.asfortranarray(np.c_[X, X])
    notes = ovrel.detect_offline(
        x, preprocess={"robust_scale": {}, "detrend": {"method": "LINEAR"}}
    ).diagnostics.notes
    tail = [n for n in notes if n.startswith(("preprocess:", "input:"))]
    assert [n.split(" ")[0] for n in tail] == [
        "preprocess:detrend",
        "preprocess:robust_scale",
        "input:",
    ]


def test_engine_errors_pass_the_mapping():
    raises(
        ValueError,
        "constraints.min_segment_len must be >= 1; got 0",
        constraints={"min_segment_len": 0},
    )
    with pytest.raises(NotImplementedError):
        detect(
            constraints={
                "cache_policy": {"kind": "approximate", "max_bytes": 10, "error_tolerance": 0.1}
            }
        )


# ----- constraints dictionary -----


def test_constraints_defaults_and_values():
    assert detect(constraints={}).breakpoints == detect().breakpoints
    result = detect(
        constraints={
            "min_segment_len": 5,
            "jump": 5,
            "max_change_points": None,
            "candidate_splits": (60, 120),
            "cache_policy": "FULL",
            "degradation_plan": [
                "Disable_Uncertainty_Bands",
                {"kind": "increase_jump", "factor": 2, "max_jump": 4},
            ],
            "allow_algorithm_fallback": True,
        },
        stopping={"n_bkps": 2},
    )
    assert result.breakpoints == [60, 120, 180]


@pytest.mark.parametrize(
    "constraints, exc, message",
    [
        ([1], TypeError, "constraints must be a dict"),
        ({"Jump": 1}, ValueError, "unsupported constraints key 'Jump'"),
        ({1: 1, "Jump": 1}, TypeError, "constraints keys must be strings"),
        ({"Jump": 1, 1: 1}, ValueError, "unsupported constraints key 'Jump'"),
        ({"candidate_splits": "12"}, TypeError, "Can't extract `str` to `Vec`"),
        (
            {"cache_policy": "Budgeted"},
            ValueError,
            "constraints.cache_policy as string only supports 'full'; use dict form for other policies",
        ),
        (
            {"cache_policy": "huge"},
            ValueError,
            "unsupported constraints.cache_policy 'huge'; expected 'full' or dict with kind",
        ),
        ({"cache_policy": 3}, TypeError, "constraints.cache_policy must be a string or dict"),
        (
            {"cache_policy": {}},
            ValueError,
            "constraints.cache_policy requires key 'kind' with a valid value",
        ),
        (
            {"cache_policy": {"kind": 1}},
            TypeError,
            "constraints.cache_policy.kind must be a string",
        ),
        (
            {"cache_policy": {"kind": "lru"}},
            ValueError,
            "unsupported constraints.cache_policy.kind 'lru'; expected one of: 'full', 'budgeted', 'approximate'",
        ),
        (
            {"cache_policy": {"kind": "budgeted", "max_bytes": "1k"}},
            TypeError,
            "constraints.cache_policy.max_bytes must be an integer",
        ),
        (
            {"cache_policy": {"kind": "approximate", "max_bytes": 1024}},
            ValueError,
            "constraints.cache_policy requires key 'error_tolerance' with a valid value",
        ),
        (
            {"cache_policy": {"kind": "approximate", "max_bytes": 1, "error_tolerance": "x"}},
            TypeError,
            "constraints.cache_policy.error_tolerance must be a float",
        ),
        (
            {"degradation_plan": ("disable_uncertainty_bands",)},
            TypeError,
            "constraints.degradation_plan must be a list",
        ),
        (
            {"degradation_plan": ["increase_jump"]},
            ValueError,
            "unsupported constraints.degradation_plan step 'increase_jump'",
        ),
        (
            {"degradation_plan": [3]},
            TypeError,
            "constraints.degradation_plan entries must be strings or dicts with 'kind'",
        ),
        (
            {"degradation_plan": [{"kind": 3}]},
            TypeError,
            "constraints.degradation_plan step kind must be a string",
        ),
        (
            {"degradation_plan": [{"kind": "shrink"}]},
            ValueError,
            "unsupported constraints.degradation_plan step kind 'shrink'",
        ),
        (
            {"degradation_plan": [{"kind": "increase_jump", "max_jump": 2}]},
            ValueError,
            "constraints.degradation_plan step requires key 'factor' with a valid value",
        ),
        (
            {"degradation_plan": [{"kind": "increase_jump", "factor": 1.5, "max_jump": 2}]},
            TypeError,
            "constraints.degradation_plan increase_jump.factor must be an integer",
        ),
        (
            {"degradation_plan": [{"kind": "increase_jump", "factor": 2, "max_jump": None}]},
            TypeError,
            "constraints.degradation_plan increase_jump.max_jump must be an integer",
        ),
        (
            {"degradation_plan": [{"kind": "switch_cache_policy", "cache_policy": "x"}]},
            ValueError,
            "unsupported constraints.cache_policy 'x'; expected 'full' or dict with kind",
        ),
    ],
)
def test_constraints_refusals(constraints, exc, message):
    raises(exc, message, constraints=constraints)


@pytest.mark.parametrize(
    "constraints, exc",
    [
        ({"jump": None}, TypeError),
        ({"jump": -1}, OverflowError),
        ({"jump": 2**64}, OverflowError),
        ({"allow_algorithm_fallback": 1}, TypeError),
        ({"candidate_splits": [1, -2]}, OverflowError),
    ],
)
def test_constraints_conversion_errors_pass_through(constraints, exc):
    with pytest.raises(exc):
        detect(constraints=constraints)


def test_jump_zero_is_refused_by_the_engine_not_the_parser():
    raises(ValueError, "constraints.jump must be >= 1; got 0", constraints={"jump": 0})


def test_dictionary_walk_survives_mutation_during_conversion():
    constraints = {}

    class Sneaky:
        def __index__(self):
            constraints.clear()
            constraints.update({f"k{i}": i for i in range(50)})
            return 3

    constraints["min_segment_len"] = Sneaky()
    constraints["jump"] = 1
    assert detect(constraints=constraints).breakpoints[-1] == 180


# ----- stopping dictionary -----


@pytest.mark.parametrize(
    "stopping, first_note",
    [
        ({"penalty": "BIC"}, "stopping=Penalized(BIC)"),
        ({"penalty": "aic"}, "stopping=Penalized(AIC)"),
        ({"penalty": 3}, "stopping=Penalized(Manual(3.0))"),
        ({"pen": 2.5, "n_bkps": None}, "stopping=Penalized(Manual(2.5))"),
        ({"n_bkps": 2, "pen": None}, "stopping=KnownK(2)"),
    ],
)
def test_stopping_forms(stopping, first_note):
    assert detect(stopping=stopping).diagnostics.notes[0].startswith(first_note)


@pytest.mark.parametrize(
    "stopping, exc, message",
    [
        ([], TypeError, "stopping must be a dict"),
        ({1: 2}, TypeError, "stopping keys must be strings"),
        ({"k": 2}, ValueError, "unsupported stopping key 'k'"),
        ({}, ValueError, "stopping requires one of n_bkps, pen, or penalty"),
        (
            {"n_bkps": None, "pen": None},
            ValueError,
            "stopping requires one of n_bkps, pen, or penalty",
        ),
        (
            {"penalty": "mbic"},
            ValueError,
            "unsupported stopping.penalty 'mbic'; expected 'bic', 'aic', or a positive float",
        ),
        (
            {"penalty": None},
            TypeError,
            "stopping.penalty must be 'bic', 'aic', or a positive float",
        ),
        (
            {"penalty": -2.0},
            ValueError,
            "stopping.penalty numeric value must be finite and > 0.0; got -2",
        ),
        ({"pen": 0.0}, ValueError, "stopping.pen must be finite and > 0.0; got 0"),
        ({"pen": float("nan")}, ValueError, "stopping.pen must be finite and > 0.0; got NaN"),
        (
            {"pen": 1e-7, "n_bkps": 1, "penalty": None},
            TypeError,
            "stopping.penalty must be 'bic', 'aic', or a positive float",
        ),
        ({"n_bkps": 0}, ValueError, "stopping.n_bkps must be >= 1 when provided"),
        (
            {"n_bkps": 0, "penalty": "bic"},
            ValueError,
            "stopping requires exactly one of n_bkps or (pen/penalty); got both",
        ),
        ({"n_bkps": 2, "pen": -1}, ValueError, "stopping.pen must be finite and > 0.0; got -1"),
        (
            {"n_bkps": 2, "pen": 1},
            ValueError,
            "stopping requires exactly one of n_bkps or (pen/penalty); got both",
        ),
        (
            {"pen": -1, "penalty": "bic"},
            ValueError,
            "stopping accepts at most one of 'pen' or 'penalty'",
        ),
        (
            {"pen": 1, "penalty": -1},
            ValueError,
            "stopping.penalty numeric value must be finite and > 0.0; got -1",
        ),
    ],
)
def test_stopping_refusals(stopping, exc, message):
    raises(exc, message, stopping=stopping)


def test_negative_n_bkps_is_an_overflow():
    with pytest.raises(OverflowError):
        detect(stopping={"n_bkps": -1})


# ----- preprocess dictionary -----


@pytest.mark.parametrize(
    "preprocess",
    [{}, {"detrend": None, "deseasonalize": None, "winsorize": None, "robust_scale": None}],
)
def test_empty_preprocess_is_no_preprocessing(preprocess):
    notes = detect(preprocess=preprocess).diagnostics.notes
    assert not any(n.startswith("preprocess:") for n in notes)


@pytest.mark.parametrize(
    "preprocess, note",
    [
        (
            {"winsorize": {"lower_quantile": 0}},
            "preprocess:winsorize lower_quantile=0, upper_quantile=0.99",
        ),
        ({"deseasonalize": {"method": "STL_LIKE", "period": 7}}, "preprocess:deseasonalize"),
        ({"detrend": {"method": "polynomial", "degree": 2}}, "preprocess:detrend"),
        ({"robust_scale": {}}, "preprocess:robust_scale"),
    ],
)
def test_preprocess_steps_leave_notes(preprocess, note):
    notes = detect(preprocess=preprocess).diagnostics.notes
    assert any(n.startswith(note) for n in notes), notes


@pytest.mark.parametrize(
    "preprocess, exc, message",
    [
        ([], TypeError, "preprocess must be a dict"),
        ({2: {}}, TypeError, "preprocess keys must be strings"),
        ({"Detrend": {}}, ValueError, "unsupported preprocess key 'Detrend'"),
        ({"detrend": 1}, TypeError, "preprocess.detrend must be a dict or None"),
        ({"detrend": {1: 1}}, TypeError, "preprocess.detrend keys must be strings"),
        ({"detrend": {"order": 1}}, ValueError, "unsupported preprocess.detrend key 'order'"),
        ({"detrend": {"method": 1}}, TypeError, "preprocess.detrend.method must be a string"),
        (
            {"detrend": {"method": "linear", "degree": None}},
            TypeError,
            "preprocess.detrend.degree must be an integer",
        ),
        (
            {"detrend": {"degree": 2}},
            ValueError,
            "preprocess.detrend requires key 'method' with a valid value",
        ),
        (
            {"detrend": {"method": "polynomial"}},
            ValueError,
            "preprocess.detrend.method='polynomial' requires key 'degree'",
        ),
        (
            {"detrend": {"method": "linear", "degree": 1}},
            ValueError,
            "preprocess.detrend.method='linear' does not accept key 'degree'",
        ),
        (
            {"detrend": {"method": "cubic"}},
            ValueError,
            "unsupported preprocess.detrend.method 'cubic'; expected one of: 'linear', 'polynomial'",
        ),
        (
            {"detrend": {"method": "polynomial", "degree": 5}},
            ValueError,
            "DetrendMethod::Polynomial degree must be in 1..=3, got 5",
        ),
        ({"deseasonalize": []}, TypeError, "preprocess.deseasonalize must be a dict or None"),
        (
            {"deseasonalize": {"period": "7"}},
            TypeError,
            "preprocess.deseasonalize.period must be an integer",
        ),
        (
            {"deseasonalize": {"period": 7}},
            ValueError,
            "preprocess.deseasonalize requires key 'method' with a valid value",
        ),
        (
            {"deseasonalize": {"method": "bogus"}},
            ValueError,
            "preprocess.deseasonalize requires key 'period' with a valid value",
        ),
        (
            {"deseasonalize": {"method": "bogus", "period": 2}},
            ValueError,
            "unsupported preprocess.deseasonalize.method 'bogus'; expected one of: 'differencing', 'stl_like'",
        ),
        (
            {"deseasonalize": {"method": "stl_like", "period": 1}},
            ValueError,
            "Deseasonalize stl_like period must be >= 2, got 1",
        ),
        (
            {"winsorize": {"lower_quantile": "x"}},
            TypeError,
            "preprocess.winsorize.lower_quantile must be a float",
        ),
        (
            {"winsorize": {"upper_quantile": None}},
            TypeError,
            "preprocess.winsorize.upper_quantile must be a float",
        ),
        ({"winsorize": {"mid": 0.5}}, ValueError, "unsupported preprocess.winsorize key 'mid'"),
        (
            {"robust_scale": {"mad_epsilon": "x"}},
            TypeError,
            "preprocess.robust_scale.mad_epsilon must be a float",
        ),
        (
            {"robust_scale": {"normal_consistency": []}},
            TypeError,
            "preprocess.robust_scale.normal_consistency must be a float",
        ),
        ({"robust_scale": {1: 2}}, TypeError, "preprocess.robust_scale keys must be strings"),
        (
            {"robust_scale": {"mad_epsilon": 0}},
            ValueError,
            "Robust scaling mad_epsilon must be finite and > 0, got 0",
        ),
    ],
)
def test_preprocess_refusals(preprocess, exc, message):
    raises(exc, message, preprocess=preprocess)


def test_detection_runs_without_the_interpreter_lock():
    import sys
    import threading
    import time

    # Pure noise under a huge penalty: nothing prunes, so the run takes a while.
    slow = np.random.default_rng(5).normal(size=12000)
    window = {}
    done = threading.Event()

    def run():
        try:
            window["start"] = time.perf_counter()
            ovrel.detect_offline(slow, stopping={"pen": 1e9})
            window["end"] = time.perf_counter()
        finally:
            done.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        stamps = []
        while not done.is_set():
            stamps.append(time.perf_counter())
        thread.join()
    finally:
        sys.setswitchinterval(interval)
    # This thread ran in the middle of the detection, not just around its edges.
    start, end = window["start"], window["end"]
    quarter = (end - start) / 4
    assert any(start + quarter < t < end - quarter for t in stamps)
