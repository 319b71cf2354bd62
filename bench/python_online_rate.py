#!/usr/bin/env python3
"""Rate of the Python streaming classes against the engine's own, on the same stream.

    python3 bench/python_online_rate.py [--bench-bin PATH] [--n 1000000] [--batch 10000]
    python3 bench/python_online_rate.py --records [--bench-bin PATH] [--sizes 10000,100000,1000000]

A stream of n float64 values (level changes every 1000 steps) goes through `update_many` in
batches, the way a consumer of a message queue would feed it. The engine's rates come from the
replay modes of `online_bench` (no Python) on the same values and configuration: its step loop
(`update`) and its batch loop over the whole stream at once (`update_many`, which also fills one
record per step of the whole stream). The ratio is taken against the faster of the two; what it
lacks of 1 is the Python layer's cost: converting each batch and building one OnlineStepResult
per value. Prints a Markdown table.

--records measures the cost of the step records themselves: one `update_many` call over the whole
stream (the list dropped inside the timing, since a caller pays for that too) at several lengths,
so the cost per step shows whether it stays flat as T grows. CUSUM is set against the engine's
batch loop (replay mode, records in a C++ vector) and against a plain Python loop of the same
statistic (`max`/`min` over the floats of `x.tolist()`, conversion included; it must give the same
change probabilities, checked bit for bit), Page-Hinkley against river's `drift.PageHinkley`
(alpha 1, mode "up", min_instances 1) fed one float at a time. Each figure is the fastest of 7
runs (river and first calls: 5, river at 1e6: 2), the usual reading on a shared machine, where a
median moves with the load. Repeated calls reuse the memory of the records released by the
previous call (up to 131,072 records); "first call" is one Page-Hinkley call in a new process,
where every record takes fresh memory.
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


def best_seconds(run, runs: int = 7) -> float:
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return min(times)


def engine_best_seconds(binary: str, x: np.ndarray, runs: int = 7) -> tuple[float, float]:
    """Fastest step loop and batch loop of the CUSUM replay over `runs` runs."""
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "x.f64"), os.path.join(tmp, "p.f64")
        x.astype("<f8").tofile(src)
        times = [
            [float(v) for v in subprocess.run([binary, "--replay-cusum", src, dst, "0.5", "50", "0"], capture_output=True, text=True, check=True).stdout.split()]
            for _ in range(runs)
        ]  # fmt: skip
    return min(t[0] for t in times), min(t[1] for t in times)


def cusum_loop(x: np.ndarray, drift: float, threshold: float, target: float) -> list[float]:
    score, out = 0.0, []
    for v in x.tolist():
        score = max(score + ((v - target) - drift), 0.0)
        out.append(min(score / threshold, 1.0))
    return out


COLD = """
import sys, time
import numpy as np
import ovrel
sys.path.insert(0, {here!r})
from compare_online_peers import stream
x = stream({n})
ovrel.PageHinkley().update_many(x[:16])
t0 = time.perf_counter()
ovrel.PageHinkley(delta=0.01, threshold=50.0).update_many(x)
print(time.perf_counter() - t0)
"""


def first_call_seconds(n: int) -> float:
    """One Page-Hinkley update_many in a new process: no released records to reuse yet."""
    code = COLD.format(here=os.path.dirname(os.path.abspath(__file__)), n=n)
    runs = [
        float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
        for _ in range(5)
    ]  # fmt: skip
    return min(runs)


def records_table(binary: str, sizes: list[int]) -> None:
    from compare_online_peers import river_ph_run

    print(
        f"One update_many call over T float64 values, list dropped inside the timing; "
        f"{platform.machine()}, Python {platform.python_version()}, NumPy {np.__version__}, "
        f"load average {os.getloadavg()[0]:.1f} at start\n"
    )
    print(
        "| T | CUSUM update_many | engine batch loop | engine step loop | Python loop "
        "| Python loop / ovrel | ovrel / engine batch | Page-Hinkley update_many | river "
        "| river / ovrel | Page-Hinkley first call |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    ns = lambda s, n: f"{s / n * 1e9:.0f} ns"  # noqa: E731
    for n in sizes:
        x = stream(n)
        cusum = lambda: ovrel.Cusum(drift=0.5, threshold=50.0)  # noqa: E731
        ours = best_seconds(lambda: cusum().update_many(x))
        step_s, batch_s = engine_best_seconds(binary, x)
        loop = best_seconds(lambda: cusum_loop(x, 0.5, 50.0, 0.0))
        same = cusum_loop(x, 0.5, 50.0, 0.0) == [r.p_change for r in cusum().update_many(x)]
        ph = best_seconds(lambda: ovrel.PageHinkley(delta=0.01, threshold=50.0).update_many(x))
        river = min(river_ph_run(x, 0.01, 50.0)[0] for _ in range(5 if n < 10**6 else 2))
        print(
            f"| {n:,} | {ns(ours, n)} | {ns(batch_s, n)} | {ns(step_s, n)} | "
            f"{ns(loop, n)}{'' if same else ' (differs)'} | {loop / ours:.1f} | "
            f"{ours / batch_s:.2f} | {ns(ph, n)} | {ns(river, n)} | {river / ph:.1f} | "
            f"{ns(first_call_seconds(n), n)} |"
        )
    print(f"\nload average {os.getloadavg()[0]:.1f} at end")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench-bin")
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--batch", type=int, default=10_000)
    ap.add_argument("--records", action="store_true")
    ap.add_argument("--sizes", default="10000,100000,1000000")
    args = ap.parse_args()
    binary = find_bench(args.bench_bin)
    if args.records:
        records_table(binary, [int(v) for v in args.sizes.split(",")])
        return
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
