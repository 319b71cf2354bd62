import json
import subprocess
import sys

import pytest

import ovrel


def document(**overrides):
    diagnostics = {
        "n": 10, "d": 1, "schema_version": 1, "engine_version": "0.1.0", "notes": ["a=1"],
        "warnings": [], "algorithm": "pelt", "cost_model": "l2_mean", "repro_mode": "Balanced",
        "pruning_stats": {"candidates_considered": 10, "candidates_pruned": 3},
        "build": {"git_sha": "abc", "profile": "release", "features": ["x"], "abi": "t"},
    }  # fmt: skip
    doc = {"breakpoints": [5, 10], "change_points": [5], "diagnostics": diagnostics}
    for key, value in overrides.items():
        if key.startswith("diag_"):
            diagnostics[key[5:]] = value
        else:
            doc[key] = value
    return doc


def read(doc):
    return ovrel.OfflineChangePointResult.from_json(json.dumps(doc))


@pytest.mark.parametrize(
    "cls", ["BuildInfo", "PruningStats", "SegmentStats", "Diagnostics", "OfflineChangePointResult"]
)
def test_result_classes_are_final_and_undocumented(cls):
    # Their refused constructors are data rows of tests/data/python_texts.txt.
    kind = getattr(ovrel, cls)
    assert (kind.__module__, kind.__doc__) == ("ovrel._ovrel_rs", None)
    pytest.raises(TypeError, type, "Sub", (kind,), {})


def test_attributes_are_read_only_and_fresh():
    segments = [
        {"start": 0, "end": 5, "mean": [1.0], "variance": [0.5], "count": 5, "missing_count": 0},
        {"start": 5, "end": 10, "mean": None, "variance": None, "count": 5, "missing_count": 0},
    ]
    r = read(document(scores=[0.5], segments=segments))
    for name in ["breakpoints", "change_points", "scores", "segments", "diagnostics"]:
        pytest.raises(AttributeError, setattr, r, name, None)
        pytest.raises(AttributeError, delattr, r, name)
    pytest.raises(AttributeError, setattr, r, "extra", 1)
    r.breakpoints.append(99)
    assert r.breakpoints == [5, 10]
    assert r.diagnostics is not r.diagnostics
    assert r.segments[0] is not r.segments[0]
    d = r.diagnostics
    d.notes.append("x")
    assert d.notes == ["a=1"]
    assert d.build is not d.build
    assert d.pruning_stats is not d.pruning_stats
    pytest.raises(AttributeError, setattr, d, "n", 3)
    pytest.raises(AttributeError, setattr, d.build, "abi", "x")
    seg = r.segments[0]
    assert [getattr(seg, k) for k in segments[0]] == list(segments[0].values())
    assert repr(seg) == "SegmentStats(start=0, end=5, count=5, missing_count=0)"
    assert r.segments[1].mean is None
    assert r.scores == [0.5]
    assert repr(r) == "OfflineChangePointResult(breakpoints=[5, 10], change_points=[5], scores_len=1, segments_len=2)"  # fmt: skip


# Reprs and attributes of diagnostics read from a document are data rows of
# tests/data/python_texts.txt.


def test_conversion_rules():
    # n = 0: change points are the breakpoints below the last one.
    r = read(document(breakpoints=[], change_points=[], diag_n=0))
    assert r.breakpoints == [] and r.change_points == []
    doc = document(breakpoints=[100], change_points=[], diag_n=100)
    doc["diagnostics"].pop("engine_version")
    r = read(doc)
    assert r.diagnostics.engine_version == ovrel.__version__
    assert repr(r) == "OfflineChangePointResult(breakpoints=[100], change_points=[], scores_len=0, segments_len=0)"  # fmt: skip
    for mode in ("Strict", "Fast"):
        assert read(document(diag_repro_mode=mode)).diagnostics.repro_mode == mode.lower()
    r = read(document(diag_schema_version=2))
    assert r.diagnostics.schema_version == 2 and '"schema_version":2' in r.to_json()


def test_params_json_is_a_new_object_on_every_read():
    r = read(document(diag_params_json={"b": [1, 2.5], "a": {"z": None}}))
    first = r.diagnostics.params_json
    assert first == {"a": {"z": None}, "b": [1, 2.5]}
    first["a"] = 0
    assert r.diagnostics.params_json == {"a": {"z": None}, "b": [1, 2.5]}
    assert '"params_json":{"a":{"z":null},"b":[1,2.5]}' in r.to_json()


