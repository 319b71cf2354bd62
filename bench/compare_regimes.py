#!/usr/bin/env python3
"""PELT side by side with fastcpd and changepoint-cython on the regimes the main comparison
(compare_peers.py, whose translations of settings and objective this script reuses) does not
cover: changes every 500 points with random jump sizes, three long segments, no change at all,
d = 5 and d = 10, and variance changes for the normal mean-variance cost.

    python3 bench/compare_regimes.py      # prints one line per case

Peers come from bench/install_peers.sh. Times are medians of 3 runs (1 run for the slow cases);
"same" means the peer returned ovrel's breakpoints.
"""

from __future__ import annotations

import statistics
import time

import numpy as np

import compare_peers as cp


def series(kind: str, n: int, d: int, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d))
    if kind in ("every500", "every1000"):
        step = 500 if kind == "every500" else 1000
        for s in range(0, n, step):
            x[s : s + step] += rng.uniform(-3, 3, size=d)
    elif kind == "three":
        x[n // 3 : 2 * n // 3] += 2.0
        x[2 * n // 3 :] -= 1.0
    elif kind == "var":
        for s in range(0, n, 500):
            x[s : s + 500] *= rng.uniform(0.3, 3.0)
    elif kind != "none":
        raise ValueError(kind)
    x = np.ascontiguousarray(x)
    return x[:, 0].copy() if d == 1 else x


def timed(fn, reps: int):
    times, out = [], None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), out


CASES = [
    ("l2", "every500", 10_000, 1),
    ("l2", "every500", 100_000, 1),
    ("l2", "every500", 1_000_000, 1),
    ("l2", "three", 100_000, 1),
    ("l2", "none", 100_000, 1),
    ("l2", "every1000", 100_000, 5),
    ("l2", "every1000", 100_000, 10),
    ("normal", "var", 1_000, 1),
    ("normal", "var", 10_000, 1),
    ("normal", "var", 100_000, 1),
]


def main() -> None:
    for cost, kind, n, d in CASES:
        x = series(kind, n, d)
        prob = cp.Problem("pelt", cost, n, d, cp.penalty(cost, x), None, cp.MIN_SIZE[cost], 1)
        reps = 1 if n > 100_000 or kind in ("none", "three") else 3
        t_ov, b_ov = timed(lambda: cp._ovrel_pelt(x, prob), reps)
        row = f"{cost:6s} {kind:9s} n={n:>9,} d={d:<2} ovrel={t_ov:8.4f}s changes={len(b_ov) - 1}"
        for name, fn in (("fastcpd", cp._fastcpd_pelt), ("changepoint-cython", cp._cpc_pelt)):
            if name == "changepoint-cython" and d > 1:
                continue
            try:
                t, b = timed(lambda: fn(x, prob), reps)
            except Exception as e:  # a peer missing or failing costs its column only
                row += f" | {name}: {type(e).__name__}"
                continue
            verdict = "same" if b == b_ov else (cp.feasibility(b, prob) or "different answer")
            row += f" | {name}={t:8.4f}s ratio={t / t_ov:5.2f} {verdict}"
        print(row, flush=True)


if __name__ == "__main__":
    main()
