"""Detections of many series, one after another and through a thread pool of one worker per core.

Each detection releases the interpreter lock, so the pool runs them in parallel. Prints the two
wall times, their ratio, the core count and the load average at the start (other work on the
machine takes cores from the pool).
"""

import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import ovrel

rng = np.random.default_rng(0)
series = [
    np.concatenate([rng.normal(m, 1.0, 5_000) for m in rng.normal(0, 3, 8)]) for _ in range(64)
]


def detect(x):
    return ovrel.detect_offline(x, stopping={"pen": 3.0 * np.log(x.size)}).change_points


load = os.getloadavg()[0]
start = time.perf_counter()
one_by_one = [detect(x) for x in series]
middle = time.perf_counter()
with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
    pooled = list(pool.map(detect, series))
end = time.perf_counter()
assert pooled == one_by_one
print(
    f"64 PELT runs of 40,000 points: {middle - start:.2f} s one by one, {end - middle:.2f} s in a "
    f"pool of {os.cpu_count()} threads, {(middle - start) / (end - middle):.1f} times faster "
    f"(load average {load:.1f} at the start)"
)
