#!/usr/bin/env python3
"""Dump of every online answer, for comparing two builds bit for bit.

    python3 bench/online_dump.py OUT            # write the dump of the installed ovrel
    python3 bench/online_dump.py --compare A B  # report every line where two dumps differ

Speed work on the streaming path must not change any answer. This script feeds fixed streams
through Bocpd (three models, bounded and pruned or not), Cusum and PageHinkley (with and without an
alert cooldown, with a buffering late-data policy) by `update_many` in batches of several sizes
(below and above the size that keeps the interpreter lock), by `update` one value at a time, with
late event times, and through batches stopped by a refused value. Each step writes its repr and
every field (floats as hex, so every bit counts; the processing latency, a timing, only as its
type); after each stream the saved state in both formats, and for a stopped batch the exception's
type and message. To compare two builds, install one, dump, install the other, dump again,
then --compare (or point PYTHONPATH at a saved copy of the earlier package).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys

import numpy as np

import ovrel

BUFFERING = {
    "kind": "reorder_by_timestamp",
    "max_delay_ns": 100,
    "max_buffer_items": 3,
    "on_overflow": "drop_oldest",
}


def gaussian(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    levels = rng.uniform(-3.0, 3.0, size=n // 50 + 1)
    return levels[np.arange(n) // 50] + rng.normal(size=n)


def counts(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    rates = rng.uniform(0.5, 8.0, size=n // 50 + 1)
    return rng.poisson(rates[np.arange(n) // 50]).astype(np.float64)


def bits(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    probs = rng.uniform(0.05, 0.95, size=n // 50 + 1)
    return (rng.uniform(size=n) < probs[np.arange(n) // 50]).astype(np.float64)


DETECTORS = {
    "bocpd_gaussian": (lambda: ovrel.Bocpd(hazard=1 / 100, max_run_length=120), gaussian),
    "bocpd_gaussian_cooldown": (
        lambda: ovrel.Bocpd(alert_policy={"threshold": 0.3, "cooldown": 5}),
        gaussian,
    ),
    "bocpd_poisson": (lambda: ovrel.Bocpd("poisson", hazard=1 / 80, max_run_length=60), counts),
    "bocpd_bernoulli": (lambda: ovrel.Bocpd("bernoulli", max_run_length=300), bits),
    "cusum": (lambda: ovrel.Cusum(drift=0.5, threshold=5.0), gaussian),
    "cusum_cooldown": (
        lambda: ovrel.Cusum(drift=0.25, threshold=4.0, alert_policy={"cooldown": 3}),
        gaussian,
    ),
    "cusum_buffering": (lambda: ovrel.Cusum(threshold=3.0, late_data_policy=BUFFERING), gaussian),
    "page_hinkley": (lambda: ovrel.PageHinkley(delta=0.01, threshold=8.0), gaussian),
    "page_hinkley_cooldown": (
        lambda: ovrel.PageHinkley(threshold=2.0, alert_policy={"threshold": 0.5, "cooldown": 4}),
        gaussian,
    ),
    "page_hinkley_buffering": (
        lambda: ovrel.PageHinkley(threshold=3.0, late_data_policy=BUFFERING),
        gaussian,
    ),
}


def step_line(r) -> str:
    latency = r.processing_latency_us
    return " ".join(
        [
            repr(r),
            str(r.t),
            float(r.p_change).hex(),
            repr(r.alert),
            repr(r.alert_reason),
            str(r.run_length_mode),
            float(r.run_length_mean).hex(),
            type(latency).__name__,
        ]
    )


def state_lines(det) -> list[str]:
    # Both formats, less the time of the save.
    doc = det.save_state(format="json")
    payload = bytes(doc["payload"])
    rest = {k: v for k, v in doc.items() if k not in ("payload", "created_at_ns")}
    envelope = json.loads(bytes(det.save_state()))
    del envelope["created_at_ns"]
    packed = json.dumps(envelope, sort_keys=True).encode()
    return [
        "state json " + json.dumps(rest, sort_keys=True, default=str),
        "state payload " + payload.decode("utf-8", "replace"),
        "state bytes sha256 " + hashlib.sha256(packed).hexdigest(),
    ]


def error_line(e: BaseException) -> str:
    # The note on a stopped batch is new; the type and message must not change.
    return f"error {type(e).__name__}: {e}"


def dump(out) -> None:
    n = 700
    for name, (make, source) in DETECTORS.items():
        x = source(n, seed=len(name))
        # The same stream in batches of several sizes: 1 and 15 keep the interpreter lock.
        for batch in (1, 15, 16, 97, n):
            det = make()
            print(f"## {name} batches of {batch}", file=out)
            for start in range(0, n, batch):
                for r in det.update_many(x[start : start + batch]):
                    print(step_line(r), file=out)
            for line in state_lines(det):
                print(line, file=out)
        # One value at a time with event times, every seventh one late.
        det = make()
        print(f"## {name} update with event times", file=out)
        for i, v in enumerate(x[:200]):
            t = 10 * i - (35 if i % 7 == 3 else 0)
            try:
                print(step_line(det.update(float(v), t)), file=out)
            except ValueError as e:  # a late value under the reject policy
                print(error_line(e), file=out)
        for line in state_lines(det):
            print(line, file=out)
        # A batch stopped by a value the count models refuse (the others refuse the whole batch for
        # its missing value), then resumed past it.
        det = make()
        bad = x[:300].copy()
        bad[123] = 0.5 if source in (counts, bits) else np.nan
        print(f"## {name} stopped batch", file=out)
        try:
            det.update_many(bad)
        except ValueError as e:
            print(error_line(e), file=out)
        for line in state_lines(det):
            print(line, file=out)
        for r in det.update_many(bad[124:]):
            print(step_line(r), file=out)
        for line in state_lines(det):
            print(line, file=out)


def compare(a: str, b: str) -> int:
    with open(a) as fa, open(b) as fb:
        left, right = fa.read().splitlines(), fb.read().splitlines()
    diffs = [(i + 1, x, y) for i, (x, y) in enumerate(zip(left, right, strict=False)) if x != y]
    if len(left) != len(right):
        print(f"line counts differ: {len(left)} and {len(right)}")
    for line, x, y in diffs:
        print(f"line {line}:\n  {x}\n  {y}")
    print(f"{len(left)} lines compared, {len(diffs)} differ")
    return 1 if diffs or len(left) != len(right) else 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--compare", nargs=2, metavar=("A", "B"))
    ap.add_argument("out", nargs="?")
    args = ap.parse_args()
    if args.compare:
        return compare(*args.compare)
    if not args.out:
        ap.error("give OUT or --compare A B")
    with open(args.out, "w") as out:
        dump(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
