#!/usr/bin/env python3
"""Side-by-side timing of ovrel's online detectors and the PyPI libraries users would otherwise
install, on the same stream.

    python3 bench/compare_online_peers.py [--bench-bin PATH] [--quick]

ovrel runs through the replay modes of the C++ benchmark `online_bench` (build it with
-DOVREL_BUILD_BENCH=ON), which reads the stream this script writes and returns its timings and the
change probability of every step. Peers (installed into the benchmark environment only):

- bayesian-changepoint-detection (`online_changepoint_detection` with `StudentT` and a constant
  hazard) and bocd: BOCPD with a normal-gamma prior, the same model as ovrel's GaussianNig.
  Their run length 0 is the run that starts after the current observation, ovrel's the run that
  includes it, and ovrel's first run is carried on as two entries; so ovrel's p_change at step
  t >= 1 is their P(r = 1) / (1 - P(r = 0)) after the same observation. ovrel runs unbounded and
  unpruned (max_run_length = T, no threshold) for the like-for-like row, and with its defaults
  (max_run_length 2000, log_prob_threshold -35) for the second row.
- river's `drift.PageHinkley` (alpha = 1, mode "up", min_instances = 1): the same running-mean
  statistic; compared by the step of the first detection. river has no one-sided CUSUM against a
  known target mean, so CUSUM has no peer row.

The table goes into bench/results.md between the online markers (replaced on every run).
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from functools import partial

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
START = "<!-- online-peers:start -->"
END = "<!-- online-peers:end -->"
HAZARD = 1.0 / 250.0
PRIOR = (0.0, 1.0, 1.0, 1.0)  # mu0, kappa0, alpha0, beta0


def stream(n: int, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    levels = rng.uniform(-3.0, 3.0, size=n // 1000 + 1)
    return levels[np.arange(n) // 1000] + rng.normal(0.0, 1.0, size=n)


def find_bench(explicit: str | None) -> str:
    candidates = [explicit] if explicit else []
    candidates += [
        os.path.join(ROOT, "build", d, "bench", "online_bench")
        for d in ("dev", "cpp-tests", "bench")
    ]
    for c in candidates:
        if c and os.path.exists(c):
            return c
    sys.exit("online_bench not found: build with -DOVREL_BUILD_BENCH=ON or pass --bench-bin")


def ovrel_replay(binary: str, mode: str, x: np.ndarray, args: list[str], runs: int = 3):
    """Median update and update_many seconds over `runs`, and the p_change of every step."""
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "x.f64"), os.path.join(tmp, "p.f64")
        x.astype("<f8").tofile(src)
        times = []
        for _ in range(runs):
            out = subprocess.run(
                [binary, mode, src, dst, *args], capture_output=True, text=True, check=True
            )
            times.append(tuple(float(v) for v in out.stdout.split()))
        p = np.fromfile(dst, dtype="<f8")
    return statistics.median(t[0] for t in times), statistics.median(t[1] for t in times), p


def bcd_run(x: np.ndarray):
    from bayesian_changepoint_detection.online_changepoint_detection import (
        StudentT,
        constant_hazard,
        online_changepoint_detection,
    )

    mu0, kappa0, alpha0, beta0 = PRIOR
    t0 = time.perf_counter()
    r, _ = online_changepoint_detection(
        x, partial(constant_hazard, 1.0 / HAZARD), StudentT(alpha0, beta0, kappa0, mu0)
    )
    elapsed = time.perf_counter() - t0
    n = len(x)
    return elapsed, r[1, 1 : n + 1] / (1.0 - r[0, 1 : n + 1])


def bocd_run(x: np.ndarray):
    import bocd

    mu0, kappa0, alpha0, beta0 = PRIOR
    det = bocd.BayesianOnlineChangePointDetection(
        bocd.ConstantHazard(1.0 / HAZARD),
        bocd.StudentT(mu=mu0, kappa=kappa0, alpha=alpha0, beta=beta0),
    )
    p = np.empty(len(x))
    t0 = time.perf_counter()
    for i, v in enumerate(x):
        det.update(v)
        bel = det.belief
        p[i] = bel[1] / (1.0 - bel[0])
    return time.perf_counter() - t0, p


def river_ph_run(x: np.ndarray, delta: float, threshold: float):
    from river import drift

    ph = drift.PageHinkley(min_instances=1, delta=delta, threshold=threshold, alpha=1.0, mode="up")
    first = None
    t0 = time.perf_counter()
    for i, v in enumerate(x):
        ph.update(float(v))
        if first is None and ph.drift_detected:
            first = i
    return time.perf_counter() - t0, first


def fmt_s(s: float) -> str:
    return f"{s * 1e3:.1f} ms" if s < 1 else f"{s:.2f} s"


def version(name: str) -> str:
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def bocpd_rows(binary: str, sizes: list[int]) -> list[str]:
    rows = []
    mu0, kappa0, alpha0, beta0 = PRIOR
    prior = [str(v) for v in (mu0, kappa0, alpha0, beta0)]
    for n in sizes:
        x = stream(n)
        exact_u, exact_m, p_exact = ovrel_replay(
            binary, "--replay-bocpd", x, [str(HAZARD), str(n), "none", *prior]
        )
        dflt_u, _, p_dflt = ovrel_replay(
            binary, "--replay-bocpd", x, [str(HAZARD), "2000", "-35", *prior]
        )
        rows.append(
            f"| BOCPD | {n:,} | ovrel, unbounded, unpruned | {fmt_s(exact_u)} ({fmt_s(exact_m)} batch) | "
            f"{n / exact_u:,.0f} | 1 | - |"
        )
        rows.append(
            f"| BOCPD | {n:,} | ovrel, defaults (2000, -35) | {fmt_s(dflt_u)} | {n / dflt_u:,.0f} | "
            f"{exact_u / dflt_u:.2f} | {np.max(np.abs(p_dflt - p_exact)):.1e} |"
        )
        for name, run in (("bayesian-changepoint-detection", bcd_run), ("bocd", bocd_run)):
            try:
                secs, p = run(x)
            except ImportError:
                rows.append(f"| BOCPD | {n:,} | {name} | not installed | | | |")
                continue
            diff = np.max(np.abs(p[1:] - p_exact[1:]))
            rows.append(
                f"| BOCPD | {n:,} | {name} | {fmt_s(secs)} | {n / secs:,.0f} | {secs / exact_u:.1f} | {diff:.1e} |"
            )
    return rows


def ph_rows(binary: str, n: int) -> list[str]:
    x = stream(n, seed=11)
    delta, threshold = 0.01, 50.0
    u, m, p = ovrel_replay(binary, "--replay-ph", x, [str(delta), str(threshold)])
    hits = np.flatnonzero(p >= 1.0)
    ours_first = int(hits[0]) if hits.size else None
    rows = [
        f"| Page-Hinkley | {n:,} | ovrel | {fmt_s(u)} ({fmt_s(m)} batch) | {n / u:,.0f} | 1 | "
        f"first detection at step {ours_first} |"
    ]
    try:
        secs, first = river_ph_run(x, delta, threshold)
        rows.append(
            f"| Page-Hinkley | {n:,} | river | {fmt_s(secs)} | {n / secs:,.0f} | {secs / u:.0f} | "
            f"first detection at step {first} |"
        )
    except ImportError:
        rows.append(f"| Page-Hinkley | {n:,} | river | not installed | | | |")
    u, m, _ = ovrel_replay(binary, "--replay-cusum", x, ["0.5", "50", "0"])
    rows.append(
        f"| CUSUM | {n:,} | ovrel | {fmt_s(u)} ({fmt_s(m)} batch) | {n / u:,.0f} | - | no PyPI peer computes it |"
    )
    return rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--bench-bin")
    ap.add_argument(
        "--quick", action="store_true", help="BOCPD up to T = 2000, Page-Hinkley 1e4 steps"
    )
    ap.add_argument("--out", default=os.path.join(HERE, "results.md"))
    args = ap.parse_args()
    binary = find_bench(args.bench_bin)
    sizes = [1000, 2000] if args.quick else [1000, 2000, 5000]
    rows = bocpd_rows(binary, sizes) + ph_rows(binary, 10_000 if args.quick else 100_000)
    section = [
        START,
        "## Online detectors against PyPI peers",
        "",
        f"Generated by `bench/compare_online_peers.py` on {platform.machine()}, Python {platform.python_version()}, "
        f"NumPy {np.__version__}; bayesian-changepoint-detection {version('bayesian-changepoint-detection')}, "
        f"bocd {version('bocd')}, river {version('river')}. ovrel through the C++ replay modes of "
        "`online_bench` (median of 3 runs); peers one run each, one observation at a time except "
        "bayesian-changepoint-detection, which takes the whole stream. Stream: level uniform in [-3, 3] "
        "per 1000 steps plus N(0, 1) noise. BOCPD: normal-gamma prior (mu0 0, kappa0 1, alpha0 1, beta0 1), "
        "constant hazard 1/250. max |dp|: largest difference from ovrel's unbounded, unpruned change "
        "probability over steps 1..T-1 (the mapping is in the script's docstring). "
        "Page-Hinkley: delta 0.01, threshold 50, river with alpha 1, mode up, min_instances 1.",
        "",
        "| detector | steps | runner | time | steps/s | time / ovrel | same answer |",
        "|---|---|---|---|---|---|---|",
        *rows,
        END,
    ]
    text = open(args.out).read() if os.path.exists(args.out) else ""
    if START in text and END in text:
        text = text[: text.index(START)] + "\n".join(section) + text[text.index(END) + len(END) :]
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(section) + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print("\n".join(section))
    return 0


if __name__ == "__main__":
    sys.exit(main())
