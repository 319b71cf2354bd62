import gc
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import ovrel
from conftest import FIELDS, fields, stored_state

# Exact construction, stored policy, hazard and update texts are in tests/data/python_online_texts.txt.
CLASSES = [ovrel.Bocpd, ovrel.Cusum, ovrel.PageHinkley]


def stream(n=60, shift=30, seed=3):
    x = np.random.default_rng(seed).normal(size=n)
    x[shift:] += 6.0
    return x


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


# Alerts at a change and late-data reasons are data rows of tests/data/python_online_texts.txt.


def test_update_argument_forms_and_a_read_only_step_result():
    a, b = ovrel.Cusum(), ovrel.Cusum()
    assert fields(a.update(1.0, t_ns=None)) == fields(b.update(1.0))
    assert fields(a.update(True, 5)) == fields(b.update(x_t=1, t_ns=5))
    r = ovrel.Bocpd().update(0.25)
    assert (type(r.t), type(r.alert), type(r.processing_latency_us)) == (int, bool, int)
    assert r.alert_reason is None
    for name in FIELDS + ["processing_latency_us", "extra"]:
        pytest.raises(AttributeError, setattr, r, name, 1)
    # Records come from the detectors only, not from the class's __new__ either.
    cls = ovrel.OnlineStepResult
    with pytest.raises(TypeError, match="^No constructor defined for OnlineStepResult$"):
        cls.__new__(cls)


@pytest.mark.parametrize("n", [4, 40])
@pytest.mark.parametrize(
    "model, bad, message",
    [
        ("poisson", 0.5, "poisson observation must be an integer-valued count; got 0.5"),
        ("bernoulli", 2.0, "bernoulli observation must be exactly 0 or 1; got 2"),
    ],
)
def test_a_row_refused_inside_the_detector_ends_the_batch(model, bad, message, n):
    # Batches refused whole (d, missing, empty, dtype) are data rows; they leave the state as is.
    # The rows before a refused row stay applied, and the note says how many (4 values keep the
    # interpreter lock, 40 release it); the message is the detector's alone.
    x = np.tile([1.0, 0.0], n // 2)
    x[n // 2] = bad
    det = ovrel.Bocpd(model=model)
    with pytest.raises(ValueError) as raised:
        det.update_many(x)
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"update_many applied {n // 2} of {n} values before stopping"]
    assert stored_state(det)["t"] == n // 2


def test_step_records_are_freed_whether_a_batch_ends_or_stops():
    x = np.tile([1.0, 0.0], 5000)
    x[7000] = 0.5

    def batches():
        det = ovrel.Bocpd(model="bernoulli", max_run_length=10)
        det.update_many(x[:7000])
        with pytest.raises(ValueError):
            det.update_many(x)

    def counts():
        gc.collect()  # the caught exceptions' tracebacks form cycles
        return sys.getallocatedblocks(), sys.getrefcount(ovrel.OnlineStepResult)

    batches()
    blocks, type_refs = counts()
    for _ in range(5):
        batches()
    after_blocks, after_refs = counts()
    assert after_refs == type_refs
    assert after_blocks - blocks < 1000  # a batch holds 7,000 and 10,000 records


def test_a_batch_stopped_by_a_signal_says_where_to_resume():
    x = np.random.default_rng(5).normal(size=100_000)
    det, whole = ovrel.Bocpd(max_run_length=100), ovrel.Bocpd(max_run_length=100)

    def stop(signum, frame):
        raise LookupError("stop")

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(LookupError, match="^stop\n") as raised:
            det.update_many(x)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    (note,) = raised.value.__notes__
    applied = int(
        re.fullmatch(r"update_many applied (\d+) of 100000 values before stopping", note)[1]
    )
    assert applied == stored_state(det)["t"] < 100_000
    # Resuming from there ends where one uninterrupted batch does.
    det.update_many(x[applied:])
    whole.update_many(x)
    assert stored_state(det) == stored_state(whole)


# A batch in a fresh interpreter whose address space is capped at what it holds (the input
# included) plus `cap` MB; then one more update, whose t is the count of values applied.
CAPPED_BATCH = r"""
import resource, sys
import numpy as np, ovrel
name, n, cap = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
det = getattr(ovrel, name)()
x = np.zeros(n) if name != "Cusum" else np.tile([9.0, -9.0], n // 2)  # Cusum alerts every other
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (cap << 20),) * 2)
try:
    det.update_many(x)
    error = None
except MemoryError as e:
    error = e
print(error, getattr(error, "__notes__", []), det.update(0.5).t, sep="|")
"""


@pytest.mark.parametrize(
    ("name", "n", "cap", "stops_part_way"),
    [
        ("PageHinkley", 40_000_000, 1024, False),  # the records do not fit
        ("Bocpd", 40_000_000, 200, False),  # nor the copy of the input
        # 320 MB of records fit; the alert reasons, kept as text until the end, run out part way.
        ("Cusum", 4_000_000, 420, True),
    ],
)
def test_a_batch_out_of_memory_says_what_it_needed_and_where_to_resume(
    name, n, cap, stops_part_way
):
    child = subprocess.run(
        [sys.executable, "-c", CAPPED_BATCH, name, str(n), str(cap)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    message, notes, t = child.stdout.split("|")
    # 8 bytes of input, a 64-byte record, its pointer and its list slot per value.
    assert message == f"update_many of {n} values needs about {88 * n} bytes for its results"
    applied = int(t)
    assert (0 < applied < n) == stops_part_way
    assert notes == (
        f"['update_many applied {applied} of {n} values before stopping']"
        if stops_part_way
        else "[]"
    )


@pytest.mark.parametrize("cls", CLASSES)
def test_reset_returns_to_the_initial_state(cls):
    det, fresh = cls(alert_policy={"cooldown": 2}), cls(alert_policy={"cooldown": 2})
    det.update_many(stream())
    assert det.reset() is None
    assert [fields(r) for r in det.update_many(stream())] == [fields(r) for r in fresh.update_many(stream())]  # fmt: skip


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

    writes = [lambda: det.update(0.0), lambda: det.update_many([0.0]), det.reset, lambda: det.load_state(saved)]  # fmt: skip
    calls = [(c, "Already borrowed") for c in writes] + [(c, "Already mutably borrowed") for c in (lambda: repr(det), det.save_state)]  # fmt: skip
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
