"""The command line of bench/compare_peers.py."""

from __future__ import annotations

import argparse
import json
import os
import time

from . import BENCH_DIR, ROOT
from .cases import (
    ALGOS,
    COSTS,
    DEFAULT_BUDGET_S,
    DIMS,
    EXTRA_DYNP_SIZES,
    QUICK_SIZES,
    REGIME_RUNNERS,
    REGIMES,
    SIZES,
)
from .report import (
    load_average,
    load_saved,
    regimes_block,
    report_text,
    save,
    write_plot,
    write_results,
)
from .runners import RUNNER_BY_NAME, RUNNERS
from .selfcheck import self_check
from .sweep import run_sweep, worker


def main(description: str) -> int:
    """Runs the benchmark as the command line asks; `description` heads the --help text."""
    ap = argparse.ArgumentParser(
        description=description, formatter_class=argparse.RawTextHelpFormatter
    )
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
    ap.add_argument("--out", default=os.path.join(BENCH_DIR, "results.md"))
    ap.add_argument("--plot", default=os.path.join(BENCH_DIR, "scaling.png"))
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
