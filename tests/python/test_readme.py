"""Every Python block of the README runs as printed and prints exactly the output shown below it.

The blocks continue from one another, as a reader pasting them in order would run them, in one
namespace and in a temporary directory (the streaming block writes a checkpoint file there).
"""

import contextlib
import io
import os
import re
import sys
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^( *)```(\w*)\n(.*?)^\1```\n", re.S | re.M)


def blocks():
    """(line number, code, expected output) of each Python block, from the README's text."""
    text = README.read_text("utf-8")
    fences = [
        (text.count("\n", 0, m.start()) + 1, m.group(2), textwrap.dedent(m.group(3)), m.start(), m.end())
        for m in FENCE.finditer(text)
    ]  # fmt: skip
    found = []
    for (line, lang, body, _, end), following in zip(fences, fences[1:] + [None]):
        if lang != "python":
            continue
        shown = None
        if following and following[1] == "text" and not text[end : following[3]].strip():
            shown = following[2]
        found.append((line, body, shown))
    return found


BLOCKS = blocks()


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """What each block printed, or the exception it raised, running them all in order once."""
    folder = tmp_path_factory.mktemp("readme")
    namespace = {"__name__": "__readme__"}
    results = []
    before = os.getcwd()
    os.chdir(folder)
    try:
        for line, code, _ in BLOCKS:
            out = io.StringIO()
            try:
                with contextlib.redirect_stdout(out):
                    exec(compile(code, f"README.md:{line}", "exec"), namespace)
                results.append(out.getvalue())
            except Exception as error:  # reported by the block's own test
                results.append(error)
    finally:
        os.chdir(before)
        if "matplotlib.pyplot" in sys.modules:
            sys.modules["matplotlib.pyplot"].close("all")
    return results


def test_the_readme_has_its_blocks_each_with_its_output():
    assert len(BLOCKS) >= 6
    assert [line for line, _, shown in BLOCKS if shown is None] == []


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=[f"line{b[0]}" for b in BLOCKS])
def test_block_prints_what_the_readme_shows(runs, index):
    printed = runs[index]
    if isinstance(printed, Exception):
        raise printed
    assert printed == BLOCKS[index][2]
