import sys
import threading
import time

import numpy as np
import pytest

import ovrel
from conftest import X


def detect(**kwargs):
    return ovrel.detect_offline(X, **kwargs)


@pytest.mark.parametrize(
    "detector", ["pelt", "PELT", "binseg", "fpop", "segneigh", "SegNeigh", "seg_neigh", "DYNP"]
)
def test_every_detector_finds_the_changes(detector):
    result = detect(detector=detector, stopping={"n_bkps": 2})
    assert result.breakpoints == [60, 120, 180]


# ----- segments the cost cannot score -----

NOISE = np.random.default_rng(0)


@pytest.mark.parametrize("shape", [(400, 5), (300, 5), (400, 20)])
@pytest.mark.parametrize("detector", ["pelt", "binseg", "dynp", "wbs"])
def test_full_covariance_finds_no_change_in_pure_noise(shape, detector):
    x = NOISE.normal(size=shape)
    if detector == "wbs":
        result = ovrel.detect_offline(x, pipeline={"detector": "wbs", "cost": "normal_full_cov"})
    else:
        result = ovrel.detect_offline(x, detector=detector, cost="normal_full_cov")
    d = shape[1]
    assert result.breakpoints == [shape[0]]
    assert result.diagnostics.notes[-1] == (
        f"min_segment_len raised from 2 to {d + 1}: normal_full_cov needs at least {d + 1} points per segment"
    )


def test_raised_minimum_is_the_minimum_asked_for_and_keeps_long_segments():
    x = NOISE.normal(size=300)
    raised = ovrel.Pelt(model="normal", min_segment_len=1).fit(x).predict(pen=2 * np.log(300))
    asked = ovrel.Pelt(model="normal", min_segment_len=2).fit(x).predict(pen=2 * np.log(300))
    assert raised.breakpoints == asked.breakpoints
    assert raised.diagnostics.notes[:-1] == asked.diagnostics.notes
    assert raised.diagnostics.notes[-1] == (
        "min_segment_len raised from 1 to 2: normal_mean_var needs at least 2 points per segment"
    )
    # Segments of 60 rows already meet d + 1 = 3: the same changes, one note more.
    x2 = np.c_[X, 2.0 * X] + NOISE.normal(scale=0.1, size=(X.size, 2))
    run = ovrel.detect_offline(x2, cost="normal_full_cov", stopping={"n_bkps": 2})
    assert run.breakpoints == [60, 120, 180]
    # A series shorter than d + 1 stays one segment; an invalid minimum is still refused.
    short = ovrel.detect_offline(NOISE.normal(size=(4, 5)), cost="normal_full_cov")
    assert short.breakpoints == [4]
    assert "raised from 2 to 4" in short.diagnostics.notes[-1]
    with pytest.raises(ValueError, match=r"^constraints.min_segment_len must be >= 1; got 0$"):
        ovrel.detect_offline(x, cost="normal", constraints={"min_segment_len": 0})


ROADS_TO_A_RAISED_MINIMUM = {
    "Pelt": lambda x, cost, m: ovrel.Pelt(model=cost, min_segment_len=m).fit(x).predict(n_bkps=1),
    "Binseg": lambda x, cost, m: (
        ovrel.Binseg(model=cost, min_segment_len=m).fit(x).predict(n_bkps=1)
    ),
    "explicit": lambda x, cost, m: ovrel.detect_offline(
        x, detector="dynp", cost=cost, constraints={"min_segment_len": m}, stopping={"n_bkps": 1}
    ),
    "pipeline": lambda x, cost, m: ovrel.detect_offline(
        x,
        pipeline={
            "detector": "wbs",
            "cost": cost,
            "constraints": {"min_segment_len": m},
            "stopping": {"KnownK": 1},
        },
    ),
}


@pytest.mark.parametrize("road", ROADS_TO_A_RAISED_MINIMUM)
@pytest.mark.parametrize(
    ("shape", "cost", "asked", "needed", "model"),
    [((11, 5), "normal_full_cov", 5, 6, "normal_full_cov"), (3, "normal", 1, 2, "normal_mean_var")],
)
def test_a_refusal_after_the_raised_minimum_carries_its_note(
    road, shape, cost, asked, needed, model
):
    run = ROADS_TO_A_RAISED_MINIMUM[road]
    x = NOISE.normal(size=shape)
    with pytest.raises(ValueError) as raised:
        run(x, cost, asked)
    # Asking for the raised minimum directly: the same refusal, and nothing was raised to note.
    with pytest.raises(ValueError) as direct:
        run(x, cost, needed)
    assert str(raised.value) == str(direct.value)
    assert str(raised.value).startswith("KnownK exact solution unreachable: requested k=1")
    assert raised.value.__notes__ == [
        f"min_segment_len raised from {asked} to {needed}: {model} needs at least {needed} points per segment"
    ]
    assert not hasattr(direct.value, "__notes__")


# ----- constraints dictionary (conversion errors pass through: data rows) -----


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


# ----- preprocess dictionary (the stopping and preprocess shapes are data rows) -----


# Refusals, argument types and the check order (the series before the dictionaries) are data
# rows of tests/data/python_texts.txt.


def test_detection_runs_without_the_interpreter_lock():
    # Pure noise under a huge penalty: nothing prunes, so the run takes a while.
    slow = np.random.default_rng(5).normal(size=12000)
    window = []

    def run():
        window.append(time.perf_counter())
        ovrel.detect_offline(slow, stopping={"pen": 1e9})
        window.append(time.perf_counter())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        stamps = []
        while thread.is_alive():
            stamps.append(time.perf_counter())
        thread.join()
    finally:
        sys.setswitchinterval(interval)
    # This thread ran in the middle of the detection, not just around its edges.
    start, end = window
    quarter = (end - start) / 4
    assert any(start + quarter < t < end - quarter for t in stamps)
