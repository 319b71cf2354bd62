#!/usr/bin/env python3
"""Mutation pass over the C++ sources: which small faults do the C++ tests catch?

Applies one small operator or constant change at a time (comparison flips, +/- and * and /
swaps, && and || swaps, += and -= swaps, fmax/fmin swaps, off-by-one constants, dropped
negations) to a seeded sample of sites outside comments and string literals, rebuilds only the
C++ test binaries that can see the change, runs them, restores the file, and prints the killed and
surviving mutants. A mutant that does not compile is counted apart (the compiler caught it).

    python3 tests/mutation/run.py                           # costs and offline/common, 70 mutants
    python3 tests/mutation/run.py --paths src/ovrel/costs --limit 60 --seed 13
    python3 tests/mutation/run.py --list                    # the sample, without building

The sample depends only on the mutated sources, --paths, --limit and --seed, so two runs over
the same sources try the same mutants. Builds go to build/mutation (-j3 by default). A run that
was killed mid-mutant leaves the original text in mutation-pending.json of the build folder, and
the next run there puts it back first.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build/mutation"
PENDING = BUILD / "mutation-pending.json"
ENV = dict(os.environ, CCACHE_BASEDIR=str(ROOT), CCACHE_NOHASHDIR="true")

# Binary operators: clang-format writes them with a space on either side, which tells them
# apart from template brackets, pointers and unary signs.
SWAPS = ("< <=", "> >=", "== !=", "+ -", "* /", "&& ||", "+= -=")
REPLACE = {f" {x} ": f" {y} " for pair in SWAPS for x, y in (pair.split(), pair.split()[::-1])}
for x, y in map(str.split, ("fmax fmin", "fmin fmax", "max min", "min max")):
    REPLACE[f"std::{x}("] = f"std::{y}("
NUMBER = re.compile(r"(?<![\w.'])(\d+\.\d*(?:e[+-]?\d+)?|\d+(?:'\d+)*)([uUlL]*)(?![\w.'])")
NEGATION = re.compile(r"(?<![\w)\]])!(?!=)")
LITERAL = re.compile(r"\"(?:\\.|[^\"\\])*\"|'(?:\\.|[^'\\])'")

# Which test binaries can see a change to each source folder, nearest first: read from the
# build's own link graph at configure time, so a test binary is judged against every library it
# links, directly or through another library.
SEEN_BY: dict[str, list[str]] = {}
EDGE = re.compile(r'"(node\d+)" -> "(node\d+)"')
NODE = re.compile(r'"(node\d+)" \[ label = "([^"]+)"')


def read_link_graph(dot: Path) -> dict[str, list[str]]:
    """Folder name -> the test binaries linking ovrel_<folder>, fewest libraries first."""
    text = dot.read_text()
    names = dict(NODE.findall(text))
    links: dict[str, set[str]] = {}
    for a, b in EDGE.findall(text):
        links.setdefault(names[a], set()).add(names[b])

    def closure(target: str) -> set[str]:
        seen, todo = set(), [target]
        while todo:
            for lib in links.get(todo.pop(), ()):
                if lib not in seen:
                    seen.add(lib)
                    todo.append(lib)
        return seen

    tests = {t: closure(t) for t in names.values() if t.startswith("test_")}
    seen_by: dict[str, list[str]] = {}
    for test, libs in sorted(tests.items(), key=lambda kv: (len(kv[1]), kv[0])):
        for lib in sorted(libs):
            if lib.startswith("ovrel_"):
                seen_by.setdefault(lib.removeprefix("ovrel_"), []).append(test)
    # A folder's own test binary first, whatever its size.
    for folder, found in seen_by.items():
        if f"test_{folder}" in found:
            found.remove(f"test_{folder}")
            found.insert(0, f"test_{folder}")
    return seen_by


def sites_of(path: Path) -> list[tuple[str, int, int, str, str]]:
    """(path, line from 1, column from 0, old text, new text) of every mutable site."""
    rel, found = path.relative_to(ROOT).as_posix(), []
    for no, raw in enumerate(path.read_text().splitlines(), start=1):
        # Literals blanked to spaces (the columns stay), then the line comment cut off.
        text = LITERAL.sub(lambda m: " " * len(m[0]), raw).split("//")[0]
        if not text.strip() or text.strip().startswith("#") or "static_assert" in text:
            continue
        for old, new in REPLACE.items():
            found += [(rel, no, m.start(), old, new) for m in re.finditer(re.escape(old), text)]
        for m in NUMBER.finditer(text):
            lit = m[1]
            if "." in lit:
                mantissa, _, exp = lit.partition("e")
                bumped = repr(float(mantissa) + 1.0) + (f"e{exp}" if exp else "")
                found.append((rel, no, m.start(1), lit, bumped))
            else:
                value = int(lit.replace("'", ""))
                found.append((rel, no, m.start(1), lit, str(value + 1)))
                if value > 0:
                    found.append((rel, no, m.start(1), lit, str(value - 1)))
        found += [(rel, no, m.start(), "!", "") for m in NEGATION.finditer(text)]
    return found


def describe(m: tuple) -> str:
    return f"{m[0]}:{m[1]}: '{m[3].strip()}' -> '{m[4].strip()}'"


def sample(patterns: list[str], limit: int, seed: int) -> tuple[int, list[tuple]]:
    files = set()
    for p in (p for pattern in patterns for p in ROOT.glob(pattern)):
        files.update(p.rglob("*") if p.is_dir() else [p])
    every = [m for f in sorted(files) if f.suffix in (".cpp", ".hpp") for m in sites_of(f)]
    chosen = random.Random(seed).sample(every, min(limit, len(every)))
    # Grouped by file so that consecutive mutants rebuild the same translation units.
    return len(every), sorted(chosen, key=lambda m: (m[0], m[1], m[2], m[4]))


def targets_for(path: str) -> list[str]:
    parts = Path(path).parts
    area = parts[2] if len(parts) > 3 and parts[:2] == ("src", "ovrel") else ""
    if area not in SEEN_BY:
        raise SystemExit(f"no C++ test binary sees {path}")
    return SEEN_BY[area]


def builds(target: str, jobs: int) -> bool:
    cmd = ["cmake", "--build", str(BUILD), "-j", str(jobs), "--target", target]
    return subprocess.run(cmd, env=ENV, capture_output=True).returncode == 0


def passes(target: str, timeout: int) -> bool:
    try:
        cmd, kw = [str(BUILD / target), "--gtest_brief=1"], dict(env=ENV, capture_output=True)
        return subprocess.run(cmd, cwd=BUILD, timeout=timeout, **kw).returncode == 0
    except subprocess.TimeoutExpired:
        return False  # a hang is caught as surely as a failure


def judge(m: tuple, jobs: int, timeout: int) -> str:
    path, original = ROOT / m[0], (ROOT / m[0]).read_text()
    lines = original.splitlines(keepends=True)
    line = lines[m[1] - 1]
    assert line[m[2] : m[2] + len(m[3])] == m[3], describe(m)
    lines[m[1] - 1] = line[: m[2]] + m[4] + line[m[2] + len(m[3]) :]
    PENDING.write_text(json.dumps({"path": m[0], "text": original}))
    try:
        path.write_text("".join(lines))
        for i, target in enumerate(targets_for(m[0])):
            if not builds(target, jobs):
                return "stillborn" if i == 0 else f"killed by {target} (build)"
            if not passes(target, timeout):
                return f"killed by {target}"
        return "survived"
    finally:
        path.write_text(original)
        PENDING.unlink()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--paths", nargs="+", default=["src/ovrel/costs", "src/ovrel/offline/common*"],
                    help="files, folders or globs under the root")  # fmt: skip
    ap.add_argument("--limit", type=int, default=70, help="mutants to try (default 70)")
    ap.add_argument("--seed", type=int, default=13)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--timeout", type=int, default=300, help="seconds per test binary")
    ap.add_argument("--build-dir", default="build/mutation")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--json", help="also write the outcomes to this file")
    args = ap.parse_args()
    global BUILD, PENDING
    BUILD = ROOT / args.build_dir
    PENDING = BUILD / "mutation-pending.json"

    total, chosen = sample(args.paths, args.limit, args.seed)
    print(f"{len(chosen)} of {total} sites, seed {args.seed}, paths {' '.join(args.paths)}")
    if args.list:
        print("".join(f"  {describe(m)}\n" for m in chosen), end="")
        return
    (BUILD / "graph").mkdir(parents=True, exist_ok=True)
    if PENDING.exists():
        saved = json.loads(PENDING.read_text())
        (ROOT / saved["path"]).write_text(saved["text"])
        PENDING.unlink()
        print(f"restored {saved['path']} from an interrupted run")
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DOVREL_BUILD_TESTS=ON",
         "-DOVREL_BUILD_PYTHON=OFF", "-DOVREL_WERROR=OFF", "-DCMAKE_BUILD_TYPE=Release",
         f"--graphviz={BUILD / 'graph/links.dot'}"],
        check=True, env=ENV, stdout=subprocess.DEVNULL,
    )  # fmt: skip
    SEEN_BY.update(read_link_graph(BUILD / "graph/links.dot"))
    for t in sorted({t for m in chosen for t in targets_for(m[0])}):
        if not (builds(t, args.jobs) and passes(t, args.timeout)):
            sys.exit(f"the unmutated tree fails {t}: fix it before a mutation pass")

    began, survived, stillborn, killed, outcomes = time.monotonic(), [], 0, 0, []
    for k, m in enumerate(chosen, start=1):
        verdict = judge(m, args.jobs, args.timeout)
        print(f"[{k}/{len(chosen)}] {verdict:28} {describe(m)}", flush=True)
        outcomes.append({"mutant": describe(m), "verdict": verdict})
        killed += verdict.startswith("killed")
        stillborn += verdict == "stillborn"
        survived += [describe(m)] if verdict == "survived" else []
    minutes = (time.monotonic() - began) / 60
    print(f"\nkilled {killed}, survived {len(survived)}, did not compile {stillborn}"
          f" ({minutes:.0f} min)")  # fmt: skip
    print("".join(f"  survived: {s}\n" for s in survived), end="")
    if args.json:
        Path(args.json).write_text(json.dumps(outcomes, indent=1) + "\n")


if __name__ == "__main__":
    main()
