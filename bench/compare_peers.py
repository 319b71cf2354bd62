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

import sys

from peers.cli import main

if __name__ == "__main__":
    sys.exit(main(__doc__))
