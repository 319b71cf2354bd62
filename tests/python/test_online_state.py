import json
import pathlib

import numpy as np
import pytest

import ovrel
from ovrel import _ovrel_rs

FIELDS = ["t", "p_change", "alert", "alert_reason", "run_length_mode", "run_length_mean"]
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
        out.append(tuple(getattr(det.update(v, t), f) for f in FIELDS))
    return out


def payload(det):
    return json.loads(bytes(det.save_state(format="json")["payload"]))


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
    assert payload(restored) == payload(twin)
    assert payload(twin)["pending_events"] or payload(twin)["late_data"]["dropped_oldest"]
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
        assert payload(other) == payload(det)


def test_loading_from_another_class_or_model_leaves_the_state():
    gaussian = ovrel.Bocpd()
    gaussian.update_many([0.5, 1.5])
    before = payload(gaussian)
    poisson = ovrel.Bocpd(model="poisson")
    poisson.update(2.0)
    message = (
        "^incompatible Bocpd state for model 'gaussian_nig': state run_stats variant does not "
        "match detector observation model$"
    )
    for state in (poisson.save_state(), poisson.save_state(format="json")):
        with pytest.raises(ValueError, match=message):
            gaussian.load_state(state)
    with pytest.raises(
        ValueError, match="^checkpoint detector mismatch: expected='bocpd', found='cusum'$"
    ):
        gaussian.load_state(ovrel.Cusum().save_state())
    broken = json.loads(gaussian.save_state())
    broken["payload_crc32"] ^= 1
    with pytest.raises(ValueError, match="^checkpoint payload crc32 mismatch"):
        gaussian.load_state(json.dumps(broken).encode())
    assert payload(gaussian) == before
    ph = ovrel.PageHinkley()
    with pytest.raises(ValueError, match="^checkpoint detector mismatch: expected='page_hinkley'"):
        ph.load_state(ovrel.Cusum().save_state(format="json"))


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


BYTES_LIKE = "checkpoint bytes input must be a bytes-like value"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda d, s, p: d.save_state(format=1), TypeError, "argument 'format': 'int' object cannot be converted to 'PyString'"),
        (lambda d, s, p: d.save_state(format=None), TypeError, "argument 'format': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda d, s, p: d.save_state(format="xml", path=""), ValueError, "unsupported checkpoint format 'xml'; expected one of: 'bytes', 'json'"),
        (lambda d, s, p: d.save_state(path=""), ValueError, "checkpoint path must be non-empty"),
        (lambda d, s, p: d.save_state("json"), TypeError, r"save_state\(\) takes 1 positional argument but 2 were given"),
        (lambda d, s, p: d.load_state(), ValueError, "load_state requires checkpoint 'state' bytes/json or 'path'"),
        (lambda d, s, p: d.load_state(state=None, path=None), ValueError, "load_state requires checkpoint 'state' bytes/json or 'path'"),
        (lambda d, s, p: d.load_state(s, format=2, path=""), TypeError, "argument 'format': 'int' object cannot be converted to 'PyString'"),
        (lambda d, s, p: d.load_state(s, path=""), ValueError, "checkpoint path must be non-empty"),
        (lambda d, s, p: d.load_state(path=b"x"), TypeError, r"checkpoint path must be str or os.PathLike\[str\]"),
        (lambda d, s, p: d.load_state(path=3), TypeError, "expected str, bytes or os.PathLike object, not int"),
        (lambda d, s, p: d.load_state(s, path=p), ValueError, "load_state accepts either 'state' or 'path', not both"),
        (lambda d, s, p: d.load_state(path=p, format="bytes"), ValueError, "load_state does not accept 'format' when loading from path"),
        (lambda d, s, p: d.load_state(s, format="yaml"), ValueError, "unsupported checkpoint format 'yaml'; expected one of: 'bytes', 'json'"),
        (lambda d, s, p: d.load_state(s, format="json"), TypeError, "Object of type bytes is not JSON serializable"),
        (lambda d, s, p: d.load_state(json.loads(s), format="bytes"), TypeError, BYTES_LIKE),
        (lambda d, s, p: d.load_state(s.decode()), TypeError, BYTES_LIKE),
        (lambda d, s, p: d.load_state(3), TypeError, BYTES_LIKE),
        (lambda d, s, p: d.load_state([256]), TypeError, BYTES_LIKE),
        (lambda d, s, p: d.load_state([-1, 2]), TypeError, BYTES_LIKE),
        (lambda d, s, p: d.load_state({"detector_id": "cusum"}), ValueError, r"checkpoint envelope must contain 'state_schema_version' \(v1\) or 'schema_version' \(legacy v0\)"),
        (lambda d, s, p: d.load_state(_ovrel_rs._CusumState.__new__(_ovrel_rs._CusumState)), TypeError, "ovrel._ovrel_rs._CusumState object is not initialised"),
    ],
)  # fmt: skip
def test_argument_errors(call, exc, message, tmp_path):
    det = ovrel.Cusum()
    path = tmp_path / "valid.ckpt"
    det.save_state(path=path)
    det.update(4.0)
    before = payload(det)
    with pytest.raises(exc, match=f"^{message}$"):
        call(det, det.save_state(), path)
    assert payload(det) == before
