#!/usr/bin/env python3
"""Side-by-side timing of ovrel's offline detectors and the Python libraries users would otherwise
install (ruptures, changepoint-cython, fastcpd), on the same series and the same problem.

    python3 bench/compare_peers.py                # full run: writes bench/results.md, bench/scaling.png
    python3 bench/compare_peers.py --quick        # sizes up to 1e4 only, for trying the harness
    python3 bench/compare_peers.py --self-check   # translation checks against an exact reference only
    python3 bench/compare_peers.py --only regimes # the "Other regimes" section alone, in place

Every answer, ovrel's and each peer's, is scored by one function of this file (`objective`): the sum
of ovrel's segment costs plus the penalty times the number of changes. A peer's settings are
translated so that it solves the same problem (penalty scale, minimum segment length, candidate
grid, index conventions); where a peer's cost cannot be mapped onto ovrel's, its row is timed only
and the check reads "n/a (...)". Each (runner, problem family) sweep runs in its own subprocess so
that a peer that crashes or hangs costs one row, and so that peak memory can be read per case.

The report keeps what other scripts write into it: the online block between the online markers
(bench/compare_online_peers.py) and everything after it are carried over from the existing file.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import select
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SIZES = [1_000, 3_000, 10_000, 100_000, 1_000_000]
QUICK_SIZES = [1_000, 3_000, 10_000]
COSTS = ["l2", "l1", "normal", "rank", "cosine"]
DIMS = [1, 5]
ALGOS = ["pelt", "binseg", "dynp"]

# Minimum segment length and candidate grid shared by every runner. The normal cost gets a longer
# minimum: with two-point segments its optimum is dominated by pairs of nearly equal values whose
# variance is tiny, which measures nothing but that degeneracy.
MIN_SIZE = {"l2": 2, "l1": 2, "normal": 10, "rank": 2, "cosine": 2}
JUMP = 1

# Seconds one run may be predicted to take before a sweep stops growing n, and the exponent used
# for that prediction (the quadratic-ish methods grow with n^2).
DEFAULT_BUDGET_S = 10.0
# The segment-neighbourhood programmes are quadratic in n; a smaller first size gives the slower
# ones a point on the scaling plot.
EXTRA_DYNP_SIZES = [300]
VARIANCE_FLOOR = 2.220446049250313e-10


# ----------------------------------------------------------------------------------------------
# Data and problems
# ----------------------------------------------------------------------------------------------


def n_changes(n: int) -> int:
    """True number of changes in the generated series: one per ~1000 samples, at least 2."""
    return max(2, n // 1000)


def make_series(n: int, d: int) -> tuple[np.ndarray, list[int]]:
    """Piecewise-constant means (uniform in [-3, 3] per segment and dimension) plus N(0, 1) noise.

    Deterministic in (n, d); returns the series (shape (n,) for d = 1, (n, d) otherwise) and the
    true breakpoints (ending with n).
    """
    rng = np.random.default_rng(20240 + 7919 * d + n)
    k = n_changes(n)
    spacing = n / (k + 1)
    centres = spacing * np.arange(1, k + 1)
    jitter = rng.uniform(-0.25, 0.25, size=k) * spacing
    bkps = sorted(set(int(round(c + j)) for c, j in zip(centres, jitter)))
    bounds = [0] + bkps + [n]
    means = rng.uniform(-3.0, 3.0, size=(len(bounds) - 1, d))
    x = rng.standard_normal((n, d))
    for i in range(len(bounds) - 1):
        x[bounds[i] : bounds[i + 1]] += means[i]
    x = np.ascontiguousarray(x)
    return (x[:, 0].copy() if d == 1 else x), bkps + [n]


def as_2d(x: np.ndarray) -> np.ndarray:
    return x.reshape(-1, 1) if x.ndim == 1 else x


def midranks(col: np.ndarray) -> np.ndarray:
    """1-based ranks of one column, ties sharing the mean of their positions."""
    n = col.shape[0]
    order = np.argsort(col, kind="stable")
    s = col[order]
    edges = np.flatnonzero(np.r_[True, s[1:] != s[:-1], True])
    lo, hi = edges[:-1], edges[1:]
    ranks = np.empty(n)
    ranks[order] = np.repeat(((lo + 1.0) + hi) * 0.5, hi - lo)
    return ranks


def rank_matrix(x: np.ndarray) -> np.ndarray:
    x2 = as_2d(x)
    return np.column_stack([midranks(x2[:, j]) for j in range(x2.shape[1])])


def unit_rows(x: np.ndarray) -> np.ndarray:
    x2 = as_2d(x)
    norms = np.linalg.norm(x2, axis=1)
    inv = np.where((norms > 0) & np.isfinite(norms), 1.0 / np.where(norms > 0, norms, 1.0), 0.0)
    return x2 * inv[:, None]


def noise_var(x2: np.ndarray) -> np.ndarray:
    """Per-dimension noise variance from first differences (robust to a few mean shifts)."""
    return np.mean(np.diff(x2, axis=0) ** 2, axis=0) / 2.0


def penalty(cost: str, x: np.ndarray) -> float:
    """A BIC-like penalty in the units of ovrel's cost, the same for every runner."""
    x2 = as_2d(x)
    n, d = x2.shape
    logn = math.log(n)
    if cost == "l2":
        return 2.0 * logn * float(np.sum(noise_var(x2)))
    if cost == "l1":
        return 2.0 * logn * float(np.sum(np.sqrt(noise_var(x2) * 2.0 / math.pi)))
    if cost == "normal":
        return 3.0 * d * logn
    if cost == "rank":
        return 2.0 * logn * float(np.sum(noise_var(rank_matrix(x2))))
    if cost == "cosine":
        u = unit_rows(x2)
        spread = float(np.mean(1.0 - np.sum(u[1:] * u[:-1], axis=1))) / 2.0
        return 4.0 * logn * max(spread, 0.05)
    raise ValueError(cost)


@dataclass(frozen=True)
class Problem:
    algo: str  # "pelt" (penalised), "binseg" or "dynp" (known number of changes)
    cost: str
    n: int
    d: int
    pen: Optional[float]
    n_bkps: Optional[int]
    min_size: int
    jump: int


def make_problem(algo: str, cost: str, x: np.ndarray, true_bkps: list[int]) -> Problem:
    x2 = as_2d(x)
    n, d = x2.shape
    if algo == "pelt":
        return Problem(algo, cost, n, d, penalty(cost, x), None, MIN_SIZE[cost], JUMP)
    return Problem(algo, cost, n, d, None, len(true_bkps) - 1, MIN_SIZE[cost], JUMP)


