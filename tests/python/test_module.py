import builtins
import importlib
import inspect
import json
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import ovrel
from conftest import X, stored_state
from ovrel import _ovrel_rs
from ovrel._ovrel_rs_testing import parse_series_with_time


def test_version_all_order_and_reimport():
    # The registry's own order is pinned in tests/data/python_online_texts.txt.
    assert (ovrel.__version__, ovrel.__all__) == ("0.0.3", list(_ovrel_rs.__all__))
    del sys.modules["ovrel._ovrel_rs"]
    again = importlib.import_module("ovrel._ovrel_rs")
    assert again is _ovrel_rs and list(again.__all__) == ovrel.__all__


@pytest.mark.parametrize(
    "cls",
    [ovrel.Pelt, ovrel.Binseg, ovrel.Fpop, ovrel.Bocpd, ovrel.Cusum, ovrel.PageHinkley, ovrel.SmokeDetector],
    ids=lambda c: c.__name__,
)  # fmt: skip
def test_classes_are_final_without_instance_dict(cls):
    det = cls()
    assert type(det).__module__ == "ovrel._ovrel_rs"
    pytest.raises(TypeError, type, "Sub", (cls,), {})
    pytest.raises(AttributeError, setattr, det, "extra", 1)
    pytest.raises(AttributeError, setattr, det, "min_segment_len", 3)


def _uncreatable():
    for name, cls in vars(_ovrel_rs).items():
        if isinstance(cls, type) and not issubclass(cls, BaseException):
            try:
                cls()
            except TypeError as e:
                if str(e) == f"No constructor defined for {name}":
                    yield pytest.param(cls, id=name)


UNCREATABLE = list(_uncreatable())


def test_every_uncreatable_class_is_found():
    assert len(UNCREATABLE) == 9


@pytest.mark.parametrize("cls", UNCREATABLE)
def test_uncreatable_classes_refuse_new_too(cls):
    with pytest.raises(TypeError) as info:
        cls.__new__(cls)
    assert str(info.value) == f"No constructor defined for {cls.__name__}"


def test_import_reads_no_interpreter_option():
    code = "import sys, ovrel; print(sorted(m for m in sys.modules if m.startswith('ovrel')))"
    for options in ([], ["-X", "ovrel_test_hooks"]):
        out = subprocess.run([sys.executable, *options, "-c", code], capture_output=True, text=True)
        assert out.stdout.strip() == "['ovrel', 'ovrel._ovrel_rs']", out.stderr


def test_smoke_detector_fit_predict():
    det = ovrel.SmokeDetector()
    assert det.predict() == [0]
    assert det.fit([1.0, 2.0]) is det
    assert det.predict() == [2]
    pytest.raises(TypeError, det.fit, "abc")
    assert det.predict() == [2]
    pelt = ovrel.Pelt("l1")
    pytest.raises(TypeError, pelt.__init__, "l2")  # the text is a data row; nothing changes
    assert repr(pelt).startswith("Pelt(model='l1_median',")


def test_concurrent_calls_do_not_deadlock():
    det = ovrel.SmokeDetector()

    def work(_):
        try:
            for _ in range(200):
                det.fit([1.0] * 10)
                det.predict()
        except RuntimeError as e:  # a conflicting borrow fails at once, never waits
            return str(e)

    with ThreadPoolExecutor(4) as pool:
        assert set(pool.map(work, range(4))) <= {None, "Already borrowed", "Already mutably borrowed"}  # fmt: skip


def test_messages_keep_the_callers_text_whole():
    with pytest.raises(ValueError) as info:
        ovrel.Pelt(model="l2\0x")
    assert str(info.value).startswith("unsupported model 'l2\0x'; expected one of:")


def text_cases():
    """(expression, exception name or "=", text) from tests/data/python*_texts.txt."""
    cases = []
    for path in sorted((Path(__file__).parents[1] / "data").glob("python*_texts.txt")):
        blocks = [b.strip().splitlines() for b in path.read_text("utf-8").split("\n\n")]
        lines = [[ln for ln in b if not ln.startswith("#")] for b in blocks]
        cases += [
            (b[0], *(b[1].split(" ", 1) if b[1][0] == "=" else b[1].split(": ", 1)))
            for b in lines
            if b
        ]
    return cases


def refusal_scope(tmp_path):
    fitted = ovrel.Pelt().fit(X)
    diagnostics = {"n": 10, "d": 1, "schema_version": 1, "notes": [], "warnings": [], "algorithm": "pelt", "cost_model": "l2_mean", "repro_mode": "Balanced"}  # fmt: skip
    doc = {"breakpoints": [5, 10], "change_points": [5], "diagnostics": diagnostics}
    result = ovrel.OfflineChangePointResult.from_json(json.dumps(doc))
    online = ovrel.Cusum()
    online.save_state(path=tmp_path / "valid.ckpt")
    online.update(4.0)
    scope = {"ovrel": ovrel, "np": np, "json": json, "X": X, "FITTED": fitted, "R": result}
    # Helpers of the data rows: a run's algorithm, seed and strategy, stopping, preprocessing and
    # input notes; an online detector's stored alert policy.
    notes = ("interval", "stopping=", "preprocess:", "input:")
    scope["SHAPE"] = lambda r: " | ".join(
        [r.diagnostics.algorithm, f"seed={r.diagnostics.seed}"]
        + [n for n in r.diagnostics.notes if n.startswith(notes)]
    )
    scope["POLICY"] = lambda det: stored_state(det)["alert_gate"]["policy"]
    scope.update(D=online, S=online.save_state(), P=tmp_path / "valid.ckpt")
    return dict(scope, PARSE=parse_series_with_time)


@pytest.mark.parametrize("call, exc, message", text_cases(), ids=lambda v: v[:60])
def test_text(call, exc, message, tmp_path):
    for det in (ovrel.Bocpd, ovrel.Cusum, ovrel.PageHinkley) if "DET" in call else [None]:
        scope = dict(refusal_scope(tmp_path), DET=det)
        if exc == "=":
            assert str(eval(call, scope)) == message
            continue
        state = scope["D"].save_state
        before = state(format="json")["payload"]
        try:
            with pytest.raises(getattr(builtins, exc)) as info:
                eval(call, scope)
            assert type(info.value).__name__ == exc
            assert str(info.value) == message
            assert state(format="json")["payload"] == before or call.startswith("[D.update")
        finally:
            if "matplotlib.pyplot" in sys.modules:
                sys.modules["matplotlib.pyplot"].close("all")


def _declared_signature(text_signature):
    # An independent reading of the declared text: the same parameter list as a Python function.
    namespace = {}
    params = text_signature[1:-1].replace("$self", "self, /")
    exec(f"def declared({params}): pass", namespace)
    return inspect.signature(namespace["declared"])


def _public_callables():
    for name in _ovrel_rs.__all__:
        obj = getattr(_ovrel_rs, name)
        if callable(obj):
            yield name, obj
            for attr, member in vars(obj).items() if isinstance(obj, type) else ():
                if not attr.startswith("_") and callable(getattr(obj, attr)):
                    yield f"{name}.{attr}", getattr(obj, attr)


@pytest.mark.parametrize("name, obj", [pytest.param(n, o, id=n) for n, o in _public_callables()])
def test_inspect_signature_is_the_declared_text_signature(name, obj):
    declared = obj.__text_signature__
    if declared is None:
        # Result classes have no constructor and declare nothing.
        assert isinstance(obj, type)
        with pytest.raises(ValueError, match="^no signature found for builtin type"):
            inspect.signature(obj)
        return
    assert inspect.signature(obj) == _declared_signature(declared)
