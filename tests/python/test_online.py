import json
import threading

import numpy as np
import pytest

import ovrel

# Exact construction, policy, hazard and update texts are in tests/data/python_online_texts.txt.
CLASSES = [ovrel.Bocpd, ovrel.Cusum, ovrel.PageHinkley]
FIELDS = ["t", "p_change", "alert", "alert_reason", "run_length_mode", "run_length_mean"]


def fields(r):
    # Every field but the measured latency.
    return tuple(getattr(r, f) for f in FIELDS)


def stored_state(det):
    return json.loads(bytes(det.save_state(format="json")["payload"]))


def stream(n=60, shift=30, seed=3):
    x = np.random.default_rng(seed).normal(size=n)
    x[shift:] += 6.0
    return x


def test_default_policies():
    gate = {"threshold": 0.5, "hysteresis": 0.0, "cooldown_steps": 0, "min_run_length": 0}
    assert stored_state(ovrel.Bocpd())["alert_gate"]["policy"] == gate
    for cls in (ovrel.Cusum, ovrel.PageHinkley):
        assert stored_state(cls())["alert_gate"]["policy"] == dict(gate, threshold=1.0)
    assert stored_state(ovrel.Bocpd(alert_policy={}))["alert_gate"]["policy"] == gate
    policy = {"threshold": 1, "hysteresis": True, "cooldown": 3, "min_run_length": 4}
    assert stored_state(ovrel.Cusum(alert_policy=policy))["alert_gate"]["policy"] == {
        "threshold": 1.0, "hysteresis": 1.0, "cooldown_steps": 3, "min_run_length": 4,
    }  # fmt: skip


def test_hazard_forms_agree():
    x = stream()
    a = ovrel.Bocpd(hazard=0.01).update_many(x)
    b = ovrel.Bocpd(hazard={"kind": "Constant", "p_change": 0.01}).update_many(x)
    assert [fields(r) for r in a] == [fields(r) for r in b]
    # A different hazard is not ignored.
    c = ovrel.Bocpd(hazard={"kind": "geometric", "mean_run_length": 100.0}).update_many(x)
    assert [r.p_change for r in c] == [r.p_change for r in a]  # 1/100 is 0.01
    d = ovrel.Bocpd().update_many(x)
    assert [r.p_change for r in d] != [r.p_change for r in a]


def test_cusum_follows_its_recursion():
    # score_t = max(score_{t-1} + (x - target_mean) - drift, 0); p = min(score / threshold, 1)
    x = stream(seed=8)
    det = ovrel.Cusum(drift=0.25, threshold=5.0, target_mean=0.5)
    score = 0.0
    for i, v in enumerate(x):
        score = max(score + ((v - 0.5) - 0.25), 0.0)
        r = det.update(v)
        assert (r.t, r.p_change) == (i, min(score / 5.0, 1.0))


