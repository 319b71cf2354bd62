#!/usr/bin/env python3
"""Rate of the Python streaming classes against the engine's own, on the same stream.

    python3 bench/python_online_rate.py [--bench-bin PATH] [--n 1000000] [--batch 10000]

A stream of n float64 values (level changes every 1000 steps) goes through `update_many` in
batches, the way a consumer of a message queue would feed it. The engine's rates come from the
replay modes of `online_bench` (no Python) on the same values and configuration: its step loop
(`update`) and its batch loop over the whole stream at once (`update_many`, which also fills one
record per step of the whole stream). The ratio is taken against the faster of the two; what it
lacks of 1 is the Python layer's cost: converting each batch and building one OnlineStepResult
per value. Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_online_peers import find_bench, ovrel_replay, stream  # noqa: E402

import ovrel  # noqa: E402

HAZARD = 1.0 / 250.0


def python_seconds(make, x: np.ndarray, batch: int, runs: int = 3) -> float:
    times = []
    for _ in range(runs):
        det = make()
        t0 = time.perf_counter()
        for start in range(0, x.size, batch):
            det.update_many(x[start : start + batch])
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench-bin")
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--batch", type=int, default=10_000)
    args = ap.parse_args()
    binary = find_bench(args.bench_bin)
    x = stream(args.n)
    rows = [
        ("CUSUM", lambda: ovrel.Cusum(drift=0.5, threshold=50.0), "--replay-cusum", ["0.5", "50", "0"]),
        ("Page-Hinkley", lambda: ovrel.PageHinkley(delta=0.01, threshold=8.0), "--replay-ph", ["0.01", "8"]),
        ("BOCPD gaussian, max_run_length 100", lambda: ovrel.Bocpd(hazard=HAZARD, max_run_length=100), "--replay-bocpd", [str(HAZARD), "100", "-35", "0", "1", "1", "1"]),
    ]  # fmt: skip
    print(
        f"{args.n} float64 values through update_many in batches of {args.batch}; "
        f"{platform.machine()}, Python {platform.python_version()}, NumPy {np.__version__}\n"
    )
    print(
        "| detector | engine update steps/s | engine update_many steps/s | Python steps/s "
        "| Python / faster engine |"
    )
    print("|---|---|---|---|---|")
    for label, make, mode, replay_args in rows:
        update_s, batch_s, _ = ovrel_replay(binary, mode, x, replay_args)
        py_s = python_seconds(make, x, args.batch)
        print(
            f"| {label} | {args.n / update_s:,.0f} | {args.n / batch_s:,.0f} | "
            f"{args.n / py_s:,.0f} | {min(update_s, batch_s) / py_s:.2f} |"
        )


if __name__ == "__main__":
    main()
