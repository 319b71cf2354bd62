"""The installed package is typed: its stub matches the built module, and typed code checks."""

import re
import subprocess
import sys
from pathlib import Path

import ovrel

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "typed_usage.py"

# Differences stubtest reports that are not drift: nanobind makes every class with its own
# metaclass, which the stub does not name; and the result and state classes have no constructor
# (their init slot refuses every call), so their stubs declare none rather than
# `(*args, **kwargs)`.
ACCEPTED = re.compile(
    r"ovrel\._ovrel_rs\.\w+ is inconsistent, metaclass differs"
    r"|ovrel\._ovrel_rs\.(BuildInfo|PruningStats|SegmentStats|Diagnostics|OfflineChangePointResult"
    r"|OnlineStepResult|_BocpdState|_CusumState|_PageHinkleyState)"
    r'\.__init__ is inconsistent, stub does not have \*args parameter "args"'
)


def run(args, cwd):
    # Outside the source tree, so the installed package (its stub and py.typed) is the one read.
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600
    )


def test_stub_and_marker_are_installed():
    here = Path(ovrel.__file__).parent
    assert (here / "py.typed").is_file()
    assert (here / "_ovrel_rs.pyi").is_file()


def test_stub_matches_the_built_module(tmp_path):
    out = run(["mypy.stubtest", "--concise", "ovrel._ovrel_rs"], tmp_path)
    lines = [line for line in out.stdout.splitlines() if line.strip()]
    assert out.returncode == (1 if lines else 0), out.stderr  # it ran to its end
    drift = [line for line in lines if not ACCEPTED.fullmatch(line)]
    assert drift == []


def test_typed_example_passes_mypy_strict(tmp_path):
    out = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(EXAMPLE)], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