# PELT regimes the sweeps above do not cover, one (cost, kind, d) family per entry with its sizes:
# changes every 500 points with random jumps, three long segments, no change at all, d = 5 and
# 10, and variance changes for the normal cost. Same penalty, minimum segment and jump as above.
REGIMES = [
    ("l2", "every500", 1, [10_000, 100_000, 1_000_000]),
    ("l2", "three", 1, [100_000]),
    ("l2", "none", 1, [100_000]),
    ("l2", "every1000", 5, [100_000]),
    ("l2", "every1000", 10, [100_000]),
    ("normal", "var", 1, [1_000, 10_000, 100_000, 1_000_000]),
]
REGIME_RUNNERS = ["ovrel Pelt", "fastcpd", "changepoint-cython PELT"]
REGIME_LABEL = {
    "every500": "change every 500 (random jumps)",
    "every1000": "change every 1,000 (random jumps)",
    "three": "three long segments",
    "none": "no change",
    "var": "variance changes every 500",
}
COST_LABEL = {"l2": "L2", "normal": "normal mean-var"}


def regime_series(kind: str, n: int, d: int, seed: int = 5) -> np.ndarray:
    """N(0, 1) noise shaped by one of the REGIMES kinds; deterministic in (kind, n, d)."""
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


# ----------------------------------------------------------------------------------------------
# The one objective function (ovrel's cost definitions), used for every answer
# ----------------------------------------------------------------------------------------------


def _prefix(a: np.ndarray) -> np.ndarray:
    out = np.zeros((a.shape[0] + 1, a.shape[1]))
    np.cumsum(a, axis=0, out=out[1:])
    return out


