#!/usr/bin/env python3
"""Cost of the late-data buffer as it grows, through the Python classes.

    python3 bench/late_data_rate.py [--sizes 5000,40000] [--runs 3]

For each detector and buffering policy, one on-time value sets the watermark; then n late values
arrive (each buffered, the buffer allowed to hold all of them), and one on-time value replays the
whole buffer ("drain"). The DropOldest rows hold a full buffer of n events and feed n more late
values, each of which drops the oldest pending event to make room. Late event times are drawn at
random below the watermark, so reordering takes events from anywhere in the buffer. Prints a
Markdown table of the best of `runs` timings; the last column is the cost ratio of the largest size
to the smallest (a buffer costing O(log n) per event gives a little over the size ratio).
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import ovrel

CLASSES = {
    "CUSUM": lambda policy: ovrel.Cusum(drift=0.1, threshold=5.0, late_data_policy=policy),
    "Page-Hinkley": lambda policy: ovrel.PageHinkley(threshold=5.0, late_data_policy=policy),
    "BOCPD": lambda policy: ovrel.Bocpd(max_run_length=50, late_data_policy=policy),
}


def policy(kind: str, capacity: int, overflow: str) -> dict:
    return {
        "kind": kind,
        "max_delay_ns": 2**62,
        "max_buffer_items": capacity,
        "on_overflow": overflow,
    }


def buffer_and_drain(make, kind: str, n: int, seed: int) -> tuple[float, float]:
    rng = np.random.default_rng(seed)
    values = rng.normal(size=n).tolist()
    times = rng.integers(0, 10 * n, size=n).tolist()
    det = make(policy(kind, n, "error"))
    det.update(0.0, t_ns=10 * n)
    t0 = time.perf_counter()
    for x, t in zip(values, times):
        det.update(x, t_ns=t)
    t1 = time.perf_counter()
    det.update(0.0, t_ns=10 * n)
    t2 = time.perf_counter()
    return t1 - t0, t2 - t1


def drop_oldest(make, kind: str, n: int, seed: int) -> float:
    rng = np.random.default_rng(seed)
    values = rng.normal(size=2 * n).tolist()
    times = rng.integers(0, 10 * n, size=2 * n).tolist()
    det = make(policy(kind, n, "drop_oldest"))
    det.update(0.0, t_ns=10 * n)
    for x, t in zip(values[:n], times[:n]):
        det.update(x, t_ns=t)
    t0 = time.perf_counter()
    for x, t in zip(values[n:], times[n:]):
        det.update(x, t_ns=t)
    return time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="5000,40000")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    print("| detector | policy | phase | " + " | ".join(f"n={n} (s)" for n in sizes) + " | ratio |")
    print("|---|---|---|" + "---|" * len(sizes) + "---|")
    for name, make in CLASSES.items():
        for kind in ("buffer_within_window", "reorder_by_timestamp"):
            rows: dict[str, list[float]] = {"buffer": [], "drain": [], "DropOldest": []}
            for n in sizes:
                runs = [buffer_and_drain(make, kind, n, seed) for seed in range(args.runs)]
                rows["buffer"].append(min(r[0] for r in runs))
                rows["drain"].append(min(r[1] for r in runs))
                rows["DropOldest"].append(
                    min(drop_oldest(make, kind, n, seed) for seed in range(args.runs))
                )
            for phase, secs in rows.items():
                cells = " | ".join(f"{s:.4f}" for s in secs)
                print(f"| {name} | {kind} | {phase} | {cells} | {secs[-1] / secs[0]:.1f} |")


if __name__ == "__main__":
    main()