@pytest.mark.parametrize("n", [1, 15, 16, 200])
@pytest.mark.parametrize("cls", CLASSES)
def test_batches_equal_single_updates(cls, n):
    # 15 values keep the interpreter lock, 16 release it; float32 rows widen exactly.
    x = stream(n=n, shift=n // 2)
    x = x.astype(np.float32) if n == 16 else x
    single = cls()
    one = [fields(single.update(float(v))) for v in x]
    batch = cls()
    assert [fields(r) for r in batch.update_many(x)] == one
    assert stored_state(batch) == stored_state(single)


@pytest.mark.parametrize(
    "det, first",
    [
        (ovrel.Bocpd(alert_policy={"threshold": 0.3}), "40 bocpd p_change 0.450582 >= threshold 0.300000"),
        (ovrel.Cusum(drift=0.5), "41 cusum p_change 1.000000 >= threshold 1.000000"),
        (ovrel.Cusum(drift=0.5, alert_policy={"threshold": 0.5}), "40 cusum p_change 0.722056 >= threshold 0.500000"),
        (ovrel.PageHinkley(threshold=20), "42 page_hinkley p_change 1.000000 >= threshold 1.000000"),
    ],
)  # fmt: skip
def test_alerts_fire_at_the_change(det, first):
    # The gate stays disarmed while the score stays high: one alert per change.
    alerts = [f"{r.t} {r.alert_reason}" for r in det.update_many(stream(n=80, shift=40)) if r.alert]
    assert alerts == [first]


def test_update_argument_forms():
    a, b = ovrel.Cusum(), ovrel.Cusum()
    assert fields(a.update(1.0, t_ns=None)) == fields(b.update(1.0))
    assert fields(a.update(True, 5)) == fields(b.update(x_t=1, t_ns=5))


def test_late_data_reasons():
    policy = {"kind": "buffer_within_window", "max_delay_ns": 100, "max_buffer_items": 2, "on_overflow": "DropNewest"}  # fmt: skip
    det = ovrel.Cusum(threshold=2.0, late_data_policy=policy)
    reasons = [det.update(x, t).alert_reason for x, t in [(0.0, 1000), (5.0, 1010), (0.0, 950), (0.0, 960), (1.0, 970), (0.0, 1200)]]  # fmt: skip
    buffered = "late data buffered; detector state unchanged"
    assert reasons == [
        None,
        "cusum p_change 1.000000 >= threshold 1.000000",
        buffered,
        buffered,
        "late data dropped (buffer capacity exceeded (max_buffer_items=2), overflow=DropNewest)",
        None,
    ]
    policy = dict(policy, kind="REORDER_BY_TIMESTAMP", max_buffer_items=1, on_overflow="error")
    det = ovrel.PageHinkley(late_data_policy=policy)
    det.update(0.0, 1000)
    assert det.update(0.0, 990).alert_reason == buffered
    with pytest.raises(
        ValueError,
        match=r"^late-data overflow \(policy=ReorderByTimestamp, overflow=Error\): buffer "
        r"capacity exceeded \(max_buffer_items=1\)$",
    ):
        det.update(0.0, 980)
    assert ovrel.Cusum(late_data_policy="REJECT").update(0.0, 1).alert_reason is None


def test_batch_failures():
    det = ovrel.Bocpd()
    det.update_many([1.0, 2.0])
    before = stored_state(det)
    for batch, exc, message in [
        (np.zeros((4, 2)), ValueError, r"BOCPD currently supports univariate updates only; got d=2 \(expected 1\)"),
        ([1.0, 2.0, float("nan"), 4.0], ValueError, "missing data encountered with MissingPolicy::Error.*"),
        ([], ValueError, "n must be >= 1"),
        ([1, 2], TypeError, "expected float32 or float64, got int64"),
    ]:  # fmt: skip
        with pytest.raises(exc, match=f"^{message}$"):
            det.update_many(batch)
    assert stored_state(det) == before
    # A row refused inside the detector ends the batch; the rows before it stay applied.
    counts = ovrel.Bocpd(model="poisson")
    with pytest.raises(ValueError, match="^poisson observation must be an integer-valued count; got 0.5$"):  # fmt: skip
        counts.update_many([1.0, 2.0, 0.5, 3.0])
    assert stored_state(counts)["t"] == 2


def test_reset_returns_to_the_initial_state():
    x = stream()
    for cls in CLASSES:
        det = cls(alert_policy={"cooldown": 2})
        det.update_many(x)
        assert det.reset() is None
        fresh = cls(alert_policy={"cooldown": 2})
        assert [fields(r) for r in det.update_many(x)] == [fields(r) for r in fresh.update_many(x)]


def test_step_result_is_read_only():
    r = ovrel.Bocpd().update(0.25)
    assert (type(r.t), type(r.alert), type(r.processing_latency_us)) == (int, bool, int)
    assert r.alert_reason is None
    for name in FIELDS + ["processing_latency_us", "extra"]:
        with pytest.raises(AttributeError):
            setattr(r, name, 1)


def test_lock_free_batch_refuses_other_calls_at_once():
    det = ovrel.Bocpd(max_run_length=400)
    x = np.random.default_rng(1).normal(size=40000)
    saved = ovrel.Bocpd().save_state()
    done = threading.Event()
    outcome = {}

    def run():
        try:
            outcome["n"] = len(det.update_many(x))
        finally:
            done.set()

    calls = [
        (lambda: det.update(0.0), "Already borrowed"),
        (lambda: det.update_many([0.0]), "Already borrowed"),
        (lambda: det.reset(), "Already borrowed"),
        (lambda: det.load_state(saved), "Already borrowed"),
        (lambda: repr(det), "Already mutably borrowed"),
        (lambda: det.save_state(), "Already mutably borrowed"),
    ]
    seen = set()
    thread = threading.Thread(target=run)
    thread.start()
    other = ovrel.Cusum()
    while not done.is_set():
        other.update(1.0)  # other objects proceed meanwhile
        for call, message in calls:
            try:
                call()
            except RuntimeError as e:
                assert str(e) == message
                seen.add(message)
    thread.join()
    assert outcome["n"] == 40000
    assert seen == {"Already borrowed", "Already mutably borrowed"}
