import json
import pathlib
import zlib

import numpy as np
import pytest

import ovrel
from conftest import FIELDS, stored_state

# The exact texts of refused checkpoint arguments are in tests/data/python_online_texts.txt.
BUFFERING = {"kind": "reorder_by_timestamp", "max_delay_ns": 100, "max_buffer_items": 2, "on_overflow": "drop_oldest"}  # fmt: skip
CLASSES = {
    "bocpd": lambda: ovrel.Bocpd("poisson", max_run_length=50, late_data_policy=BUFFERING),
    "cusum": lambda: ovrel.Cusum(drift=0.1, threshold=3.0, late_data_policy=BUFFERING),
    "page_hinkley": lambda: ovrel.PageHinkley(threshold=3.0, late_data_policy=BUFFERING),
}


def counts(n, seed):
    return np.random.default_rng(seed).poisson(3.0, size=n).astype(np.float64)


def trace(det, values, t0=0):
    # Event times with a late value now and then, so pending events are part of the state.
    out = []
    for i, v in enumerate(values):
        t = t0 + 10 * i - (15 if i % 7 == 3 else 0)
        # Each field reads a fresh update, so every value arrives six times, the repeats late.
        out.append(tuple(getattr(det.update(v, t), f) for f in FIELDS))
    return out


@pytest.mark.parametrize("form", ["bytes", "dict", "str path", "pathlib path", "format json"])
@pytest.mark.parametrize("name", CLASSES)
def test_saved_and_loaded_detector_continues_like_its_twin(name, form, tmp_path):
    make = CLASSES[name]
    saved, twin = make(), make()
    head = counts(40, 1)
    assert trace(saved, head) == trace(twin, head)
    restored = make()
    if form == "bytes":
        restored.load_state(saved.save_state())
    elif form == "dict":
        restored.load_state(state=saved.save_state(format="JSON"))
    elif form == "format json":
        restored.load_state(json.dumps(saved.save_state(format="json")).encode(), format="bytes")
    else:
        path = tmp_path / "ckpt.json"
        arg = str(path) if form == "str path" else pathlib.Path(path)
        assert saved.save_state(path=arg, format="json" if name == "cusum" else "bytes") is None
        restored.load_state(path=arg)
    assert stored_state(restored) == stored_state(twin)
    assert stored_state(twin)["pending_events"] or stored_state(twin)["late_data"]["dropped_oldest"]
    tail = counts(40, 2)
    assert trace(restored, tail, 400) == trace(twin, tail, 400)


def test_output_forms():
    det = ovrel.Cusum()
    det.update(1.0)
    raw = det.save_state()
    assert type(raw) is bytes
    envelope = json.loads(raw)
    assert (envelope["detector_id"], envelope["payload_codec"]) == ("cusum", "bincode")
    d = det.save_state(format="JSON")
    assert (type(d), d["payload_codec"], set(d)) == (dict, "json", set(envelope))
    assert all(type(b) is int and 0 <= b <= 255 for b in d["payload"])
    # bytes-like sequences of ints, and the envelope text's UTF-8 bytes
    for state in (bytearray(raw), list(raw), tuple(raw), memoryview(raw), raw.decode().encode()):
        other = ovrel.Cusum()
        other.load_state(state)
        assert stored_state(other) == stored_state(det)


def test_a_refused_model_leaves_the_state():
    # Other refused checkpoints (detector, checksum) are data rows that check the state too.
    gaussian = ovrel.Bocpd()
    gaussian.update_many([0.5, 1.5])
    before = stored_state(gaussian)
    poisson = ovrel.Bocpd(model="poisson")
    poisson.update(2.0)
    for state in (poisson.save_state(), poisson.save_state(format="json")):
        with pytest.raises(ValueError, match="^incompatible Bocpd state for model 'gaussian_nig'"):
            gaussian.load_state(state)
    assert stored_state(gaussian) == before


def test_model_check_reads_the_file_state(tmp_path):
    path = tmp_path / "poisson.ckpt"
    ovrel.Bocpd(model="poisson").save_state(path=path)
    det = ovrel.Bocpd(model="bernoulli")
    with pytest.raises(ValueError, match="^incompatible Bocpd state for model 'bernoulli_beta'"):
        det.load_state(path=path)
    with pytest.raises(
        RuntimeError,
        match="^failed reading checkpoint file '.*missing.ckpt': No such file or directory",
    ):
        det.load_state(path=tmp_path / "missing.ckpt")


def edited(det, edit):
    # The detector's "json" checkpoint with its state edited and the checksum made right again.
    envelope = det.save_state(format="json")
    state = json.loads(bytes(envelope["payload"]))
    edit(state)
    payload = json.dumps(state, separators=(",", ":")).encode()
    return dict(envelope, payload=list(payload), payload_crc32=zlib.crc32(payload))


def run_stats(i, **fields):
    return lambda state: state["run_stats"][i]["Gaussian"].update(fields)


@pytest.mark.parametrize(
    ("edit", "refusal"),
    [
        (run_stats(1, sum=1e308), r"run_stats\[1\]\.sum_sq=.* is below sum\*sum/n=inf \(sum=1e308, n=2\);"),
        (run_stats(1, sum_sq=1e308), r"run_stats\[1\] gives no usable predictive: gaussian predictive scale"),
        (lambda state: state.update(t=0), r"holds 6 run lengths after t=0 observations;"),
    ],
)  # fmt: skip
def test_a_state_no_update_could_leave_is_refused_and_changes_nothing(edit, refusal):
    source = ovrel.Bocpd()
    source.update_many(np.random.default_rng(3).normal(size=5))
    target = ovrel.Bocpd()
    before = stored_state(target)
    with pytest.raises(ValueError, match="^bocpd state " + refusal):
        target.load_state(edited(source, edit))
    assert stored_state(target) == before
    assert target.update(0.5).t == 0
