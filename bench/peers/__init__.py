"""The peer comparison behind bench/compare_peers.py, in parts: cases (problems, series and the
objective), runners (one translation per library and algorithm), sweep (the worker processes),
selfcheck (translations against an exact reference), report (results.md and the plot) and cli."""

import os

BENCH_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(BENCH_DIR)
# The script the sweeps start their workers through: `compare_peers.py --worker SPEC`.
ENTRY = os.path.join(BENCH_DIR, "compare_peers.py")
