from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import ovrel


def three_shifts(seed=0, d=1):
    rng = np.random.default_rng(seed)
    x = np.concatenate([rng.normal(m, 1.0, size=(100, d)) for m in (0.0, 5.0, -2.0)])
    return x[:, 0] if d == 1 else x


X = three_shifts()


# The exact construction, binding and predict texts are in tests/data/python_pipeline_texts.txt
# and python_texts.txt.


def test_fit_returns_self_and_a_failed_fit_keeps_the_earlier_series():
    p = ovrel.Pelt()
    assert p.fit(X) is p
    r = p.predict(pen=10.0)
    assert isinstance(r, ovrel.OfflineChangePointResult)
    assert (r.breakpoints, r.change_points) == ([100, 200, 300], [100, 200])
    pytest.raises(TypeError, p.fit, [1, 2, 3])
    pytest.raises(ValueError, p.fit, [1.0, float("nan")])
    # Any real penalty is accepted.
    assert [p.predict(pen=pen).breakpoints for pen in (10, np.float32(10.0))] == [
        [100, 200, 300]
    ] * 2


@pytest.mark.parametrize("cls", [ovrel.Pelt, ovrel.Binseg])
@pytest.mark.parametrize("model", ["l2", "l1", "normal", "normal_full_cov", "rank"])
def test_known_changes_are_found(cls, model):
    r = cls(model=model).fit(three_shifts(1)).predict(n_bkps=2)
    assert len(r.breakpoints) == 3 and r.breakpoints[-1] == 300
    assert all(abs(b - e) <= 3 for b, e in zip(r.breakpoints, [100, 200]))
    d = r.diagnostics
    assert (d.n, d.d, d.repro_mode) == (300, 1, "balanced")
    assert d.algorithm == {"Pelt": "pelt", "Binseg": "binseg"}[cls.__name__]


def test_fit_notes_follow_the_detector_notes():
    x = np.asfortranarray(three_shifts(2, d=2))
    r = ovrel.Pelt().fit(x).predict(pen=20.0)
    assert r.diagnostics.notes[-1] == "fit: copied from F-contiguous to C-contiguous layout"
    assert not any(n.startswith("fit: ") for n in r.diagnostics.notes[:-1])
    assert r.breakpoints == [100, 200, 300]


def test_constraints_reach_the_detector():
    assert ovrel.Pelt(min_segment_len=150).fit(X).predict(pen=10.0).breakpoints == [150, 300]
    jumped = ovrel.Pelt(jump=7).fit(X).predict(n_bkps=2).breakpoints
    assert jumped[-1] == 300 and all(b % 7 == 0 for b in jumped[:-1]) and len(jumped) == 3
    for capped in (ovrel.Binseg(max_depth=1), ovrel.Binseg(max_change_points=1)):
        assert capped.fit(X).predict(pen=10.0).breakpoints in ([100, 300], [200, 300])


def slow_series():
    # Pure noise under a huge penalty: nothing prunes, so the run is quadratic.
    return np.random.default_rng(5).normal(size=12000)


def test_predict_releases_the_interpreter_lock_and_blocks_fit():
    p = ovrel.Pelt().fit(slow_series())
    refused = progress = 0
    with ThreadPoolExecutor(1) as pool:
        run = pool.submit(p.predict, pen=1e9)
        while not run.done():
            progress += 1
            try:
                p.fit(np.arange(10.0))
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                refused += 1
        assert run.result().breakpoints == [12000]
    assert progress > 1 and refused > 0


def test_concurrent_predicts_share_the_object():
    p = ovrel.Pelt().fit(slow_series()[:6000])
    with ThreadPoolExecutor(3) as pool:  # a refused borrow would raise here
        runs = [pool.submit(p.predict, pen=1e9) for _ in range(3)]
        assert [r.result().breakpoints for r in runs] == [[6000]] * 3


def test_predict_holds_its_borrow_while_converting_arguments():
    p = ovrel.Pelt().fit(X)
    refused = []

    class Pen:
        def __float__(self):
            try:
                p.fit(np.arange(10.0))
            except RuntimeError as e:
                refused.append(str(e))
            return 10.0

    assert p.predict(pen=Pen()).diagnostics.n == 300
    assert refused == ["Already borrowed"]
