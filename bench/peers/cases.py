"""The benchmark's problems: sizes, costs and grids, the generated series, the shared penalty,
and the one objective function (ovrel's segment costs) every answer is scored by."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

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