class Scorer:
    """Segment costs of ovrel's models for one series, vectorised over many segments."""

    def __init__(self, x: np.ndarray, cost: str):
        self.cost = cost
        self.x2 = as_2d(np.asarray(x, dtype=np.float64))
        self.n = self.x2.shape[0]
        if cost in ("l2", "normal"):
            self.s1, self.s2 = _prefix(self.x2), _prefix(self.x2**2)
        elif cost == "rank":
            r = rank_matrix(self.x2)
            self.s1, self.s2 = _prefix(r), _prefix(r**2)
        elif cost == "cosine":
            self.su = _prefix(unit_rows(self.x2))
        elif cost != "l1":
            raise ValueError(cost)

    def costs(self, starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
        starts = np.asarray(starts, dtype=np.int64)
        ends = np.asarray(ends, dtype=np.int64)
        m = (ends - starts).astype(np.float64)[:, None]
        if self.cost in ("l2", "rank"):
            s1 = self.s1[ends] - self.s1[starts]
            s2 = self.s2[ends] - self.s2[starts]
            terms = s2 - s1 * s1 / m
            if self.cost == "rank":
                terms = np.maximum(terms, 0.0)
            return np.maximum(terms.sum(axis=1), 0.0)
        if self.cost == "normal":
            s1 = self.s1[ends] - self.s1[starts]
            s2 = self.s2[ends] - self.s2[starts]
            mean = s1 / m
            var = s2 / m - mean * mean
            var = np.where(np.isnan(var) | (var <= VARIANCE_FLOOR), VARIANCE_FLOOR, var)
            return (np.log(var) * m).sum(axis=1)
        if self.cost == "cosine":
            v = self.su[ends] - self.su[starts]
            return np.maximum(m[:, 0] - np.linalg.norm(v, axis=1), 0.0)
        out = np.empty(starts.shape[0])
        for i, (a, b) in enumerate(zip(starts, ends)):
            seg = self.x2[a:b]
            out[i] = np.abs(seg - np.median(seg, axis=0)).sum()
        return out

    def objective(self, bkps: list[int], pen: float) -> float:
        ends = np.asarray(bkps, dtype=np.int64)
        starts = np.r_[0, ends[:-1]]
        return float(self.costs(starts, ends).sum()) + pen * (len(bkps) - 1)


def objective(x: np.ndarray, cost: str, bkps: list[int], pen: float) -> float:
    return Scorer(x, cost).objective(bkps, pen)


def feasibility(bkps: list[int], prob: Problem) -> Optional[str]:
    """Why an answer is outside the problem's feasible set, or None."""
    if not bkps or bkps[-1] != prob.n:
        return "breakpoints do not end with n"
    prev = 0
    for b in bkps:
        if b - prev < prob.min_size:
            return f"segment [{prev}, {b}) shorter than min_size={prob.min_size}"
        if b != prob.n and b % prob.jump:
            return f"breakpoint {b} not a multiple of jump={prob.jump}"
        prev = b
    if prob.n_bkps is not None and len(bkps) - 1 != prob.n_bkps:
        return f"{len(bkps) - 1} changes instead of {prob.n_bkps}"
    return None


# ----------------------------------------------------------------------------------------------
# Runners: one per (library, algorithm); each knows how to translate a Problem
# ----------------------------------------------------------------------------------------------


@dataclass
class Runner:
    name: str
    library: str  # "ovrel", "ruptures", "changepoint-cython", "fastcpd"
    algo: str
    # supports(prob) -> None if the runner takes the problem, else the reason it does not
    supports: Callable[[Problem], Optional[str]]
    # faithful(prob) -> None if the runner solves exactly ovrel's problem, else why not
    faithful: Callable[[Problem], Optional[str]]
    run: Callable[[np.ndarray, Problem], list[int]]
    exact: bool  # an exact optimiser (its answer must not beat ovrel's exact one)
    caps: Callable[[Problem], Optional[str]] = lambda p: None  # static size caps
    quadratic: Callable[[Problem], bool] = lambda p: False


def _import(library: str):
    if library == "ovrel":
        import ovrel

        return ovrel
    if library == "ruptures":
        import ruptures

        return ruptures
    if library == "changepoint-cython":
        from pychangepoints import algo_changepoints

        return algo_changepoints
    if library == "fastcpd":
        import fastcpd

        return fastcpd
    raise ValueError(library)


def library_version(library: str) -> str:
    try:
        from importlib.metadata import version

        return version(library)
    except Exception:  # noqa: BLE001 - a missing distribution is reported, not raised
        return "not installed"


# -- ovrel -------------------------------------------------------------------------------------

OVREL_MODEL = {
    "l2": "l2",
    "l1": "l1_median",
    "normal": "normal",
    "rank": "rank",
    "cosine": "cosine",
}


def _ovrel_attr(name: str) -> Optional[str]:
    try:
        mod = _import("ovrel")
    except Exception as exc:  # noqa: BLE001
        return f"ovrel: not importable ({exc.__class__.__name__})"
    return None if hasattr(mod, name) else "ovrel: not available"


# Work counters of ovrel's last answer (PELT's scored candidates), reported next to its time.
LAST_WORK: dict = {}


def _ovrel_breakpoints(res) -> list[int]:
    stats = getattr(res.diagnostics, "pruning_stats", None)
    LAST_WORK.clear()
    if stats is not None:
        LAST_WORK["candidates"] = int(stats.candidates_considered)
    return list(res.breakpoints)


def _ovrel_predict(est, prob: Problem):
    if prob.pen is not None:
        return est.predict(pen=prob.pen)
    return est.predict(n_bkps=prob.n_bkps)


def _ovrel_pelt(x, prob):
    ov = _import("ovrel")
    est = ov.Pelt(model=OVREL_MODEL[prob.cost], min_segment_len=prob.min_size, jump=prob.jump)
    return _ovrel_breakpoints(_ovrel_predict(est.fit(x), prob))


def _ovrel_fpop(x, prob):
    ov = _import("ovrel")
    est = ov.Fpop(min_segment_len=prob.min_size, jump=prob.jump)
    return _ovrel_breakpoints(_ovrel_predict(est.fit(x), prob))


def _ovrel_binseg(x, prob):
    ov = _import("ovrel")
    est = ov.Binseg(model=OVREL_MODEL[prob.cost], min_segment_len=prob.min_size, jump=prob.jump)
    return _ovrel_breakpoints(_ovrel_predict(est.fit(x), prob))


def _ovrel_dynp(x, prob):
    ov = _import("ovrel")
    stopping = {"pen": prob.pen} if prob.pen is not None else {"n_bkps": prob.n_bkps}
    res = ov.detect_offline(
        x,
        detector="dynp",
        cost=OVREL_MODEL[prob.cost],
        constraints={"min_segment_len": prob.min_size, "jump": prob.jump},
        stopping=stopping,
    )
    return _ovrel_breakpoints(res)


# -- ruptures ----------------------------------------------------------------------------------


def _rpt_cost(prob: Problem):
    rpt = _import("ruptures")
    if prob.cost == "normal":
        # ruptures adds 1e-6 to the covariance diagonal by default; without it the
        # one-dimensional cost is exactly ovrel's m * ln(var).
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return {"custom_cost": rpt.costs.CostNormal(add_small_diag=False)}
    return {"model": prob.cost}


def _rpt_pen(x, prob: Problem) -> float:
    if prob.cost == "rank":
        # ruptures' rank cost is -m * rbar' C^-1 rbar on centred ranks, C their covariance over the
        # whole series. For d = 1 that is (ovrel's rank cost - const) / var(ranks) summed over a
        # partition, so the same optimum needs the penalty divided by var(ranks).
        r = rank_matrix(x)[:, 0]
        return prob.pen / float(np.var(r))
    return prob.pen


def _rpt_faithful(prob: Problem) -> Optional[str]:
    if prob.cost == "cosine":
        return "n/a (different cost: ruptures' cosine is a kernel cost, 1 - |sum u|^2/m)"
    if prob.cost == "normal" and prob.d > 1:
        return "n/a (different cost: ruptures' normal uses the full covariance)"
    if prob.cost == "rank" and prob.d > 1:
        return "n/a (different cost: ruptures' rank cost is Mahalanobis in rank covariance)"
    return None


def _rpt_caps(prob: Problem) -> Optional[str]:
    if prob.cost == "cosine" and prob.n > 5_000:
        return "cap n <= 5e3: ruptures' cosine cost builds an n x n Gram matrix"
    return None


def _rpt_run(cls_name):
    def run(x, prob):
        rpt = _import("ruptures")
        algo = getattr(rpt, cls_name)(min_size=prob.min_size, jump=prob.jump, **_rpt_cost(prob))
        algo.fit(x)
        if prob.pen is not None:
            return [int(b) for b in algo.predict(pen=_rpt_pen(x, prob))]
        return [int(b) for b in algo.predict(n_bkps=prob.n_bkps)]

    return run


# -- changepoint-cython ------------------------------------------------------------------------

CPC_METHOD = {"l2": "mll_mean", "normal": "mll_meanvar"}


def _cpc_supports(prob: Problem) -> Optional[str]:
    if prob.cost not in CPC_METHOD:
        return "no such cost"
    if prob.d > 1 and prob.cost != "l2":
        return "multivariate only for the mean cost"
    return None


def _cpc_faithful(prob: Problem) -> Optional[str]:
    if prob.d > 1:
        return "n/a (different data: the multivariate entry points PCA-whiten the input)"
    if prob.algo == "binseg":
        return None
    return None


def _cpc_pelt(x, prob):
    import pandas as pd

    cpc = _import("changepoint-cython")
    n = prob.n
    # The wrapper multiplies the penalty by ln(n); its costs are ovrel's plus a constant per point
    # (mll_meanvar: m (ln 2 pi + 1)), so the penalty itself is the same once the ln(n) is undone.
    if prob.d == 1:
        cpts, _ = cpc.pelt(
            pd.Series(x), prob.pen / math.log(n), prob.min_size, CPC_METHOD[prob.cost]
        )
    else:
        cpts, _ = cpc.pelt_multiple(
            pd.DataFrame(x), prob.pen / math.log(n), prob.min_size, CPC_METHOD[prob.cost]
        )
    return sorted(int(c) for c in cpts)


def _cpc_binseg(x, prob):
    import pandas as pd

    cpc = _import("changepoint-cython")
    if prob.d == 1:
        cpts = cpc.binseg(pd.Series(x), prob.n_bkps, prob.min_size, CPC_METHOD[prob.cost])
    else:
        cpts = cpc.binseg_multiple(
            pd.DataFrame(x), prob.n_bkps, prob.min_size, CPC_METHOD[prob.cost]
        )
    return sorted(set(int(c) for c in cpts if 0 < int(c) < prob.n)) + [prob.n]


# -- fastcpd -----------------------------------------------------------------------------------

FASTCPD_FAMILY = {"l2": "mean", "normal": "meanvariance", "rank": "rank"}


def _fastcpd_faithful(prob: Problem) -> Optional[str]:
    if prob.cost == "normal" and prob.d > 1:
        return "n/a (different cost: fastcpd's meanvariance uses the full covariance)"
    return None


def _fastcpd_pelt(x, prob):
    fc = _import("fastcpd")
    d = prob.d
    # fastcpd's costs are negative log-likelihoods (half of ovrel's costs plus a constant per
    # point, with the identity as known covariance for mean and rank), and its penalty counts
    # per change: beta = pen / 2. It has no minimum segment length; the check reports an answer
    # with a shorter segment as infeasible.
    kwargs = dict(
        beta=prob.pen / 2.0, cost_adjustment=None, cp_only=True, trim=0.0, vanilla_percentage=1.0
    )
    data = as_2d(x)
    if prob.cost == "l2":
        res = fc.detect_mean(data, variance_estimation=np.eye(d), **kwargs)
    elif prob.cost == "rank":
        res = fc.detect_rank(data, variance_estimation=np.eye(d), **kwargs)
    else:
        res = fc.detect_meanvariance(data, **kwargs)
    cps = sorted(set(int(c) for c in np.asarray(res.raw_cp_set).ravel() if 0 < int(c) < prob.n))
    return cps + [prob.n]


# -- the registry ------------------------------------------------------------------------------


def _always(prob):
    return None


def _l1_quadratic(prob):
    return prob.cost == "l1"


RUNNERS = [
    Runner(
        "ovrel Pelt",
        "ovrel",
        "pelt",
        lambda p: _ovrel_attr("Pelt"),
        _always,
        _ovrel_pelt,
        True,
        quadratic=_l1_quadratic,
    ),
    Runner(
        "ovrel Fpop",
        "ovrel",
        "pelt",
        lambda p: "L2 only" if p.cost != "l2" else _ovrel_attr("Fpop"),
        _always,
        _ovrel_fpop,
        True,
    ),
    Runner(
        "ruptures Pelt",
        "ruptures",
        "pelt",
        _always,
        _rpt_faithful,
        _rpt_run("Pelt"),
        True,
        caps=_rpt_caps,
        quadratic=_l1_quadratic,
    ),
    Runner(
        "changepoint-cython PELT",
        "changepoint-cython",
        "pelt",
        _cpc_supports,
        _cpc_faithful,
        _cpc_pelt,
        True,
    ),
    Runner(
        "fastcpd",
        "fastcpd",
        "pelt",
        lambda p: None if p.cost in FASTCPD_FAMILY else "no such cost",
        _fastcpd_faithful,
        _fastcpd_pelt,
        True,
    ),
    Runner(
        "ovrel Binseg",
        "ovrel",
        "binseg",
        lambda p: _ovrel_attr("Binseg"),
        _always,
        _ovrel_binseg,
        False,
        quadratic=_l1_quadratic,
    ),
    Runner(
        "ruptures Binseg",
        "ruptures",
        "binseg",
        _always,
        _rpt_faithful,
        _rpt_run("Binseg"),
        False,
        caps=_rpt_caps,
        quadratic=_l1_quadratic,
    ),
    Runner(
        "changepoint-cython BinSeg",
        "changepoint-cython",
        "binseg",
        _cpc_supports,
        _cpc_faithful,
        _cpc_binseg,
        False,
    ),
    Runner(
        "ovrel dynp",
        "ovrel",
        "dynp",
        lambda p: _ovrel_attr("detect_offline"),
        _always,
        _ovrel_dynp,
        True,
        quadratic=lambda p: True,
    ),
    Runner(
        "ruptures Dynp",
        "ruptures",
        "dynp",
        _always,
        _rpt_faithful,
        _rpt_run("Dynp"),
        True,
        caps=_rpt_caps,
        quadratic=lambda p: True,
    ),
]
RUNNER_BY_NAME = {r.name: r for r in RUNNERS}
PRIMARY_OVREL = {"pelt": "ovrel Pelt", "binseg": "ovrel Binseg", "dynp": "ovrel dynp"}


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
        _import(runner.library)
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
# Self-check: translations against an exact reference solver on small series
# ----------------------------------------------------------------------------------------------


def reference_optimum(x: np.ndarray, prob: Problem) -> tuple[float, list[int]]:
    """Exact optimal partitioning (no pruning) over ovrel's costs; O(n^2) vectorised."""
    sc = Scorer(x, prob.cost)
    n, ms = prob.n, prob.min_size
    f = np.full(n + 1, np.inf)
    f[0] = -prob.pen
    arg = np.zeros(n + 1, dtype=np.int64)
    for t in range(ms, n + 1):
        starts = np.arange(0, t - ms + 1)
        starts = starts[(starts == 0) | ((starts >= ms) & (starts % prob.jump == 0))]
        starts = starts[np.isfinite(f[starts])]
        if t != n and t % prob.jump:
            continue
        if starts.size == 0:
            continue
        vals = f[starts] + sc.costs(starts, np.full(starts.shape, t)) + prob.pen
        i = int(np.argmin(vals))
        f[t], arg[t] = vals[i], starts[i]
    bkps, t = [], n
    while t > 0:
        bkps.append(t)
        t = int(arg[t])
    return float(f[n]), bkps[::-1]


def self_check() -> list[dict]:
    """Checks every faithful translation of an exact peer (and ovrel's PELT, when it imports)
    against the reference optimum, and ruptures' segment costs against ours."""
    rows = []
    for cost in COSTS:
        for d in DIMS:
            n = 150 if cost == "l1" else 600
            x, true_bkps = make_series(n, d)
            prob = make_problem("pelt", cost, x, true_bkps)
            ref_obj, ref_bkps = reference_optimum(x, prob)
            tol = 1e-7 * (abs(ref_obj) + n)
            for runner in [r for r in RUNNERS if r.algo == "pelt"]:
                why = runner.supports(prob)
                if why:
                    if runner.library == "ovrel" and why.startswith("ovrel"):
                        rows.append({"cost": cost, "d": d, "runner": runner.name, "result": why})
                    continue
                try:
                    _import(runner.library)
                except Exception:  # noqa: BLE001
                    rows.append(
                        {"cost": cost, "d": d, "runner": runner.name, "result": "not installed"}
                    )
                    continue
                unfaithful = runner.faithful(prob)
                try:
                    bkps = runner.run(x, prob)
                except Exception as exc:  # noqa: BLE001
                    rows.append(
                        {
                            "cost": cost,
                            "d": d,
                            "runner": runner.name,
                            "result": f"error: {exc.__class__.__name__}: {str(exc)[:100]}",
                        }
                    )
                    continue
                obj = objective(x, cost, bkps, prob.pen)
                infeasible = feasibility(bkps, prob)
                if unfaithful:
                    result = unfaithful
                elif infeasible:
                    result = f"answer infeasible ({infeasible})"
                elif abs(obj - ref_obj) <= tol:
                    result = "optimum reproduced"
                elif obj > ref_obj:
                    result = f"suboptimal by {obj - ref_obj:.6g}"
                else:
                    result = f"BELOW reference by {ref_obj - obj:.6g} (harness bug)"
                rows.append(
                    {
                        "cost": cost,
                        "d": d,
                        "runner": runner.name,
                        "result": result,
                        "changes": len(bkps) - 1,
                        "ref_changes": len(ref_bkps) - 1,
                    }
                )
            # ruptures' cost objects against ours, on random segments
            try:
                rpt = _import("ruptures")
            except Exception:  # noqa: BLE001
                continue
            if cost in ("l2", "l1") or (cost == "normal" and d == 1):
                c = _rpt_cost(prob)
                obj_c = (
                    c["custom_cost"] if "custom_cost" in c else rpt.costs.cost_factory(model=cost)
                ).fit(x)
                rng = np.random.default_rng(1)
                sc = Scorer(x, cost)
                worst = 0.0
                for _ in range(200):
                    a = int(rng.integers(0, n - 10))
                    b = int(rng.integers(a + 10, n + 1))
                    ours = float(sc.costs(np.array([a]), np.array([b]))[0])
                    worst = max(worst, abs(obj_c.error(a, b) - ours) / (1.0 + abs(ours)))
                rows.append(
                    {
                        "cost": cost,
                        "d": d,
                        "runner": "ruptures segment cost",
                        "result": ("equal to ovrel's (max rel. diff %.1e)" % worst)
                        if worst < 1e-9
                        else "differs (max rel. diff %.1e)" % worst,
                    }
                )
    return rows


# ----------------------------------------------------------------------------------------------
# Driver
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
        [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(spec)],
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


def check_row(rec: dict, ov: Optional[dict], runner: Runner, pelt_rec: Optional[dict]) -> str:
    """The objective check of one row against ovrel's answer to the same problem."""
    if rec.get("status") != "ok":
        return ""
    prob = Problem(
        rec["algo"],
        rec["cost"],
        rec["n"],
        rec["d"],
        rec.get("pen"),
        rec.get("n_bkps"),
        rec["min_size"],
        rec["jump"],
    )
    if runner.library == "ovrel":
        if rec["infeasible"]:
            return f"FAIL: ovrel answer infeasible ({rec['infeasible']})"
        if runner.name == "ovrel Fpop" and pelt_rec and pelt_rec.get("status") == "ok":
            diff = rec["objective"] - pelt_rec["objective"]
            tol = 1e-9 * (abs(pelt_rec["objective"]) + rec["n"])
            return (
                "equal to ovrel Pelt" if abs(diff) <= tol else f"differs from Pelt by {diff:+.6g}"
            )
        return "reference"
    unfaithful = runner.faithful(prob)
    if unfaithful:
        return unfaithful
    if rec["infeasible"]:
        return f"n/a (peer answer infeasible: {rec['infeasible']})"
    if not ov or ov.get("status") != "ok":
        return "peer only (no ovrel answer)"
    diff = ov["objective"] - rec["objective"]
    tol = 1e-9 * (abs(rec["objective"]) + rec["n"])
    if abs(diff) <= tol:
        return "ok (equal)"
    if diff < 0:
        return f"ok (ovrel lower by {-diff:.6g})"
    if runner.exact and PRIMARY_OVREL[rec["algo"]] != "ovrel Binseg":
        return f"FAIL: ovrel higher by {diff:.6g}"
    return f"peer lower by {diff:.6g} (both greedy)"


def fmt_time(s: Optional[float]) -> str:
    if s is None:
        return ""
    if s < 1e-3:
        return f"{s * 1e6:.0f} µs"
    if s < 1.0:
        return f"{s * 1e3:.1f} ms"
    return f"{s:.2f} s"


def report_text(records: list[dict], checks: list[dict], args, elapsed: float, loads) -> str:
    """The report's own part: everything before the regimes and online blocks."""
    by_key = {(r["runner"], r["algo"], r["cost"], r["d"], r["n"]): r for r in records}
    lines = ["# ovrel against the libraries users would otherwise pick", ""]
    lines += [
        f"Generated by `bench/compare_peers.py` in {elapsed / 60:.1f} min on "
        f"{platform.machine()} ({_cpu_name()}, {os.cpu_count()} cores), Python "
        f"{platform.python_version()}, NumPy {np.__version__}. {load_text(loads)}",
        "",
        "Versions: "
        + ", ".join(
            f"{lib} {library_version(dist)}"
            for lib, dist in [
                ("ovrel", "ovrel"),
                ("ruptures", "ruptures"),
                ("changepoint-cython", "changepoint-cython"),
                ("fastcpd", "fastcpd"),
            ]
        )
        + ".",
        "",
        "## What is measured",
        "",
        "- Data: piecewise-constant means (uniform in [-3, 3] per segment and dimension) plus "
        "N(0, 1) noise, one change per ~1000 samples (at least 2), seeded by (n, d). "
        "d = 1 and d = 5, float64.",
        "- Time: wall-clock of one user call, `fit` + `predict` (or the library's one function), "
        "median of up to 5 runs (fewer when a run is slow: the `runs` column). Each "
        "(library, algorithm, cost, d) sweep runs in its own process, n ascending; a sweep stops "
        f"growing n when the next run is predicted above {args.budget:.0f} s (linear growth "
        'assumed; quadratic for dynp and the l1 cost), which is what the "not run" rows say.',
        "- Peak memory: growth of the process's peak resident set during the runs above the "
        "resident set before them (Linux VmHWM reset through /proc/self/clear_refs), in MiB. It "
        "covers native allocations (ovrel's C++ caches, Cython and C++ peers) as well as NumPy.",
        "- ratio = peer time / ovrel time for the same problem (above 1: ovrel faster).",
        "- Objective check: both answers scored by one function of the script, the sum of "
        "ovrel's segment costs plus the penalty times the number of changes (for the known-k "
        'problems the costs alone, with equal k). "ok" means ovrel\'s objective is not above the '
        "peer's (relative tolerance 1e-9); for Binseg both sides are greedy, so a lower peer "
        "objective is reported rather than failed.",
        "",
        "## Problems and the translation of settings",
        "",
        "| problem | stopping | min segment | jump |",
        "|---|---|---|---|",
        "| pelt (ovrel `Pelt`, `Fpop` for l2) | penalty, BIC-like in the cost's units (below) | "
        "l2, l1, rank, cosine: 2; normal: 10 | 1 |",
        "| binseg | known number of changes (the true one) | as above | 1 |",
        '| dynp (ovrel `detect_offline(detector="dynp")`) | known number of changes | as above | 1 |',
        "",
        "Penalties (n samples, d dimensions, noise variances estimated from first differences): "
        "l2: 2 ln n · Σ σ̂²; l1: 2 ln n · Σ σ̂·√(2/π); normal: 3 d ln n; rank: 2 ln n · Σ σ̂² of the "
        "ranks; cosine: 4 ln n · max(mean (1 − u_t·u_{t+1})/2, 0.05).",
        "",
        "| peer | ovrel cost | translation | objective check |",
        "|---|---|---|---|",
        "| ruptures Pelt/Binseg/Dynp | l2, l1 | same cost, same penalty, `min_size`, `jump` "
        "(ruptures' default jump is 5: passed as 1) | yes |",
        "| ruptures | normal, d = 1 | `CostNormal(add_small_diag=False)` is m·ln(var), ovrel's "
        "cost (ovrel floors the variance at 2.2e-10, never reached here) | yes |",
        "| ruptures | normal, d = 5 | full covariance log-determinant, ovrel's `normal` is "
        "per-dimension | n/a (different cost) |",
        "| ruptures | rank, d = 1 | ruptures' cost is −m·r̄²/var(r) on centred ranks = (ovrel's "
        "rank cost − const)/var(r) over any partition: penalty divided by var(r) | yes |",
        "| ruptures | rank, d = 5 | Mahalanobis in the rank covariance | n/a (different cost) |",
        "| ruptures | cosine | kernel cost 1 − ‖Σu‖²/m vs ovrel's m − ‖Σu‖; n capped at 5e3 "
        "(n × n Gram matrix) | n/a (different cost) |",
        "| changepoint-cython `pelt` | l2 (`mll_mean`), normal (`mll_meanvar`), d = 1 | costs "
        "equal ovrel's plus m·(ln 2π + 1) for meanvar, a constant over any partition; the "
        "wrapper multiplies the penalty by ln n, so pen/ln n is passed; `minseg` = min segment | "
        "yes |",
        "| changepoint-cython `binseg` | same costs, known number of changes | `Q` = k; its split "
        "rule needs a left segment of minseg+1 | yes (greedy) |",
        "| changepoint-cython `*_multiple` | l2, d = 5 | PCA-whitens the input first | "
        "n/a (different data) |",
        "| fastcpd `detect_mean` / `detect_rank` | l2, rank | negative log-likelihood with the "
        "identity covariance = ovrel's cost / 2 + const: `beta` = pen / 2, "
        "`cost_adjustment=None`, `vanilla_percentage=1`, `trim=0`; no minimum segment length "
        "(a shorter segment is reported as infeasible) | yes |",
        "| fastcpd `detect_meanvariance` | normal | d = 1: ovrel's cost / 2 + const, beta = pen/2; "
        "d = 5: full covariance | d = 1 yes, d = 5 n/a |",
        "",
    ]
    lines += [
        "## Self-check of the translations",
        "",
        "Exact penalised optimum of ovrel's problem from an unpruned reference solver in the "
        "script (n = 600; 150 for l1), compared with each exact peer's answer under the "
        "translated settings, and ruptures' segment costs compared with the script's.",
        "",
        "| cost | d | runner | result |",
        "|---|---|---|---|",
    ]
    for c in checks:
        lines.append(f"| {c['cost']} | {c['d']} | {c['runner']} | {c['result']} |")
    lines.append("")

    slower = []
    for algo in ALGOS:
        lines += [
            f"## {algo}",
            "",
            "| cost | d | n | runner | median | runs | ratio | peak MiB | changes | "
            "objective check |",
            "|---|---|---|---|---|---|---|---|---|---|",
        ]
        for cost in COSTS:
            for d in DIMS:
                sizes = sorted(
                    {
                        r["n"]
                        for r in records
                        if r["algo"] == algo and r["cost"] == cost and r["d"] == d
                    }
                )
                for n in sizes:
                    ov = by_key.get((PRIMARY_OVREL[algo], algo, cost, d, n))
                    pelt_rec = by_key.get(("ovrel Pelt", algo, cost, d, n))
                    for runner in [r for r in RUNNERS if r.algo == algo]:
                        rec = by_key.get((runner.name, algo, cost, d, n))
                        if rec is None:
                            continue
                        if rec["status"] != "ok":
                            lines.append(
                                f"| {cost} | {d} | {n:,} | {runner.name} | "
                                f"{rec['status']} | | | | | |"
                            )
                            continue
                        ratio = ""
                        ref = ov if runner.name != "ovrel Fpop" else None
                        if runner.library != "ovrel" and ov and ov.get("status") == "ok":
                            r = rec["median"] / ov["median"]
                            ratio = f"{r:.2f}"
                            if r < 1.0:
                                slower.append((algo, cost, d, n, runner.name, r, rec, ov))
                        del ref
                        peak = "" if rec["peak_mib"] is None else f"{rec['peak_mib']:.1f}"
                        lines.append(
                            f"| {cost} | {d} | {n:,} | {runner.name} | {fmt_time(rec['median'])} "
                            f"| {len(rec['times'])} | {ratio} | {peak} | {rec['changes']} | "
                            f"{check_row(rec, ov, runner, pelt_rec)} |"
                        )
        lines.append("")
    lines += [
        "## PELT work per scored candidate",
        "",
        "ovrel reports how many (start, end) candidates its PELT kernel scored. "
        "changepoint-cython's PELT prunes by the same inequality, so its time divided by "
        "ovrel's count estimates its time per candidate; fastcpd's pruning may differ, so "
        "its figure is only indicative.",
        "",
        "| cost | d | n | ovrel candidates | ovrel ns/cand. | Fpop ns/cand. | "
        "changepoint-cython ns/cand. | fastcpd ns/cand. |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for cost in COSTS:
        for d in DIMS:
            for n in sorted({r["n"] for r in records if r["algo"] == "pelt"}):
                ov = by_key.get(("ovrel Pelt", "pelt", cost, d, n))
                if not ov or ov.get("status") != "ok" or not ov.get("candidates"):
                    continue
                cand = ov["candidates"]

                def per(name):
                    rec = by_key.get((name, "pelt", cost, d, n))
                    if not rec or rec.get("status") != "ok":
                        return ""
                    return f"{rec['median'] / cand * 1e9:.1f}"

                lines.append(
                    f"| {cost} | {d} | {n:,} | {cand:,} | {per('ovrel Pelt')} | "
                    f"{per('ovrel Fpop')} | {per('changepoint-cython PELT')} | "
                    f"{per('fastcpd')} |"
                )
    lines.append("")
    lines += ["## Where ovrel is slower than a peer", ""]
    if not slower:
        lines.append("No measured case: every peer took longer than ovrel on the same problem.")
    else:
        lines += [
            'Rows whose check is "n/a" are not the same problem (a different cost, or a '
            "peer answer outside the feasible set), so their times do not compare like for "
            "like.",
            "",
            "| algorithm | cost | d | n | peer | ratio | peer | ovrel | objective check |",
            "|---|---|---|---|---|---|---|---|---|",
        ]
        for algo, cost, d, n, name, r, rec, ov in slower:
            check = check_row(
                rec, ov, RUNNER_BY_NAME[name], by_key.get(("ovrel Pelt", algo, cost, d, n))
            )
            lines.append(
                f"| {algo} | {cost} | {d} | {n:,} | {name} | {r:.2f} | "
                f"{fmt_time(rec['median'])} | {fmt_time(ov['median'])} | {check} |"
            )
    lines.append("")
    failures = [
        r
        for r in records
        if r.get("status") == "ok"
        and check_row(
            r,
            by_key.get((PRIMARY_OVREL[r["algo"]], r["algo"], r["cost"], r["d"], r["n"])),
            RUNNER_BY_NAME[r["runner"]],
            by_key.get(("ovrel Pelt", r["algo"], r["cost"], r["d"], r["n"])),
        ).startswith("FAIL")
    ]
    lines += [
        "## Objective check summary",
        "",
        (
            f"{len(failures)} FAIL row(s) above."
            if failures
            else "No FAIL: wherever a peer solves the same problem, ovrel's objective is not above "
            "the peer's (exact methods)."
        )
        + ' Rows marked "ovrel: not available" had no ovrel entry point installed when the '
        "run was made.",
        "",
    ]
    return "\n".join(lines)


# ----------------------------------------------------------------------------------------------
# Load average, the regimes section, and the blocks of results.md other scripts own
# ----------------------------------------------------------------------------------------------

ONLINE_START = "<!-- online-peers:start -->"  # the block bench/compare_online_peers.py writes
REGIMES_START = "<!-- regimes:start -->"
REGIMES_END = "<!-- regimes:end -->"


def load_average() -> Optional[list[float]]:
    """The 1, 5 and 15 minute load averages, or None off Linux."""
    try:
        with open("/proc/loadavg") as fh:
            return [float(v) for v in fh.read().split()[:3]]
    except (OSError, ValueError):
        return None


def load_text(loads) -> str:
    """The load averages at the start and end of a run, and what they mean for the ratios."""
    start, end = loads if loads else (None, None)
    if start is None or end is None:
        return "The machine's load average was not available."
    cores = os.cpu_count() or 1
    fmt = lambda v: ", ".join(f"{x:.2f}" for x in v)  # noqa: E731
    text = (
        f"Load average (1, 5, 15 min) {fmt(start)} at the start and {fmt(end)} at the end, "
        f"on {cores} cores: "
    )
    peak = max(start[0], end[0])
    if peak < cores / 2:
        return text + (
            "the machine was mostly idle, so runs had their cores to themselves and a ratio is "
            "good to a few percent."
        )
    if peak < cores:
        return text + (
            "other work held many of the cores, so a single time can be off by 10-20 % and a "
            "ratio within about 0.15 of 1 is a tie."
        )
    return text + (
        "the machine was oversubscribed, so runs waited for cores, a single time can be off by "
        "20-30 % and a ratio within about 0.3 of 1 is a tie; regenerate on a quiet machine "
        "before reading more into them."
    )


def regime_verdict(rec: dict, ov: Optional[dict]) -> str:
    """Whether a peer returned ovrel's breakpoints, else the objective check's word on it."""
    check = check_row(rec, ov, RUNNER_BY_NAME[rec["runner"]], None)
    if check.startswith("n/a"):
        return check
    if ov and ov.get("status") == "ok" and rec.get("bkps") == ov.get("bkps"):
        return "same breakpoints"
    return f"other breakpoints, {check}"


def regimes_block(records: list[dict], loads, elapsed: float, quick: bool) -> str:
    """The "Other regimes" section, between its markers."""
    by_key = {(r["runner"], r["cost"], r["kind"], r["d"], r["n"]): r for r in records}
    peers = REGIME_RUNNERS[1:]
    lines = [
        REGIMES_START,
        "## Other regimes (PELT)",
        "",
        "Generated by `bench/compare_peers.py` (this section alone: `--only regimes`) in "
        f"{elapsed / 60:.1f} min"
        + (", with `--quick` (the smallest size of each family only)" if quick else "")
        + f". {load_text(loads)}",
        "",
        "N(0, 1) noise (seed 5) with: mean jumps uniform in [-3, 3] per dimension every 500 or "
        "1,000 points; two steps (+2, then -1) at n/3 and 2n/3; no change; or the scale "
        "multiplied by a factor uniform in [0.3, 3] every 500 points. Problem, penalty and "
        "translations as in the pelt table (minimum segment 2 for L2 and 10 for the normal "
        "cost, jump 1); times are medians as above, ratio = peer time / ovrel time. The "
        "verdict says whether the peer returned ovrel's breakpoints, and otherwise what the "
        "objective check makes of its answer; a time in parentheses is not the same problem.",
        "",
        "| case | ovrel | changes | "
        + " | ".join(f"{RUNNER_BY_NAME[p].library} | ratio | verdict" for p in peers)
        + " |",
        "|---|---|---|" + "---|---|---|" * len(peers),
    ]
    for cost, kind, d, _sizes in REGIMES:
        for n in sorted(
            {r["n"] for r in records if (r["cost"], r["kind"], r["d"]) == (cost, kind, d)}
        ):
            ov = by_key.get(("ovrel Pelt", cost, kind, d, n))
            ok = ov is not None and ov.get("status") == "ok"
            row = f"| {COST_LABEL[cost]}, d = {d}, {REGIME_LABEL[kind]}, n = {n:,} | "
            row += (
                f"{fmt_time(ov['median'])} | {ov['changes']} |"
                if ok
                else f"{ov['status'] if ov else 'not run'} | |"
            )
            for peer in peers:
                rec = by_key.get((peer, cost, kind, d, n))
                if rec is None:
                    row += " | | |"
                elif rec.get("status") != "ok":
                    row += f" {rec['status']} | | |"
                else:
                    verdict = regime_verdict(rec, ov)
                    same = not verdict.startswith("n/a")
                    t = fmt_time(rec["median"])
                    ratio = f"{rec['median'] / ov['median']:.2f}" if ok and same else ""
                    row += f" {t if same else f'({t})'} | {ratio} | {verdict} |"
            lines.append(row)
    fastcpd = library_version("fastcpd")
    fastcpd = "1.3.1" if fastcpd == "1.3.1" else f"1.3.1; this run used {fastcpd}"
    lines += [
        "",
        "ruptures is left out: its PELT runs in Python and already takes seconds at n = 1,000 "
        "(pelt table). changepoint-cython has no row for d > 1: its multivariate entry points "
        "PCA-whiten the input, so they solve another problem.",
        "",
        "No translation makes fastcpd's mean-variance PELT solve ovrel's normal problem on these "
        f"series (looked for with fastcpd {fastcpd}). It has no minimum segment length, and "
        "its answers keep one-point segments at every n here, up to 1e6, so they are outside "
        "ovrel's feasible set with a minimum segment of 10, and equally of 2. Nor does ovrel "
        "with a minimum segment of 1 solve fastcpd's problem: a one-point segment has zero "
        "variance, which ovrel floors at 2.2e-10 and fastcpd values by a rule of its own (at "
        "n = 1e4 it answers 2,163 changes with 2,118 one-point segments against ovrel's 19 "
        "changes, and its answer scores about 8,400 above ovrel's optimum of that problem). "
        "Shrinking the data (x 0.1 down to x 0.001) or milder variance factors ([0.5, 2], "
        "[0.7, 1.5]) leave the one-point segments in place at n = 1e4 and 1e5. Its answer "
        "becomes feasible only once the penalty per change outweighs the gain of a one-point "
        "segment: on the pelt table's mean-change data at n = 1e6, where it equals ovrel's.",
        REGIMES_END,
    ]
    return "\n".join(lines)


def splice(old: str, own: Optional[str], regimes: Optional[str]) -> str:
    """results.md from its three parts: the report's own part, the regimes block and the tail
    from the online marker on (other scripts' sections); a part given as None is kept from
    old."""
    old_regimes = ""
    if REGIMES_START in old and REGIMES_END in old:
        a, b = old.index(REGIMES_START), old.index(REGIMES_END) + len(REGIMES_END)
        old_regimes, old = old[a:b], old[:a] + old[b:]
    cut = old.index(ONLINE_START) if ONLINE_START in old else len(old)
    parts = [
        own if own is not None else old[:cut],
        regimes if regimes is not None else old_regimes,
        old[cut:],
    ]
    return "\n\n".join(p.strip("\n") for p in parts if p.strip()) + "\n"


def _cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


STYLE = {
    "ovrel Pelt": ("C0", "o"),
    "ovrel Fpop": ("C9", "o"),
    "ovrel Binseg": ("C0", "o"),
    "ovrel dynp": ("C0", "o"),
    "ruptures Pelt": ("C1", "s"),
    "ruptures Binseg": ("C1", "s"),
    "ruptures Dynp": ("C1", "s"),
    "changepoint-cython PELT": ("C2", "^"),
    "changepoint-cython BinSeg": ("C2", "^"),
    "fastcpd": ("C3", "D"),
}


def write_plot(records: list[dict], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(
        len(ALGOS), len(COSTS), figsize=(4.2 * len(COSTS), 3.6 * len(ALGOS)), squeeze=False
    )
    for i, algo in enumerate(ALGOS):
        for j, cost in enumerate(COSTS):
            ax = axes[i][j]
            any_line = False
            for runner in [r for r in RUNNERS if r.algo == algo]:
                for d in DIMS:
                    pts = sorted(
                        (r["n"], r["median"])
                        for r in records
                        if r["runner"] == runner.name
                        and r["algo"] == algo
                        and r["cost"] == cost
                        and r["d"] == d
                        and r.get("status") == "ok"
                    )
                    if not pts:
                        continue
                    colour, marker = STYLE[runner.name]
                    ax.plot(
                        [p[0] for p in pts],
                        [p[1] for p in pts],
                        color=colour,
                        marker=marker,
                        linestyle="-" if d == 1 else "--",
                        markersize=4,
                        label=f"{runner.name} d={d}",
                    )
                    any_line = True
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{algo} / {cost}", fontsize=10)
            ax.grid(True, which="both", alpha=0.3)
            if i == len(ALGOS) - 1:
                ax.set_xlabel("n")
            if j == 0:
                ax.set_ylabel("median seconds")
            if any_line:
                ax.legend(fontsize=6, loc="upper left")
    fig.suptitle("Time against n (solid d = 1, dashed d = 5)")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument(
        "--quick",
        action="store_true",
        help="sizes up to 1e4 only; the smallest size of each regime family",
    )
    ap.add_argument(
        "--only",
        choices=["main", "regimes"],
        help="run only the main sweeps, or only the other regimes (that section of --out is "
        "replaced in place, the rest kept)",
    )
    ap.add_argument("--self-check", action="store_true", help="only the translation self-check")
    ap.add_argument(
        "--budget",
        type=float,
        default=DEFAULT_BUDGET_S,
        help="predicted seconds per run above which a sweep stops growing n",
    )
    ap.add_argument("--algos", default=",".join(ALGOS))
    ap.add_argument("--costs", default=",".join(COSTS))
    ap.add_argument("--dims", default=",".join(map(str, DIMS)))
    ap.add_argument("--runners", default="", help="comma-separated runner names (default: all)")
    ap.add_argument("--out", default=os.path.join(HERE, "results.md"))
    ap.add_argument("--plot", default=os.path.join(HERE, "scaling.png"))
    ap.add_argument(
        "--render",
        action="store_true",
        help="rewrite the report and plot from build/bench-results.json, run nothing",
    )
    ap.add_argument(
        "--update",
        action="store_true",
        help="rerun only the selected sweeps and replace them in the saved records",
    )
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(json.loads(args.worker))
        return 0

    def log(msg: str) -> None:
        print(msg, flush=True)

    saved = os.path.join(ROOT, "build", "bench-results.json")
    if args.render:
        with open(saved) as fh:
            data = json.load(fh)
        own = report_text(
            data["records"], data["checks"], args, data.get("elapsed", 0.0), data.get("loads")
        )
        regimes = data.get("regimes")
        write_results(args.out, own, regimes and regimes_block(**regimes))
        write_plot(data["records"], args.plot)
        log(f"wrote {args.out} and {args.plot}")
        return 0

    if args.only == "regimes":
        return run_regimes_only(args, saved, log)

    started = time.monotonic()
    load_start = load_average()
    log("self-check of the translations against the reference optimum ...")
    checks = self_check()
    for c in checks:
        log(f"  {c['cost']:6s} d={c['d']} {c['runner']:28s} {c['result']}")
    # A peer that is suboptimal or leaves the feasible set is a fact about the peer; an answer
    # below the exact optimum, or a segment cost that disagrees, is a fault of this script.
    bad = [c for c in checks if c["result"].startswith(("BELOW", "differs"))]
    for c in bad:
        log(f"SELF-CHECK FAILED: {c}")
    if args.self_check:
        return 1 if bad else 0

    sizes = QUICK_SIZES if args.quick else SIZES
    wanted = set(filter(None, args.runners.split(",")))
    records: list[dict] = []
    for algo in args.algos.split(","):
        for cost in args.costs.split(","):
            for d in [int(v) for v in args.dims.split(",")]:
                for runner in [r for r in RUNNERS if r.algo == algo]:
                    if wanted and runner.name not in wanted:
                        continue
                    algo_sizes = (EXTRA_DYNP_SIZES + sizes) if algo == "dynp" else sizes
                    records += run_sweep(runner, algo, cost, d, algo_sizes, args.budget, log)
    old = load_saved(saved)
    regimes = None
    if args.only != "main":
        regimes = run_regimes(args, log)
        old["regimes"] = regimes
    loads = [load_start, load_average()]
    elapsed = time.monotonic() - started
    if args.update and old.get("records"):
        fresh = {(r["runner"], r["algo"], r["cost"], r["d"]) for r in records}
        records = [
            r for r in old["records"] if (r["runner"], r["algo"], r["cost"], r["d"]) not in fresh
        ] + records
        elapsed += old.get("elapsed", 0.0)
    old.update({"records": records, "checks": checks, "elapsed": elapsed, "loads": loads})
    save(saved, old)
    own = report_text(records, checks, args, elapsed, loads)
    write_results(args.out, own, regimes and regimes_block(**regimes))
    write_plot(records, args.plot)
    log(f"wrote {args.out} and {args.plot} in {elapsed / 60:.1f} min")
    return 0


def load_saved(path: str) -> dict:
    if not os.path.exists(path):
        return {}
    with open(path) as fh:
        return json.load(fh)


def save(path: str, data: dict) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as fh:
        json.dump(data, fh)


def write_results(path: str, own: Optional[str], regimes: Optional[str]) -> None:
    """Rewrites the parts given and keeps the rest of the existing file (see splice)."""
    old = ""
    if os.path.exists(path):
        with open(path) as fh:
            old = fh.read()
    with open(path, "w") as fh:
        fh.write(splice(old, own, regimes))


def run_regimes(args, log) -> dict:
    """The REGIMES sweeps; returns the keyword arguments of regimes_block."""
    started = time.monotonic()
    load_start = load_average()
    log("other regimes (PELT) ...")
    records: list[dict] = []
    for cost, kind, d, sizes in REGIMES:
        for name in REGIME_RUNNERS:
            runner = RUNNER_BY_NAME[name]
            if runner.library == "changepoint-cython" and d > 1:
                continue  # PCA-whitened input: not the same data
            sweep = sizes[:1] if args.quick else sizes
            records += run_sweep(runner, "pelt", cost, d, sweep, args.budget, log, kind=kind)
    return {
        "records": records,
        "loads": [load_start, load_average()],
        "elapsed": time.monotonic() - started,
        "quick": args.quick,
    }


def run_regimes_only(args, saved: str, log) -> int:
    regimes = run_regimes(args, log)
    data = load_saved(saved)
    data["regimes"] = regimes
    save(saved, data)
    write_results(args.out, None, regimes_block(**regimes))
    log(f"updated the regimes section of {args.out} in {regimes['elapsed'] / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
