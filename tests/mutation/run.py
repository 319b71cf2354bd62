#!/usr/bin/env python3
"""Mutation pass over the cost models and the offline kernel helpers.

Applies one small operator or constant change at a time (comparison flips, +/- and * and /
swaps, && and || swaps, += and -= swaps, fmax/fmin swaps, off-by-one constants, dropped
negations) to a seeded sample of sites, rebuilds only the C++ test binaries that can see the
change, runs them, restores the file, and prints the killed and surviving mutants. A mutant that
does not compile is counted apart (the compiler caught it, not a test).

    python3 tests/mutation/run.py                           # costs and offline/common, 70 mutants
    python3 tests/mutation/run.py --paths src/ovrel/costs --limit 60 --seed 13
    python3 tests/mutation/run.py --list                    # the sample, without building

The sample depends only on the mutated sources, --paths, --limit and --seed, so two runs over
the same sources try the same mutants. Builds go to build/mutation (-j3 by default).
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
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DEFAULT_PATHS = ["src/ovrel/costs", "src/ovrel/offline/common*"]

# Binary operators: clang-format writes them with a space on either side, which tells them
# apart from template brackets, pointers and unary signs.
SWAPS = ("< <=", "> >=", "== !=", "+ -", "* /", "&& ||", "+= -=")
BINARY = {f" {x} ": f" {y} " for pair in SWAPS for x, y in (pair.split(), pair.split()[::-1])}
CALLS = {
    f"std::{x}(": f"std::{y}("
    for x, y in map(str.split, ("fmax fmin", "fmin fmax", "max min", "min max"))
}
NUMBER = re.compile(r"(?<![\w.'])(\d+\.\d*(?:e[+-]?\d+)?|\d+(?:'\d+)*)([uUlL]*)(?![\w.'])")
NEGATION = re.compile(r"(?<![\w)\]])!(?!=)")


@dataclass(frozen=True)
class Mutant:
    path: str
    line: int  # 1-based
    col: int  # 0-based, in the line
    old: str
    new: str

    def describe(self) -> str:
        return f"{self.path}:{self.line}: '{self.old.strip()}' -> '{self.new.strip()}'"


def masked(line: str, in_block: bool) -> tuple[str, bool]:
    """The line with string and char literals and comments blanked out (same length)."""
    out = list(line)
    i = 0
    while i < len(line):
        if in_block:
            end = line.find("*/", i)
            stop = len(line) if end < 0 else end + 2
            out[i:stop] = " " * (stop - i)
            in_block = end < 0
            i = stop
            continue
        c = line[i]
        if line.startswith("//", i):
            out[i:] = " " * (len(line) - i)
            break
        if line.startswith("/*", i):
            in_block = True
            continue
        digit_separator = c == "'" and 0 < i < len(line) - 1 and line[i - 1].isalnum()
        if c in "\"'" and not digit_separator:
            j = i + 1
            while j < len(line) and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            out[i : j + 1] = " " * (min(j + 1, len(line)) - i)
            i = j + 1
            continue
        i += 1
    return "".join(out), in_block


def sites_of(path: Path) -> list[Mutant]:
    rel = path.relative_to(ROOT).as_posix()
    found: list[Mutant] = []
    in_block = False
    for no, raw in enumerate(path.read_text().splitlines(), start=1):
        text, in_block = masked(raw, in_block)
        stripped = text.strip()
        if not stripped or stripped.startswith("#") or "static_assert" in stripped:
            continue
        for old, new in BINARY.items():
            start = text.find(old)
            while start >= 0:
                found.append(Mutant(rel, no, start, old, new))
                start = text.find(old, start + 1)
        for old, new in CALLS.items():
            start = text.find(old)
            while start >= 0:
                found.append(Mutant(rel, no, start, old, new))
                start = text.find(old, start + 1)
        for m in NUMBER.finditer(text):
            lit = m.group(1)
            if "." in lit:
                mantissa, _, exp = lit.partition("e")
                bumped = repr(float(mantissa) + 1.0) + (f"e{exp}" if exp else "")
                found.append(Mutant(rel, no, m.start(1), lit, bumped))
            else:
                value = int(lit.replace("'", ""))
                found.append(Mutant(rel, no, m.start(1), lit, str(value + 1)))
                if value > 0:
                    found.append(Mutant(rel, no, m.start(1), lit, str(value - 1)))
        for m in NEGATION.finditer(text):
            found.append(Mutant(rel, no, m.start(), "!", ""))
    return found


def source_files(patterns: list[str]) -> list[Path]:
    files: set[Path] = set()
    for pattern in patterns:
        for p in ROOT.glob(pattern):
            if p.is_dir():
                files.update(q for q in p.rglob("*") if q.suffix in (".cpp", ".hpp"))
            elif p.suffix in (".cpp", ".hpp"):
                files.add(p)
    return sorted(files)


def sample(patterns: list[str], limit: int, seed: int) -> tuple[int, list[Mutant]]:
    every = [m for f in source_files(patterns) for m in sites_of(f)]
    chosen = random.Random(seed).sample(every, min(limit, len(every)))
    # Grouped by file so that consecutive mutants rebuild the same translation units.
    return len(every), sorted(chosen, key=lambda m: (m.path, m.line, m.col, m.new))


# The test binaries that can see a change to each source folder, nearest first: a subsystem's
# own tests, then those of the subsystems built on it.
SEEN_BY = {
    "core": ["test_core", "test_costs", "test_offline", "test_online"],
    "costs": ["test_costs", "test_offline"],
    "offline": ["test_offline", "test_pipeline"],
    "preprocess": ["test_preprocess", "test_pipeline"],
    "online": ["test_online", "test_checkpoint"],
    "pipeline": ["test_pipeline"],
}


def targets_for(path: str) -> list[str]:
    parts = Path(path).parts
    area = parts[2] if len(parts) > 3 and parts[:2] == ("src", "ovrel") else ""
    if area not in SEEN_BY:
        raise SystemExit(f"no C++ test binary sees {path}")
    return SEEN_BY[area]


class Runner:
    def __init__(self, build: Path, jobs: int, timeout: int) -> None:
        self.build, self.jobs, self.timeout = build, jobs, timeout
        self.pending = build / "mutation-pending.json"
        self.env = dict(os.environ, CCACHE_BASEDIR=str(ROOT), CCACHE_NOHASHDIR="true")

    def restore_pending(self) -> None:
        # A run that was killed mid-mutant left its original text here.
        if self.pending.exists():
            saved = json.loads(self.pending.read_text())
            (ROOT / saved["path"]).write_text(saved["text"])
            self.pending.unlink()
            print(f"restored {saved['path']} from an interrupted run")

    def configure(self) -> None:
        self.build.mkdir(parents=True, exist_ok=True)
        self.restore_pending()
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(self.build), "-DOVREL_BUILD_TESTS=ON",
             "-DOVREL_BUILD_PYTHON=OFF", "-DOVREL_WERROR=OFF", "-DCMAKE_BUILD_TYPE=Release"],
            check=True, env=self.env, stdout=subprocess.DEVNULL,
        )  # fmt: skip

    def builds(self, target: str) -> bool:
        r = subprocess.run(
            ["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target", target],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )  # fmt: skip
        return r.returncode == 0

    def passes(self, target: str) -> bool:
        try:
            r = subprocess.run(
                [str(self.build / target), "--gtest_brief=1"], cwd=self.build, env=self.env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=self.timeout,
            )  # fmt: skip
        except subprocess.TimeoutExpired:
            return False  # a hang is caught as surely as a failure
        return r.returncode == 0

    def check_baseline(self, targets: list[str]) -> None:
        for t in targets:
            if not (self.builds(t) and self.passes(t)):
                sys.exit(f"the unmutated tree fails {t}: fix it before a mutation pass")

    def judge(self, m: Mutant) -> str:
        path = ROOT / m.path
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        line = lines[m.line - 1]
        assert line[m.col : m.col + len(m.old)] == m.old, m.describe()
        lines[m.line - 1] = line[: m.col] + m.new + line[m.col + len(m.old) :]
        self.pending.write_text(json.dumps({"path": m.path, "text": original}))
        try:
            path.write_text("".join(lines))
            for i, target in enumerate(targets_for(m.path)):
                if not self.builds(target):
                    return "stillborn" if i == 0 else f"killed by {target} (build)"
                if not self.passes(target):
                    return f"killed by {target}"
            return "survived"
        finally:
            path.write_text(original)
            self.pending.unlink()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument(
        "--paths", nargs="+", default=DEFAULT_PATHS, help="files, folders or globs under the root"
    )
    ap.add_argument("--limit", type=int, default=70, help="mutants to try (default 70)")
    ap.add_argument("--seed", type=int, default=13)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--timeout", type=int, default=300, help="seconds per test binary")
    ap.add_argument("--build-dir", default="build/mutation")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--json", help="also write the outcomes to this file")
    args = ap.parse_args()

    total, chosen = sample(args.paths, args.limit, args.seed)
    print(f"{len(chosen)} of {total} sites, seed {args.seed}, paths {' '.join(args.paths)}")
    if args.list:
        for m in chosen:
            print("  " + m.describe())
        return

    runner = Runner(ROOT / args.build_dir, args.jobs, args.timeout)
    runner.configure()
    runner.check_baseline(sorted({t for m in chosen for t in targets_for(m.path)}))
    outcomes = []
    began = time.monotonic()
    for k, m in enumerate(chosen, start=1):
        verdict = runner.judge(m)
        outcomes.append({"mutant": m.describe(), "verdict": verdict})
        print(f"[{k}/{len(chosen)}] {verdict:28} {m.describe()}", flush=True)

    killed = [o for o in outcomes if o["verdict"].startswith("killed")]
    survived = [o for o in outcomes if o["verdict"] == "survived"]
    stillborn = [o for o in outcomes if o["verdict"] == "stillborn"]
    minutes = (time.monotonic() - began) / 60
    print(f"\nkilled {len(killed)}, survived {len(survived)}, did not compile {len(stillborn)}"
          f" ({minutes:.0f} min)")  # fmt: skip
    for o in survived:
        print("  survived: " + o["mutant"])
    if args.json:
        Path(args.json).write_text(json.dumps(outcomes, indent=1) + "\n")


if __name__ == "__main__":
    main()
