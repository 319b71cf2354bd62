"""The sweeps: one subprocess per (runner, problem family) runs ascending sizes and reports one
JSON line per size, so that a peer that crashes or hangs costs one row."""

from __future__ import annotations

import json
import os
import select
import statistics
import subprocess
import sys
import time
from typing import Callable, Optional

from . import ENTRY
from .cases import (
    JUMP,
    MIN_SIZE,
    Problem,
    feasibility,
    make_problem,
    make_series,
    objective,
    penalty,
    regime_series,
)
from .runners import LAST_WORK, RUNNER_BY_NAME, Runner, import_library

# ----------------------------------------------------------------------------------------------
# Worker: one runner over ascending sizes of one (algo, cost, d) family, one JSON line per size
# ----------------------------------------------------------------------------------------------


def _read_status(key: str) -> Optional[int]:
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def time_runs(fn: Callable[[], list[int]]) -> tuple[list[float], list[int]]:
    """Repeated runs: many when a run is fast, one when it is slow; returns times and answer."""
    times = []
    t0 = time.perf_counter()
    bkps = fn()
    times.append(time.perf_counter() - t0)
    if times[0] < 0.2:
        target = 5
    elif times[0] < 1.0:
        target = 3
    else:
        target = 1
    while len(times) < target and sum(times) < 6.0:
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return times, bkps


def worker(spec: dict) -> None:
    runner = RUNNER_BY_NAME[spec["runner"]]
    algo, cost, d = spec["algo"], spec["cost"], spec["d"]
    budget = spec["budget"]
    emit = lambda obj: (sys.stdout.write(json.dumps(obj) + "\n"), sys.stdout.flush())  # noqa: E731
    try:
        import_library(runner.library)
    except Exception as exc:  # noqa: BLE001 - reported in the table
        for n in spec["sizes"]:
            emit(
                {"n": n, "status": f"{runner.library}: does not import ({exc.__class__.__name__})"}
            )
        return
    kind = spec.get("kind")  # one of the REGIMES kinds, or None for the main sweeps
    prev = None  # (n, seconds) of the last measured size
    for n in spec["sizes"]:
        if kind:
            x = regime_series(kind, n, d)
            prob = Problem("pelt", cost, n, d, penalty(cost, x), None, MIN_SIZE[cost], JUMP)
        else:
            x, true_bkps = make_series(n, d)
            prob = make_problem(algo, cost, x, true_bkps)
        reason = runner.supports(prob) or runner.caps(prob)
        if reason:
            emit({"n": n, "status": reason})
            continue
        if prev is not None:
            exponent = 2.0 if runner.quadratic(prob) else 1.0
            predicted = prev[1] * (n / prev[0]) ** exponent
            if predicted > budget:
                emit({"n": n, "status": f"not run: predicted {predicted:.0f} s > {budget:.0f} s"})
                prev = (n, predicted)
                continue
        peak_ok = _reset_peak()
        base = _read_status("VmRSS")
        try:
            times, bkps = time_runs(lambda: runner.run(x, prob))
        except Exception as exc:  # noqa: BLE001
            emit({"n": n, "status": f"error: {exc.__class__.__name__}: {str(exc)[:160]}"})
            prev = None
            continue
        peak = _read_status("VmHWM") if peak_ok else None
        med = statistics.median(times)
        prev = (n, med)
        infeasible = feasibility(bkps, prob)
        obj_pen = prob.pen if prob.pen is not None else 0.0
        emit(
            {
                "n": n,
                "status": "ok",
                "times": times,
                "median": med,
                "peak_mib": (peak - base) / 2**20
                if (peak is not None and base is not None)
                else None,
                "changes": len(bkps) - 1,
                "objective": objective(x, cost, bkps, obj_pen),
                "infeasible": infeasible,
                "pen": prob.pen,
                "n_bkps": prob.n_bkps,
                "min_size": prob.min_size,
                "jump": prob.jump,
                "candidates": LAST_WORK.get("candidates") if runner.library == "ovrel" else None,
                "bkps": bkps if kind else None,
            }
        )


# ----------------------------------------------------------------------------------------------
# Driver side: starts a worker and collects its lines
# ----------------------------------------------------------------------------------------------


def run_sweep(
    runner: Runner,
    algo: str,
    cost: str,
    d: int,
    sizes: list[int],
    budget: float,
    log,
    kind: Optional[str] = None,
) -> list[dict]:
    spec = {
        "runner": runner.name,
        "algo": algo,
        "cost": cost,
        "d": d,
        "sizes": sizes,
        "budget": budget,
        "kind": kind,
    }
    family = f"{algo:6s} {cost:6s} d={d}" + (f" {kind}" if kind else "")
    proc = subprocess.Popen(
        [sys.executable, ENTRY, "--worker", json.dumps(spec)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONWARNINGS="ignore", OMP_NUM_THREADS="1"),
    )
    out: list[dict] = []
    pending = list(sizes)
    hard = max(120.0, 10.0 * budget)
    deadline = time.monotonic() + hard
    while pending:
        ready, _, _ = select.select([proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            proc.kill()
            out.append({"n": pending[0], "status": f"timeout (> {hard:.0f} s)"})
            out.extend({"n": n, "status": "not run: smaller size timed out"} for n in pending[1:])
            break
        line = proc.stdout.readline()
        if not line:
            err = proc.stderr.read().strip().splitlines()
            why = err[-1][:160] if err else f"exit code {proc.wait()}"
            out.append({"n": pending[0], "status": f"crashed: {why}"})
            out.extend({"n": n, "status": "not run: worker crashed"} for n in pending[1:])
            break
        rec = json.loads(line)
        out.append(rec)
        pending.remove(rec["n"])
        deadline = time.monotonic() + hard
        if rec["status"] == "ok":
            log(
                f"  {runner.name:28s} {family} n={rec['n']:>9,}  "
                f"{rec['median'] * 1e3:10.2f} ms  changes={rec['changes']}"
            )
        else:
            log(f"  {runner.name:28s} {family} n={rec['n']:>9,}  {rec['status']}")
    proc.wait()
    for rec in out:
        rec.update(
            {
                "runner": runner.name,
                "library": runner.library,
                "algo": algo,
                "cost": cost,
                "d": d,
                "kind": kind,
            }
        )
    return out
