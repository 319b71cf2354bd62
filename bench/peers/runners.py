"""One runner per (library, algorithm): how each translates a Problem into its own call, and
whether its answer solves exactly ovrel's problem."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

from .cases import Problem, as_2d, rank_matrix

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


def import_library(library: str):
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
        mod = import_library("ovrel")
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
    ov = import_library("ovrel")
    est = ov.Pelt(model=OVREL_MODEL[prob.cost], min_segment_len=prob.min_size, jump=prob.jump)
    return _ovrel_breakpoints(_ovrel_predict(est.fit(x), prob))


def _ovrel_fpop(x, prob):
    ov = import_library("ovrel")
    est = ov.Fpop(min_segment_len=prob.min_size, jump=prob.jump)
    return _ovrel_breakpoints(_ovrel_predict(est.fit(x), prob))


def _ovrel_binseg(x, prob):
    ov = import_library("ovrel")
    est = ov.Binseg(model=OVREL_MODEL[prob.cost], min_segment_len=prob.min_size, jump=prob.jump)
    return _ovrel_breakpoints(_ovrel_predict(est.fit(x), prob))


def _ovrel_dynp(x, prob):
    ov = import_library("ovrel")
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


def ruptures_cost(prob: Problem):
    rpt = import_library("ruptures")
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
        rpt = import_library("ruptures")
        algo = getattr(rpt, cls_name)(min_size=prob.min_size, jump=prob.jump, **ruptures_cost(prob))
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

    cpc = import_library("changepoint-cython")
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

    cpc = import_library("changepoint-cython")
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
    fc = import_library("fastcpd")
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
