"""The cost of the signal poll: each workload runs on the main thread (the poll installed) and on
a worker thread (no poll: only the main thread handles signals), best of --repeat wall times; run
it again with another build on PYTHONPATH to compare builds. --digest prints a hash of every
workload's breakpoints, notes, warnings and pruning counters instead, to check that two builds
answer bit for bit alike.

    python3 bench/interrupt_bench.py [--repeat 5] [--only NAME] [--digest]
"""

from __future__ import annotations

import argparse
import hashlib
import threading
import time

import numpy as np

import ovrel


def steps(n: int, every: int, seed: int = 0, d: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    level = np.repeat(np.tile([0.0, 3.0], n // (2 * every) + 1), every)[:n]
    return (level[:, None] + rng.normal(size=(n, d))).squeeze()


X_LONG = steps(200_000, 1000)
X_MID = steps(20_000, 1000)
X_SHORT = steps(3_000, 500)
X_L1 = steps(8_000, 1000)
X_WIDE = steps(20_000, 1000, d=8)
STREAM = np.random.default_rng(9).normal(size=10_000)
STREAM_LONG = np.random.default_rng(9).normal(size=1_000_000)

WORKLOADS = {
    "pelt_l2_pen": lambda: ovrel.Pelt().fit(X_LONG).predict(pen=25.0),
    "pelt_l2_capped": lambda: ovrel.Pelt(max_change_points=50).fit(X_MID).predict(pen=25.0),
    "pelt_l2_known_k": lambda: ovrel.Pelt().fit(X_SHORT).predict(n_bkps=5),
    "pelt_l1_pen": lambda: ovrel.Pelt(model="l1_median").fit(X_L1).predict(pen=25.0),
    "pelt_full_cov": lambda: ovrel.Pelt(model="normal_full_cov").fit(X_WIDE).predict(pen=200.0),
    "binseg_l2_pen": lambda: ovrel.Binseg().fit(X_LONG).predict(pen=25.0),
    "dynp_l2": lambda: ovrel.detect_offline(X_SHORT, detector="dynp", stopping={"n_bkps": 5}),
    "bocpd_batch": lambda: ovrel.Bocpd(hazard=1 / 250).update_many(STREAM),
    "cusum_batch": lambda: ovrel.Cusum().update_many(STREAM_LONG),
}


def digest(result) -> str:
    if isinstance(result, list):  # online steps
        text = repr([(s.t, s.p_change, s.alert, s.run_length_mean) for s in result])
    else:
        diag = result.diagnostics
        pruning = diag.pruning_stats
        text = repr(
            (
                result.breakpoints,
                diag.notes,
                diag.warnings,
                None
                if pruning is None
                else (pruning.candidates_considered, pruning.candidates_pruned),
            )
        )
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def best_time(run, repeat: int, in_thread: bool) -> float:
    times = []
    for _ in range(repeat):
        if in_thread:
            box = {}

            def target():
                t0 = time.perf_counter()
                run()
                box["t"] = time.perf_counter() - t0

            worker = threading.Thread(target=target)
            worker.start()
            worker.join()
            times.append(box["t"])
        else:
            t0 = time.perf_counter()
            run()
            times.append(time.perf_counter() - t0)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only")
    parser.add_argument("--digest", action="store_true")
    args = parser.parse_args()
    names = [args.only] if args.only else list(WORKLOADS)
    if args.digest:
        for name in names:
            print(name, digest(WORKLOADS[name]()))
        return
    print("| workload | main thread, poll (s) | worker thread, no poll (s) | ratio |")
    print("|---|---|---|---|")
    for name in names:
        main_t = best_time(WORKLOADS[name], args.repeat, in_thread=False)
        worker_t = best_time(WORKLOADS[name], args.repeat, in_thread=True)
        print(f"| {name} | {main_t:.4f} | {worker_t:.4f} | {main_t / worker_t:.3f} |")


if __name__ == "__main__":
    main()
