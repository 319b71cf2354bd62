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
