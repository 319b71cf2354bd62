import json
import threading

import numpy as np
import pytest

import ovrel
from ovrel import _ovrel_rs

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


def test_registry_order_and_signatures():
    assert _ovrel_rs.__all__ == [
        "__version__", "BuildInfo", "PruningStats", "SegmentStats", "Diagnostics",
        "OfflineChangePointResult", "OnlineStepResult", "Pelt", "Binseg", "Fpop", "Bocpd",
        "Cusum", "PageHinkley", "_BocpdState", "_CusumState", "_PageHinkleyState",
        "SmokeDetector", "detect_offline", "smoke_detect",
    ]  # fmt: skip
    assert ovrel.Bocpd.__text_signature__ == (
        '(model="gaussian_nig", hazard=None, max_run_length=2000, alert_policy=None, '
        "late_data_policy=None)"
    )
    assert ovrel.Cusum.__text_signature__ == (
        "(drift=0.0, threshold=8.0, target_mean=0.0, alert_policy=None, late_data_policy=None)"
    )
    assert ovrel.PageHinkley.__text_signature__ == (
        "(delta=0.01, threshold=8.0, initial_mean=0.0, alert_policy=None, late_data_policy=None)"
    )
    assert ovrel.PageHinkley.__doc__.endswith(
        "Stateful Page-Hinkley detector for streaming updates."
    )
    for cls in CLASSES:
        assert cls.update.__text_signature__ == "($self, x_t, t_ns=None)"
        assert cls.update_many.__text_signature__ == "($self, x_batch)"
        assert cls.reset.__text_signature__ == "($self)"
    for cls in (ovrel.OnlineStepResult, _ovrel_rs._BocpdState, _ovrel_rs._PageHinkleyState):
        assert cls.__doc__ is None
        with pytest.raises(TypeError, match=rf"^No constructor defined for {cls.__name__}$"):
            cls()


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: ovrel.Bocpd(), "Bocpd(model='gaussian_nig', hazard='constant', max_run_length=2000)"),
        (lambda: ovrel.Bocpd("GAUSSIAN"), "Bocpd(model='gaussian_nig', hazard='constant', max_run_length=2000)"),
        (lambda: ovrel.Bocpd("Poisson", {"kind": "Geometric", "mean_run_length": 50}, 7), "Bocpd(model='poisson_gamma', hazard='geometric', max_run_length=7)"),
        (lambda: ovrel.Bocpd(model="bernoulli_beta", hazard=0.1), "Bocpd(model='bernoulli_beta', hazard='constant', max_run_length=2000)"),
        (lambda: ovrel.Cusum(threshold=8), "Cusum(drift=0, threshold=8, target_mean=0)"),
        (lambda: ovrel.Cusum(0.5, 2.25, -0.0), "Cusum(drift=0.5, threshold=2.25, target_mean=-0)"),
        (lambda: ovrel.PageHinkley(), "PageHinkley(delta=0.01, threshold=8, initial_mean=0)"),
        (lambda: ovrel.PageHinkley(initial_mean=1e20), "PageHinkley(delta=0.01, threshold=8, initial_mean=100000000000000000000)"),
    ],
)  # fmt: skip
def test_constructor_defaults_and_reprs(make, text):
    assert repr(make()) == text


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


