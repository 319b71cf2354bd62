import importlib
import inspect
import pydoc
import re
import sys
import threading

import numpy as np
import pytest

import ovrel
from ovrel import _ovrel_rs


def test_version_and_all_order():
    assert ovrel.__version__ == "0.0.3"
    assert _ovrel_rs.__all__[0] == "__version__"
    assert ovrel.__all__ == list(_ovrel_rs.__all__)
    # Classes come before functions; within each group the registration order holds.
    names = _ovrel_rs.__all__
    assert names.index("SmokeDetector") < names.index("smoke_detect")
    assert len(names) == len(set(names))


def test_reimport_returns_the_same_module():
    before = list(_ovrel_rs.__all__)
    del sys.modules["ovrel._ovrel_rs"]
    again = importlib.import_module("ovrel._ovrel_rs")
    assert again is _ovrel_rs
    assert list(again.__all__) == before


def test_classes_are_final_without_instance_dict():
    det = ovrel.SmokeDetector()
    assert type(det).__module__ == "ovrel._ovrel_rs"
    with pytest.raises(TypeError):
        type("Sub", (ovrel.SmokeDetector,), {})
    with pytest.raises(AttributeError):
        det.extra = 1


def test_smoke_detect_counts_values():
    assert ovrel.smoke_detect([1.0, 2.0, 3.0]) == [3]
    assert ovrel.smoke_detect([]) == [0]
    assert ovrel.smoke_detect((1, 2.5)) == [2]
    assert ovrel.smoke_detect(np.array([1.0, 2.0])) == [2]
    assert ovrel.smoke_detect([float("nan"), float("inf")]) == [2]


@pytest.mark.parametrize("bad", ["abc", {"a": 1.0}, [1.0, "x"], 3.0, None])
def test_smoke_detect_refuses_non_float_sequences(bad):
    with pytest.raises(
        TypeError, match=r"^expected a sequence of float values for smoke detection$"
    ):
        ovrel.smoke_detect(bad)


def test_smoke_detector_fit_predict():
    det = ovrel.SmokeDetector()
    assert det.predict() == [0]
    assert det.fit([1.0, 2.0]) is det
    assert det.predict() == [2]
    with pytest.raises(TypeError):
        det.fit("abc")
    assert det.predict() == [2]


def test_text_signatures_and_docs():
    assert ovrel.SmokeDetector.__text_signature__ == "()"
    assert ovrel.SmokeDetector.__doc__ == (
        "Minimal placeholder detector used to validate Python packaging + wheel smoke tests."
    )
    assert ovrel.smoke_detect.__text_signature__ == "(values)"
    assert ovrel.smoke_detect.__doc__ == "One-shot placeholder smoke detector function."


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: ovrel.smoke_detect(),
            r"smoke_detect\(\) missing 1 required positional argument: 'values'",
        ),
        (
            lambda: ovrel.smoke_detect([1.0], [2.0]),
            r"smoke_detect\(\) takes 1 positional argument but 2 were given",
        ),
        (
            lambda: ovrel.smoke_detect(x=[1.0]),
            r"smoke_detect\(\) got an unexpected keyword argument 'x'",
        ),
        (
            lambda: ovrel.detect_offline([1.0], [2.0], cost="l2"),
            r"detect_offline\(\) takes 1 positional argument but 2 positional arguments "
            r"\(and 1 keyword-only argument\) were given",
        ),
        (
            lambda: ovrel.Binseg("l2", 2, 1, None, None, 3),
            r"Binseg\(\) takes from 0 to 5 positional arguments but 6 were given",
        ),
        (
            lambda: ovrel.smoke_detect([1.0], values=[1.0]),
            r"smoke_detect\(\) got multiple values for argument 'values'",
        ),
    ],
)
def test_argument_binding_uses_python_wording(call, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        call()


def test_panic_exception_is_not_an_exception_subclass():
    panic = getattr(_ovrel_rs, "PanicException", None)
    if panic is not None:
        assert issubclass(panic, BaseException)
        assert not issubclass(panic, Exception)


def test_concurrent_calls_do_not_deadlock():
    det = ovrel.SmokeDetector()
    errors = []

    def work():
        try:
            for _ in range(200):
                det.fit([1.0] * 10)
                det.predict()
        except RuntimeError as e:  # a conflicting borrow fails at once, never waits
            errors.append(str(e))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}


@pytest.mark.parametrize(
    "method, signature",
    [
        (ovrel.Pelt.fit, "($self, x)"),
        (ovrel.Binseg.predict, "($self, *, pen=None, n_bkps=None)"),
        (ovrel.Fpop.predict, "($self, *, pen=None, n_bkps=None)"),
        (ovrel.SmokeDetector.fit, "($self, values)"),
        (ovrel.SmokeDetector.predict, "($self)"),
        (ovrel.OfflineChangePointResult.to_json, "($self)"),
        (ovrel.OfflineChangePointResult.from_json, "(payload)"),
        (
            ovrel.OfflineChangePointResult.plot,
            '($self, values=None, *, ax=None, title=None, breakpoint_color="crimson", '
            'breakpoint_style="--", line_width=1.5, show_legend=True)',
        ),
    ],
)
def test_method_text_signatures(method, signature):
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: ovrel.Pelt.fit(ovrel.Binseg(), [1.0, 2.0]),
        lambda: ovrel.Pelt.predict(3, pen=1.0),
        lambda: ovrel.SmokeDetector.predict(None),
        lambda: ovrel.OfflineChangePointResult.to_json(ovrel.Pelt()),
        # Made by __new__ alone, never initialised.
        lambda: ovrel.Pelt.__new__(ovrel.Pelt).predict(pen=1.0),
        lambda: ovrel.Fpop.__new__(ovrel.Fpop).fit([1.0, 2.0]),
        lambda: ovrel.SmokeDetector.__new__(ovrel.SmokeDetector).fit([1.0]),
        lambda: ovrel.OfflineChangePointResult.__new__(ovrel.OfflineChangePointResult).to_json(),
    ],
)
def test_methods_refuse_foreign_or_uninitialised_objects(call):
    with pytest.raises(TypeError):
        call()


def test_messages_keep_the_callers_text_whole():
    with pytest.raises(ValueError) as info:
        ovrel.Pelt(model="l2\0x")
    assert str(info.value).startswith("unsupported model 'l2\0x'; expected one of:")


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


def test_help_shows_constructor_signatures_and_reinit_is_refused():
    # Newer Pythons put one parameter on a line; compare without the layout.
    text = re.sub(r"[\s|]", "", pydoc.render_doc(ovrel.Binseg, renderer=pydoc.plaintext))
    assert (
        "Binseg(model='l2',min_segment_len=2,jump=1,max_change_points=None,max_depth=None)" in text
    )
    det = ovrel.Pelt("l1")
    with pytest.raises(TypeError, match=r"^ovrel\._ovrel_rs\.Pelt object is already initialised$"):
        det.__init__("l2")
    assert repr(det).startswith("Pelt(model='l1_median',")