def test_json_round_trip_keeps_extra_keys():
    # Where the extra keys go in the written document is the engine's document table; here they
    # survive the Python object.
    doc = document(zeta={"b": 1, "a": [True]}, alpha=3, diag_custom="kept", diag_another=[1])
    r = read(doc)
    text = r.to_json()
    out = json.loads(text)
    assert (out["zeta"], out["alpha"], out["diagnostics"]["custom"]) == ({"a": [True], "b": 1}, 3, "kept")  # fmt: skip
    # Surrounding white space is no part of the document.
    again = ovrel.OfflineChangePointResult.from_json(f"\n  {text} \n\t")
    assert again.to_json() == text and repr(again.diagnostics) == repr(r.diagnostics)


ANY = r".* at line \d+"


def without_n():
    doc = document()
    del doc["diagnostics"]["n"]
    return json.dumps(doc)


@pytest.mark.parametrize(
    "payload, detail",
    [("{", ANY), ("[]", ANY), ("null", ANY), ('{"breakpoints":[1]}', ANY), (json.dumps(document()) + "x", ANY),
     (json.dumps(document(diag_repro_mode="balanced")), ANY), (without_n(), "missing field `n` at line 1")],
)  # fmt: skip
def test_from_json_refuses_invalid_documents(payload, detail):
    with pytest.raises(ValueError, match=f"^invalid OfflineChangePointResult JSON payload: {detail} column \\d+$"):  # fmt: skip
        ovrel.OfflineChangePointResult.from_json(payload)


def test_from_json_argument_binding():
    # The refused argument types are data rows; the conversion error is kept as the cause.
    with pytest.raises(TypeError) as info:
        ovrel.OfflineChangePointResult.from_json(b"{}")
    assert isinstance(info.value.__cause__, TypeError)
    r = ovrel.OfflineChangePointResult.from_json(payload=json.dumps(document()))
    assert r.breakpoints == [5, 10]
    pytest.raises(TypeError, r.to_json, 1)


# A large document, read in a fresh interpreter whose address space is capped at what it holds
# (the text included) plus 300 MB, about four times the largest text here: reading costs a small
# multiple of the text, and a list longer than n + 1 is refused before it is built.
CAPPED_DOCUMENT = r"""
import json, resource, sys
import ovrel
kind = sys.argv[1]
def numbers(count):
    return ",".join(map(str, range(1, count + 1)))
n, lists = {
    "valid": (10**6, '"breakpoints":[%s],"change_points":[%s]' % (numbers(10**6), numbers(10**6 - 1))),
    "breakpoints": (100, '"breakpoints":[%s],"change_points":[]' % numbers(10**7)),
    "segments": (10**12, '"breakpoints":[],"change_points":[],"segments":[%s]' % ",".join(["{}"] * 10**7)),
}[kind]
diagnostics = {"n": n, "d": 1, "schema_version": 1, "notes": [], "warnings": [],
               "algorithm": "pelt", "cost_model": "l2_mean", "repro_mode": "Balanced"}
text = "{" + lists + ',"diagnostics":' + json.dumps(diagnostics) + "}"
del lists
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (300 << 20),) * 2)
try:
    result = ovrel.OfflineChangePointResult.from_json(text)
    print(len(result.breakpoints), result.breakpoints[-1], len(result.change_points))
except ValueError as e:
    print(e)
"""


@pytest.mark.parametrize(
    ("kind", "outcome"),
    [
        ("valid", "1000000 1000000 999999"),
        ("breakpoints", "invalid length 10000000 of `breakpoints`, expected at most 101 (n + 1) items at line 1 column 16"),
        # A list of n + 1 or fewer items that fails at its first: refused without reserving room
        # for all of them.
        ("segments", "missing field `start` at line 1 column 51"),
    ],
)  # fmt: skip
def test_a_large_document_costs_a_small_multiple_of_its_text(kind, outcome):
    child = subprocess.run(
        [sys.executable, "-c", CAPPED_DOCUMENT, kind], capture_output=True, text=True, timeout=120
    )
    assert child.returncode == 0, child.stderr[-2000:]
    prefix = "" if kind == "valid" else "invalid OfflineChangePointResult JSON payload: "
    assert child.stdout == prefix + outcome + "\n"