NEG = "can't convert negative int to unsigned"
MODELS = "expected one of: 'gaussian_nig', 'poisson_gamma', 'bernoulli_beta'"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: ovrel.Bocpd(model="normal"), ValueError, f"unsupported model 'normal'; {MODELS}"),
        (lambda: ovrel.Bocpd(model=None), TypeError, "argument 'model': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: ovrel.Bocpd(max_run_length=0), ValueError, "max_run_length must be >= 1 for bounded BOCPD state"),
        (lambda: ovrel.Bocpd(max_run_length=-1), OverflowError, NEG),
        (lambda: ovrel.Bocpd(max_run_length=1.0), TypeError, "argument 'max_run_length': 'float' object cannot be interpreted as an integer"),
        (lambda: ovrel.Cusum(drift=-1), ValueError, "CUSUM drift must be finite and >= 0; got -1"),
        (lambda: ovrel.Cusum(threshold=None), TypeError, "argument 'threshold': must be real number, not NoneType"),
        (lambda: ovrel.PageHinkley(delta=float("nan")), ValueError, "Page-Hinkley delta must be finite and >= 0; got NaN"),
        (lambda: ovrel.PageHinkley(threshold=0), ValueError, "Page-Hinkley threshold must be finite and > 0; got 0"),
        (lambda: ovrel.PageHinkley(1, 2, 3, 4), TypeError, "alert_policy must be a dict"),
        # Where two errors meet: binding, then model, hazard, alert policy, late-data policy,
        # and the engine's own checks last.
        (lambda: ovrel.Bocpd(model="normal", max_run_length=-1), OverflowError, NEG),
        (lambda: ovrel.Bocpd(model="normal", hazard="x"), ValueError, f"unsupported model 'normal'; {MODELS}"),
        (lambda: ovrel.Bocpd(hazard="x", alert_policy=5), TypeError, "hazard must be a float or dict"),
        (lambda: ovrel.Bocpd(alert_policy=5, late_data_policy=5), TypeError, "alert_policy must be a dict"),
        (lambda: ovrel.Bocpd(max_run_length=0, late_data_policy="x"), ValueError, "late_data_policy as string supports only 'reject'; use dict form for buffered policies"),
        (lambda: ovrel.Cusum(drift=-1, alert_policy={"bogus": 1}), ValueError, "unsupported alert_policy key 'bogus'"),
        (lambda: ovrel.Cusum(drift=-1, threshold="x"), TypeError, "argument 'threshold': must be real number, not str"),
    ],
)  # fmt: skip
def test_constructor_refusals(call, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        call()


BUF = {"kind": "buffer_within_window", "max_delay_ns": 5, "max_buffer_items": 2, "on_overflow": "error"}  # fmt: skip
UNSUPPORTED_KIND = "expected one of: 'reject', 'buffer_within_window', 'reorder_by_timestamp'"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"alert_policy": [("threshold", 1)]}, TypeError, "alert_policy must be a dict"),
        ({"alert_policy": {1: 0.5}}, TypeError, "alert_policy keys must be strings"),
        ({"alert_policy": {"Threshold": 0.5}}, ValueError, "unsupported alert_policy key 'Threshold'"),
        ({"alert_policy": {"threshold": "a"}}, TypeError, "alert_policy.threshold must be a float"),
        ({"alert_policy": {"hysteresis": None}}, TypeError, "alert_policy.hysteresis must be a float"),
        ({"alert_policy": {"cooldown_steps": -1}}, TypeError, "alert_policy.cooldown_steps must be an integer"),
        ({"alert_policy": {"cooldown": 1.5}}, TypeError, "alert_policy.cooldown must be an integer"),
        ({"alert_policy": {"min_run_length": 2**64}}, TypeError, "alert_policy.min_run_length must be an integer"),
        ({"alert_policy": {"cooldown": 1, "cooldown_steps": 2}}, ValueError, "alert_policy accepts only one of cooldown or cooldown_steps"),
        ({"alert_policy": {"cooldown_steps": 1, "cooldown": "x"}}, ValueError, "alert_policy accepts only one of cooldown or cooldown_steps"),
        ({"alert_policy": {"threshold": "x", "bogus": 1}}, TypeError, "alert_policy.threshold must be a float"),
        ({"alert_policy": {"threshold": 0.4, "hysteresis": 0.5}}, ValueError, r"alert policy hysteresis must be finite and in \[0, threshold\]; got 0.5.*"),
        ({"alert_policy": {"threshold": 2}}, ValueError, r"alert policy threshold must be finite and in \[0,1\]; got 2"),
        ({"late_data_policy": "buffer_within_window"}, ValueError, "late_data_policy as string supports only 'reject'; use dict form for buffered policies"),
        ({"late_data_policy": 5}, TypeError, "late_data_policy must be a string or dict"),
        ({"late_data_policy": {}}, ValueError, "late_data_policy requires key 'kind' with a valid value"),
        ({"late_data_policy": {"kind": 1}}, TypeError, "late_data_policy.kind must be a string"),
        ({"late_data_policy": {"kind": "later"}}, ValueError, f"unsupported late_data_policy.kind 'later'; {UNSUPPORTED_KIND}"),
        ({"late_data_policy": {"kind": "reject", "max_delay_ns": 1}}, ValueError, "unsupported late_data_policy key 'max_delay_ns'"),
        ({"late_data_policy": dict(BUF, extra=1)}, ValueError, "unsupported late_data_policy key 'extra'"),
        ({"late_data_policy": {"kind": "reorder_by_timestamp", "max_delay_ns": "x"}}, TypeError, "late_data_policy.max_delay_ns must be an integer"),
        ({"late_data_policy": {"kind": "reorder_by_timestamp", "max_delay_ns": 1, "max_buffer_items": -1}}, TypeError, "late_data_policy.max_buffer_items must be an integer"),
        ({"late_data_policy": {"kind": "reorder_by_timestamp", "max_delay_ns": 1, "max_buffer_items": 1}}, ValueError, "late_data_policy requires key 'on_overflow' with a valid value"),
        ({"late_data_policy": dict(BUF, max_delay_ns=2**63)}, TypeError, "late_data_policy.max_delay_ns must be an integer"),
        ({"late_data_policy": dict(BUF, on_overflow=0)}, TypeError, "late_data_policy.on_overflow must be a string"),
        ({"late_data_policy": dict(BUF, on_overflow="drop-oldest")}, ValueError, "unsupported late_data_policy.on_overflow 'drop-oldest'; expected one of: 'drop_oldest', 'drop_newest', 'error'"),
        ({"late_data_policy": dict(BUF, max_delay_ns=0)}, ValueError, "BufferWithinWindow.max_delay_ns must be > 0; got 0"),
        ({"late_data_policy": dict(BUF, max_buffer_items=0)}, ValueError, "BufferWithinWindow.max_buffer_items must be > 0; got 0"),
    ],
)  # fmt: skip
@pytest.mark.parametrize("cls", CLASSES)
def test_policy_dictionary_errors(cls, kwargs, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        cls(**kwargs)


@pytest.mark.parametrize(
    "hazard, exc, message",
    [
        (True, ValueError, r"constant hazard p_change must be finite and in \(0,1\); got 1"),
        ("0.1", TypeError, "hazard must be a float or dict"),
        ([0.1], TypeError, "hazard must be a float or dict"),
        ({}, ValueError, "hazard requires key 'kind' with a valid value"),
        ({"kind": None}, TypeError, "hazard.kind must be a string"),
        ({"kind": "linear"}, ValueError, "unsupported hazard.kind 'linear'; expected one of: 'constant', 'geometric'"),
        ({"kind": "geometric", "p_change": 0.1}, ValueError, "unsupported hazard key 'p_change'"),
        ({"kind": "geometric", 0: 1}, TypeError, "hazard keys must be strings"),
        ({"kind": "geometric"}, ValueError, "hazard requires key 'mean_run_length' with a valid value"),
        ({"kind": "geometric", "mean_run_length": None}, TypeError, "hazard.mean_run_length must be a float"),
        ({"kind": "geometric", "mean_run_length": 1}, ValueError, "geometric hazard mean_run_length must be finite and > 1; got 1"),
        ({"kind": "constant", "p_change": "x"}, TypeError, "hazard.p_change must be a float"),
        ({"kind": "CONSTANT", "p_change": 0.0}, ValueError, r"constant hazard p_change must be finite and in \(0,1\); got 0"),
    ],
)  # fmt: skip
def test_hazard_errors(hazard, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        ovrel.Bocpd(hazard=hazard)


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


def test_update_arguments():
    a, b = ovrel.Cusum(), ovrel.Cusum()
    assert fields(a.update(1.0, t_ns=None)) == fields(b.update(1.0))
    assert fields(a.update(True, 5)) == fields(b.update(x_t=1, t_ns=5))
    for call, exc, message in [
        (lambda: a.update(1.0, t_ns=1.5), TypeError, "argument 't_ns': 'float' object cannot be interpreted as an integer"),
        (lambda: a.update(1.0, 2**63), OverflowError, "int too big to convert"),
        (lambda: a.update("1"), TypeError, "argument 'x_t': must be real number, not str"),
        (lambda: a.update(), TypeError, r"update\(\) missing 1 required positional argument: 'x_t'"),
        (lambda: a.update(float("nan")), ValueError, "CUSUM observation must be finite for update"),
        (lambda: a.update(1.0, 4), ValueError, "late event rejected by policy=Reject: t_ns=4, watermark_ns=5"),
    ]:  # fmt: skip
        with pytest.raises(exc, match=f"^{message}$"):
            call()


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
    with pytest.raises(
        ValueError,
        match=r"^BOCPD currently supports univariate updates only; got d=2 \(expected 1\)$",
    ):
        det.update_many(np.zeros((4, 2)))
    with pytest.raises(ValueError, match="^missing data encountered with MissingPolicy::Error"):
        det.update_many([1.0, 2.0, float("nan"), 4.0])
    with pytest.raises(ValueError, match="^n must be >= 1$"):
        det.update_many([])
    with pytest.raises(TypeError, match="^expected float32 or float64, got int64$"):
        det.update_many([1, 2])
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
    assert repr(r) == (
        "OnlineStepResult(t=0, p_change=0.005000, alert=false, run_length_mode=1, "
        "run_length_mean=0.995)"
    )
    assert (type(r.t), type(r.alert), type(r.processing_latency_us)) == (int, bool, int)
    assert r.alert_reason is None
    for name in FIELDS + ["processing_latency_us"]:
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    with pytest.raises(AttributeError):
        r.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (ovrel.Bocpd,), {})


@pytest.mark.parametrize(
    "call",
    [
        lambda: ovrel.Bocpd.__new__(ovrel.Bocpd).update(1.0),
        lambda: ovrel.Cusum.__new__(ovrel.Cusum).update_many([1.0]),
        lambda: ovrel.PageHinkley.__new__(ovrel.PageHinkley).reset(),
        lambda: ovrel.Cusum.__new__(ovrel.Cusum).save_state(),
        lambda: ovrel.Bocpd.update(ovrel.Cusum(), 1.0),
    ],
)
def test_methods_refuse_uninitialised_or_foreign_objects(call):
    with pytest.raises(TypeError):
        call()


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
