import numpy as np
import pytest

import ovrel

RNG = np.random.default_rng(7)
X = np.r_[np.zeros(60), np.full(60, 4.0), np.zeros(60)] + RNG.normal(scale=0.5, size=180)


def detect(**kwargs):
    return ovrel.detect_offline(X, **kwargs)


def test_defaults():
    result = detect()
    assert result.breakpoints == [60, 120, 180]
    assert result.diagnostics.notes[0].startswith("stopping=Penalized(BIC), beta=")
    assert result.diagnostics.build.abi == "nano-abi3-py39"


@pytest.mark.parametrize(
    "detector", ["pelt", "PELT", "binseg", "fpop", "segneigh", "SegNeigh", "seg_neigh", "DYNP"]
)
def test_every_detector_finds_the_changes(detector):
    result = detect(detector=detector, stopping={"n_bkps": 2})
    assert result.breakpoints == [60, 120, 180]


def test_repro_mode():
    assert detect(repro_mode="FAST").diagnostics.repro_mode == "fast"
    assert detect(repro_mode="Strict").diagnostics.repro_mode == "strict"


@pytest.mark.parametrize("name", ["detector", "cost", "repro_mode", "return_diagnostics"])
def test_none_is_not_a_value_for_typed_arguments(name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        detect(**{name: None})


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
    tail = [n.split(" ")[0] for n in notes if n.startswith(("preprocess:", "input:"))]
    assert tail == ["preprocess:detrend", "preprocess:robust_scale", "input:"]


# ----- constraints dictionary -----


def test_constraints_defaults_and_values():
    assert detect(constraints={}).breakpoints == detect().breakpoints
    plan = ["Disable_Uncertainty_Bands", {"kind": "increase_jump", "factor": 2, "max_jump": 4}]
    constraints = {"min_segment_len": 5, "jump": 5, "max_change_points": None, "candidate_splits": (60, 120), "cache_policy": "FULL", "degradation_plan": plan, "allow_algorithm_fallback": True}  # fmt: skip
    result = detect(constraints=constraints, stopping={"n_bkps": 2})
    assert result.breakpoints == [60, 120, 180]


@pytest.mark.parametrize(
    "constraints, exc",
    [({"jump": None}, TypeError), ({"jump": -1}, OverflowError), ({"jump": 2**64}, OverflowError),
     ({"allow_algorithm_fallback": 1}, TypeError), ({"candidate_splits": [1, -2]}, OverflowError),
     ({"n_bkps": -1}, OverflowError)],
)  # fmt: skip
def test_conversion_errors_pass_through(constraints, exc):
    with pytest.raises(exc):
        detect(**{"stopping" if "n_bkps" in constraints else "constraints": constraints})


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
        ({"winsorize": {"lower_quantile": 0}}, "preprocess:winsorize lower_quantile=0, upper_quantile=0.99"),
        ({"deseasonalize": {"method": "STL_LIKE", "period": 7}}, "preprocess:deseasonalize"),
        ({"detrend": {"method": "polynomial", "degree": 2}}, "preprocess:detrend"),
        ({"robust_scale": {}}, "preprocess:robust_scale"),
    ],
)  # fmt: skip
def test_preprocess_steps_leave_notes(preprocess, note):
    notes = detect(preprocess=preprocess).diagnostics.notes
    assert any(n.startswith(note) for n in notes), notes


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
